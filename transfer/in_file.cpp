#include <cerrno>
#include <cstdio>

#include "ymodem.h"

#ifdef _WIN32
#include <share.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
static_assert(sizeof(off_t) >= 8, "file sizes must be measured with a 64-bit offset");
#endif

int InFile::Read(uint8_t* buffer, uint32_t limit) {
    const uint32_t percent =
        size == 0 ? 0 : static_cast<uint32_t>(static_cast<uint64_t>(position) * 100 / size);
    if (std::FILE* trace = TransferTrace()) {
        std::fprintf(trace, "%8d bytes of %d - %3d%%\r", static_cast<int>(position),
                     static_cast<int>(size), static_cast<int>(percent));
        std::fflush(trace);
    }
    const size_t got = std::fread(buffer, 1, limit, file);
    if (got == 0) {
        if (std::ferror(file)) return FileReadError;
        return position == size ? 0 : FileReadError;
    }
    // A file that keeps growing must not wrap the count back into range.
    if (got > UINT32_MAX - position) return FileReadError;
    position += static_cast<uint32_t>(got);
    return static_cast<int>(got);
}

std::FILE* OpenFileForTransfer(const char* path, int* error) {
    errno = 0;
#ifdef _WIN32
    // Others may go on reading and writing the file while we send it.
    std::FILE* file = _fsopen(path, "rb", _SH_DENYNO);
    if (!file) {
        *error = errno;
        return nullptr;
    }
#else
    // Without O_NONBLOCK a named pipe would keep the open waiting for a writer for ever; such
    // a file then fails to be measured instead.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    // POSIX opens a folder for reading; its "size" would be meaningless.
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        *error = EISDIR;
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(fd, "rb");
    if (!file) {
        *error = errno;
        ::close(fd);
        return nullptr;
    }
#endif
    return file;
}

bool MeasureFile(std::FILE* file, uint64_t* size, int* error) {
    errno = 0;
#ifdef _WIN32
    const bool ok = _fseeki64(file, 0, SEEK_END) == 0;
    const long long end = ok ? _ftelli64(file) : -1;
    const bool back = end >= 0 && _fseeki64(file, 0, SEEK_SET) == 0;
#else
    const bool ok = fseeko(file, 0, SEEK_END) == 0;
    const long long end = ok ? static_cast<long long>(ftello(file)) : -1;
    const bool back = end >= 0 && fseeko(file, 0, SEEK_SET) == 0;
#endif
    if (!back) {
        *error = errno;
        return false;
    }
    *size = static_cast<uint64_t>(end);
    return true;
}
