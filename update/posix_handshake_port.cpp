#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "update_procedure.h"

namespace {

constexpr int kFirstByteWaitMs = 100;
constexpr int kWriteWaitMs = 100;

class PosixHandshakeLine final : public HandshakeLine {
  public:
    explicit PosixHandshakeLine(int fd) : fd_(fd) {}
    ~PosixHandshakeLine() override { Close(); }

    // A terminal keeps no sticky error state that blocks reads, so there is nothing to clear.
    void ClearErrors() override {}

    int ReadByte(uint8_t& byte) override {
        if (fd_ < 0) return -1;
        pollfd entry{fd_, POLLIN, 0};
        int ready;
        do {
            ready = ::poll(&entry, 1, kFirstByteWaitMs);
        } while (ready < 0 && errno == EINTR);
        if (ready < 0) return -1;
        if (ready == 0) return 0;
        if (entry.revents & POLLIN) {
            ssize_t n = ::read(fd_, &byte, 1);
            if (n == 1) return 1;
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
            return -1;
        }
        // Hung up or failed: the device is gone.
        return -1;
    }

    void WriteByte(uint8_t byte) override {
        if (fd_ < 0) return;
        pollfd entry{fd_, POLLOUT, 0};
        if (::poll(&entry, 1, kWriteWaitMs) > 0 && (entry.revents & POLLOUT))
            (void)!::write(fd_, &byte, 1);
    }

    void Close() override {
        if (fd_ < 0) return;
        // The exclusive mode outlives our descriptor while another one (the device side of a
        // pseudo-terminal) stays open; drop it so that the transfer can open the port next.
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

HandshakeOpenError ErrorOf(int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return HandshakeOpenError::NotFound;
        case EACCES:
        case EPERM:
            return HandshakeOpenError::AccessDenied;
        case EBUSY:
        case EWOULDBLOCK:
            return HandshakeOpenError::Busy;
        case ENAMETOOLONG:
            return HandshakeOpenError::NameTooLong;
        default:
            return HandshakeOpenError::Other;
    }
}

void Configure(int fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) == 0) {
        ::cfmakeraw(&settings);
        settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
        settings.c_cflag |= CS8 | CREAD | CLOCAL;
        settings.c_iflag &= ~(IXON | IXOFF | IXANY);
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
        ::cfsetispeed(&settings, B115200);
        ::cfsetospeed(&settings, B115200);
        ::tcsetattr(fd, TCSANOW, &settings);
    }
    // DTR and RTS stay off while the port is open.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &lines);
    ::tcflush(fd, TCOFLUSH);
    ::tcflush(fd, TCIFLUSH);
}

}  // namespace

std::unique_ptr<HandshakeLine> OpenHandshakePort(const std::wstring& name,
                                                 HandshakeOpenError* why) {
    auto fail = [why](HandshakeOpenError error) {
        if (why != nullptr) *why = error;
        return nullptr;
    };
    std::wstring trimmed = name;
    while (!trimmed.empty() && trimmed.back() == L' ') trimmed.pop_back();
    if (trimmed.empty()) return fail(HandshakeOpenError::NotFound);
    if (trimmed.find(L'/') == std::wstring::npos) trimmed = L"/dev/" + trimmed;
    std::string path(trimmed.size() * 4 + 1, '\0');
    if (!WideToAnsi(trimmed, path.data(), path.size())) return fail(HandshakeOpenError::Other);

    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(ErrorOf(errno));
    // Like the transfer's port: TIOCEXCL keeps other openers out, and since root passes it,
    // an advisory lock tells cooperating programs (and ourselves as root) that it is taken.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        ::close(fd);
        return fail(error == EWOULDBLOCK ? HandshakeOpenError::Busy : ErrorOf(error));
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        int error = errno;
        ::close(fd);
        return fail(error == ENOTTY ? HandshakeOpenError::Other : ErrorOf(error));
    }
    Configure(fd);
    if (why != nullptr) *why = HandshakeOpenError::None;
    return std::make_unique<PosixHandshakeLine>(fd);
}
