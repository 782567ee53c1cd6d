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
#include "firmware_file.h"
#include "result_codes.h"
#include "serial_port.h"
#include "transfer.h"

// zq418-flash --port NAME --transfer-only FIRMWARE: sends the file to a device that already
// waits in flash mode. Standard output stays empty (it carries the update's log in the other
// mode); progress and the one failure message go to standard error.

namespace {

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
    return Fail(TransferFailureMessage(report, path, port, size, watched.Written()));
}
