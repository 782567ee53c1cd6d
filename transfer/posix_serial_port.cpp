#include "posix_serial_port.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "budgeted_io.h"
#include "posix_tty.h"
#include "result_codes.h"

namespace {

int OpenErrorCode(int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return PortNotFound;
        case EBUSY:
        case EACCES:
        case EPERM:
        case EWOULDBLOCK:
            return PortAccessDenied;
        default:
            return PortError;
    }
}

bool BaudConstant(int32_t baudRate, speed_t* speed) {
    struct Rate {
        int32_t bps;
        speed_t constant;
    };
    static constexpr Rate kRates[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000},
    };
    for (const Rate& rate : kRates) {
        if (rate.bps == baudRate) {
            *speed = rate.constant;
            return true;
        }
    }
    return false;
}

// Waits up to ms for the descriptor to become ready for events. false once the device has
// hung up: a vanished device would otherwise look like a quiet line until every budget ran
// out.
bool WaitReady(int fd, short events, uint32_t ms) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, static_cast<int>(ms));
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return true;
    if (entry.revents & (POLLERR | POLLNVAL)) return false;
    if ((entry.revents & POLLHUP) && !(entry.revents & events)) return false;
    return true;
}

}  // namespace

PosixSerialPort::~PosixSerialPort() {
    Close();
}

int PosixSerialPort::Open(const char* name) {
    char path[kPathCapacity];
    if (!TtyDevicePath(name, path, sizeof path)) return PortError;
    const int fd = OpenExclusiveTty(path);
    if (fd < 0) return OpenErrorCode(errno);
    fd_ = fd;
    return 0;
}

int PosixSerialPort::Configure(int32_t baudRate) {
    if (::tcdrain(fd_) != 0 && errno != EINTR) return PortError;
    if (::tcflush(fd_, TCIOFLUSH) != 0) return PortError;
    termios settings{};
    if (::tcgetattr(fd_, &settings) != 0) return PortError;
    // Reads return at once with what is there; all waiting is done by the budgeted loop.
    MakeRaw8N1(settings);
    speed_t speed;
    if (!BaudConstant(baudRate, &speed)) return PortBadSettings;
    if (::cfsetispeed(&settings, speed) != 0 || ::cfsetospeed(&settings, speed) != 0)
        return PortBadSettings;
    if (::tcsetattr(fd_, TCSANOW, &settings) != 0)
        return errno == EINVAL ? PortBadSettings : PortError;
    if (::tcflush(fd_, TCIOFLUSH) != 0) return PortError;
    return 0;
}

int PosixSerialPort::Write(const uint8_t* data, int32_t length, uint32_t budgetMs) {
    const int fd = fd_;
    auto call = [fd, data, length]() -> int {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(length < 0 ? 0 : length));
        if (n >= 0) return static_cast<int>(n);
        return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    };
    auto wait = [fd](uint32_t ms) { return WaitReady(fd, POLLOUT, ms); };
    return RunBudgeted(call, wait, budgetMs, PortWriteFailed);
}

int PosixSerialPort::Read(uint8_t* buffer, int32_t capacity, uint32_t budgetMs) {
    const int fd = fd_;
    auto call = [fd, buffer, capacity]() -> int {
        const ssize_t n = ::read(fd, buffer, static_cast<size_t>(capacity < 0 ? 0 : capacity));
        if (n >= 0) return static_cast<int>(n);
        return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    };
    auto wait = [fd](uint32_t ms) { return WaitReady(fd, POLLIN, ms); };
    return RunBudgeted(call, wait, budgetMs, PortReadFailed);
}

void PosixSerialPort::Close() {
    if (fd_ < 0) return;
    CloseExclusiveTty(fd_);
    fd_ = -1;
}

std::unique_ptr<SerialPort> CreatePlatformSerialPort() {
    return std::make_unique<PosixSerialPort>();
}
