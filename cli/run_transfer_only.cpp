#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "cli.h"
#include "result_codes.h"
#include "serial_port.h"
#include "transfer.h"

// zq418-flash --port NAME --transfer-only FIRMWARE: sends the file to a device that already
// waits in flash mode. Standard output stays empty (it carries the update's log in the other
// mode); progress and the one failure message go to standard error.

namespace {

// Block 0 holds the name, a NUL and the decimal size within its first 1023 bytes.
constexpr uint64_t kHeaderRoom = 1021;
constexpr uint64_t kLargestFile = INT32_MAX;  // the engine counts bytes in 32 bits

int Fail(const std::string& message) {
    std::fprintf(stderr, "zq418-flash: %s\n", message.c_str());
    return 1;
}

uint64_t DecimalDigits(uint64_t value) {
    uint64_t digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

// Draws a bar on a terminal from the engine's progress notifications.
class TerminalProgress final : public ProgressWindow {
  public:
    explicit TerminalProgress(uint64_t size) : size_(size), total_((size + 1023) / 1024 + 1) {}
    void SendTransferProgress(uint32_t chunks, uint32_t) override {
        constexpr int kWidth = 40;
        const uint64_t done = chunks > total_ ? total_ : chunks;
        const int filled = static_cast<int>(done * kWidth / total_);
        const uint64_t sent = done >= total_ ? size_ : (done * 1024 > size_ ? size_ : done * 1024);
        std::fprintf(stderr, "\r[%.*s%*s] %3d%%  %llu of %llu bytes", filled,
                     "########################################", kWidth - filled, "",
                     static_cast<int>(done * 100 / total_), static_cast<unsigned long long>(sent),
                     static_cast<unsigned long long>(size_));
        std::fflush(stderr);
        drawn_ = true;
    }
    void Finish() {
        if (drawn_) std::fputc('\n', stderr);
    }

  private:
    uint64_t size_;
    uint64_t total_;
    bool drawn_ = false;
};

// The platform's port, watched: whether any byte went out tells a receiver that never
// started from one that stopped answering later.
class WatchedPort final : public SerialPort {
  public:
    explicit WatchedPort(std::unique_ptr<SerialPort> port) : port_(std::move(port)) {}
    int Open(const char* name) override { return port_->Open(name); }
    int Configure(int32_t baudRate) override { return port_->Configure(baudRate); }
    int Write(const uint8_t* data, int32_t length, uint32_t budgetMs) override {
        const int n = port_->Write(data, length, budgetMs);
        if (n > 0) written_ += static_cast<uint64_t>(n);
        return n;
    }
    int Read(uint8_t* buffer, int32_t capacity, uint32_t budgetMs) override {
        return port_->Read(buffer, capacity, budgetMs);
    }
    void Close() override { port_->Close(); }
    uint64_t Written() const { return written_; }

  private:
    std::unique_ptr<SerialPort> port_;
    uint64_t written_ = 0;
};

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

// Checks the file before the port is touched, so that a plain file problem is named as such
// and the device is left waiting undisturbed. The engine checks again when it opens it, and
// its refusals are mapped too: where the file system cannot tell (a name it cannot convert),
// the checks that need it are left to the engine.
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

int RunTransferOnly(const CliOptions& options) {
    const std::string& path = options.firmware;
    const std::string port = options.port.value_or("");

    uint64_t size = 0;
    std::string message;
    if (!CheckFirmware(path, &size, &message)) return Fail(message);

    const bool terminal = ::isatty(::fileno(stderr)) != 0;
    TerminalProgress bar(size);
    WatchedPort watched(CreatePlatformSerialPort());
    if (terminal) {
        // The bar replaces the engine's carriage-return progress lines.
        SetTransferTrace(nullptr);
        std::fprintf(stderr, "Sending %s...\n", path.c_str());
    } else {
        SetTransferTrace(stderr);
    }
    const TransferReport report = SendFirmwareFileReport(terminal ? &bar : nullptr, path.c_str(),
                                                         port.c_str(), watched, SystemClock());
    if (terminal) bar.Finish();
    if (report.status == 0) {
        if (terminal) std::fputs("Sent OK\n", stderr);
        return 0;
    }
    switch (report.stage) {
        case TransferStage::Done:
            return Fail("the transfer failed");
        case TransferStage::PortOpen:
            return Fail(PortOpenMessage(port, report.code));
        case TransferStage::FileOpen:
            return Fail(FileOpenMessage(path, report.systemError));
        case TransferStage::FileMeasure:
            return Fail("cannot measure the size of " + Quoted(path));
        case TransferStage::FileTooLarge:
            return Fail(FileTooLargeMessage(path, size));
        case TransferStage::Batch:
            return Fail(BatchMessage(path, report.code, watched.Written()));
    }
    return Fail("the transfer failed");
}
