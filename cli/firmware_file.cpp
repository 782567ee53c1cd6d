#include "firmware_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "result_codes.h"

namespace {

// Block 0 holds the name, a NUL and the decimal size within its first 1023 bytes.
constexpr uint64_t kHeaderRoom = 1021;
constexpr uint64_t kLargestFile = INT32_MAX;  // the engine counts bytes in 32 bits

uint64_t DecimalDigits(uint64_t value) {
    uint64_t digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

std::string FileTooLargeMessage(const std::string& path, uint64_t size) {
    const std::string bytes = size > 0 ? ": it has " + std::to_string(size) + " bytes" : "";
    return "cannot send " + Quoted(path) + bytes + "; files of 2 GiB or more cannot be sent";
}

std::string NameTooLongMessage(const std::string& path) {
    return "cannot send " + Quoted(path) +
           ": the path is too long to be announced to the device (name and size must fit in "
           "1021 bytes); give a shorter path, e.g. from the file's folder. Nothing was sent";
}

std::string FileOpenMessage(const std::string& path, int error) {
    switch (error) {
        case ENOENT:
            return "cannot open " + Quoted(path) + ": no such file";
        case EISDIR:
            return Quoted(path) + " is a folder, not a firmware file";
        case EACCES:
        case EPERM:
            return "cannot read " + Quoted(path) + ": permission denied";
        case 0:
            return "cannot open " + Quoted(path);
        default:
            return "cannot read " + Quoted(path) + ": " + std::strerror(error);
    }
}

// Whether this user may not open the port's device at all (as opposed to another program
// holding it). Only device paths can be checked; Windows names give false, and there a
// refused open nearly always means the port is in use.
bool LacksPermission(const std::string& port) {
    std::string name = port;
    while (!name.empty() && name.back() == ' ') name.pop_back();
    const std::string path = name.find('/') == std::string::npos ? "/dev/" + name : name;
    return ::access(path.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM);
}

std::string PortOpenMessage(const std::string& port, int code) {
    switch (code) {
        case PortNotFound:
            return "no such port " + Quoted(port);
        case PortAccessDenied:
            if (LacksPermission(port))
                return "permission denied opening port " + Quoted(port) +
                       ": add your user to the dialout group (then log in again)";
            return "port " + Quoted(port) + " is busy: another program holds it";
        default:
            return "cannot open port " + Quoted(port);
    }
}

std::string BatchMessage(const std::string& path, int code, uint64_t written) {
    switch (code) {
        case Timeout:
            if (written == 0)
                return "the receiver did not start: no start character ('C', 'G' or NAK) "
                       "within 30 seconds. Is the device waiting in flash mode?";
            return "timed out: the receiver stopped answering";
        case CancelledByReceiver:
            return "the receiver cancelled the transfer";
        case TooManyRetries:
            return "the receiver refused a block 10 times in a row";
        case UnexpectedResponse:
            return "the receiver answered unexpectedly";
        case FileNameTooLong:
            return NameTooLongMessage(path);
        case FileReadError:
            return "reading " + Quoted(path) +
                   " failed, or the file changed size while it was sent";
        case PortWriteFailed:
            return "writing to the port failed (was the device unplugged?)";
        case PortReadFailed:
            return "reading from the port failed (was the device unplugged?)";
        default:
            return "the transfer failed (code " + std::to_string(code) + ")";
    }
}

}  // namespace

int Fail(const std::string& message) {
    std::fprintf(stderr, "zq418-flash: %s\n", message.c_str());
    return 1;
}

bool CheckFirmware(const std::string& path, uint64_t* size, std::string* message) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_type type = fs::status(path, ec).type();
    if (type == fs::file_type::directory) {
        *message = FileOpenMessage(path, EISDIR);
        return false;
    }
    // A pipe or a device has no size to announce, and opening a pipe could block for ever.
    if (type == fs::file_type::fifo || type == fs::file_type::character ||
        type == fs::file_type::block || type == fs::file_type::socket) {
        *message = Quoted(path) + " is not a regular file";
        return false;
    }
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *message = FileOpenMessage(path, errno);
        return false;
    }
    std::fclose(file);
    const uintmax_t measured = fs::file_size(path, ec);
    if (ec) return true;
    *size = static_cast<uint64_t>(measured);
    if (*size > kLargestFile) {
        *message = FileTooLargeMessage(path, *size);
        return false;
    }
    if (path.size() + DecimalDigits(*size) > kHeaderRoom) {
        *message = NameTooLongMessage(path);
        return false;
    }
    return true;
}

std::string TransferFailureMessage(const TransferReport& report, const std::string& path,
                                   const std::string& port, uint64_t size, uint64_t written) {
    switch (report.stage) {
        case TransferStage::Done:
            return "the transfer failed";
        case TransferStage::PortOpen:
            return PortOpenMessage(port, report.code);
        case TransferStage::FileOpen:
            return FileOpenMessage(path, report.systemError);
        case TransferStage::FileMeasure:
            return "cannot measure the size of " + Quoted(path);
        case TransferStage::FileTooLarge:
            return FileTooLargeMessage(path, size);
        case TransferStage::Batch:
            return BatchMessage(path, report.code, written);
    }
    return "the transfer failed";
}
