#include "posix_tty.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool TtyDevicePath(const char* name, char* path, size_t capacity) {
    size_t length = std::strlen(name);
    while (length > 0 && name[length - 1] == ' ') --length;
    const bool isPath = std::memchr(name, '/', length) != nullptr;
    const char* prefix = isPath ? "" : "/dev/";
    const size_t prefixLength = std::strlen(prefix);
    if (prefixLength + length + 1 > capacity) return false;
    std::memcpy(path, prefix, prefixLength);
    std::memcpy(path + prefixLength, name, length);
    path[prefixLength + length] = '\0';
    return true;
}

int OpenExclusiveTty(const char* path) {
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

void CloseExclusiveTty(int fd) {
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

void MakeRaw8N1(termios& settings) {
    ::cfmakeraw(&settings);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
}
