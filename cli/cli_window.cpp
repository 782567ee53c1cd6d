#include "cli_window.h"

#include <string>
#include <utility>

CliWindow::CliWindow(std::vector<std::wstring> entries, int selection, std::wstring firmwarePath,
                     uint64_t fileSize, std::FILE* logStream, std::FILE* progressStream,
                     bool progressIsTerminal)
    : entries_(std::move(entries)),
      selection_(selection),
      firmwarePath_(std::move(firmwarePath)),
      successText_(UpdateMessages::Success(FileNameOfPath(firmwarePath_))),
      fileSize_(fileSize),
      log_(logStream),
      progress_(progressStream),
      terminal_(progressIsTerminal) {}

int CliWindow::GetPortSelection() {
    std::lock_guard lock(mutex_);
    return selection_ < static_cast<int>(entries_.size()) ? selection_ : -1;
}

std::wstring CliWindow::GetPortEntryText(int index) {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= static_cast<int>(entries_.size())) return std::wstring();
    return entries_[static_cast<std::size_t>(index)];
}

void CliWindow::EnableControl(int, bool) {}

void CliWindow::ShowProgressBar(bool) {}

std::wstring CliWindow::GetFirmwarePath() {
    return firmwarePath_;
}

ProgressWindow* CliWindow::GetProgressWindow() {
    return this;
}

void CliWindow::AppendLog(const std::wstring& text) {
    std::lock_guard lock(mutex_);
    EndProgressLine();
    WriteWide(log_, text);
    std::fflush(log_);
    // Device lines are cut at line feeds, so none of them can equal this message.
    if (text == successText_) succeeded_ = true;
}

void CliWindow::SendTransferProgress(uint32_t chunks, uint32_t sizeKiB) {
    std::lock_guard lock(mutex_);
    // A file of N bytes gives ceil(N / 1024) + 1 notifications.
    uint64_t total = fileSize_ > 0 ? (fileSize_ + 1023) / 1024 + 1 : uint64_t(sizeKiB) + 2;
    uint64_t done = chunks < total ? chunks : total;
    int percent = static_cast<int>(done * 100 / total);
    if (terminal_) {
        constexpr int kWidth = 40;
        int filled = static_cast<int>(done * kWidth / total);
        std::fprintf(progress_, "\r[%s%s] %3d%%",
                     std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(kWidth - filled), ' ').c_str(), percent);
        barDrawn_ = true;
    } else if (percent / 10 != lastStep_) {
        // Not a terminal: one line per tenth, so that a log file stays readable. It starts on
        // a line of its own, as the engine's trace ends its lines with a carriage return.
        lastStep_ = percent / 10;
        std::fprintf(progress_, "\nprogress: %3d%% (%llu of %llu blocks of 1 KiB)\n", percent,
                     static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
    }
    std::fflush(progress_);
}

bool CliWindow::Succeeded() {
    std::lock_guard lock(mutex_);
    return succeeded_;
}

void CliWindow::EndProgressLine() {
    if (!barDrawn_) return;
    std::fputc('\n', progress_);
    std::fflush(progress_);
    barDrawn_ = false;
}

void WriteWide(std::FILE* stream, const std::wstring& text) {
    std::string bytes(text.size() * 4 + 1, '\0');
    if (!WideToAnsi(text, bytes.data(), bytes.size())) return;
    std::fputs(bytes.c_str(), stream);
}
