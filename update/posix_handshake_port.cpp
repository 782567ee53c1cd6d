#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "posix_tty.h"
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
        // Exclusive use ends with our descriptor, so that the transfer can open the port next.
        CloseExclusiveTty(fd_);
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
        MakeRaw8N1(settings);
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
    std::array<char, kAnsiBufferSize> ansiName{};
    if (!WideToAnsi(name, ansiName.data(), ansiName.size())) return fail(HandshakeOpenError::Other);
    std::array<char, kAnsiBufferSize + 8> path{};  // room for the "/dev/" prefix
    if (!TtyDevicePath(ansiName.data(), path.data(), path.size()))
        return fail(HandshakeOpenError::NameTooLong);
    if (path[0] == '\0' || std::strcmp(path.data(), "/dev/") == 0)
        return fail(HandshakeOpenError::NotFound);

    int fd = OpenExclusiveTty(path.data());
    if (fd < 0) return fail(ErrorOf(errno));
    Configure(fd);
    if (why != nullptr) *why = HandshakeOpenError::None;
    return std::make_unique<PosixHandshakeLine>(fd);
}
