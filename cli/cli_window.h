#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "progress.h"
#include "update_procedure.h"

// The main window as the command line plays it: a port list, the firmware path, the log on
// standard output (exactly the texts the log view would receive, flushed as they come) and a
// progress display on standard error. Controls and the progress bar have nothing to show.
class CliWindow final : public UpdateWindow, public ProgressWindow {
  public:
    // fileSize: the firmware's size in bytes, for the progress display (0 if unknown).
    CliWindow(std::vector<std::wstring> entries, int selection, std::wstring firmwarePath,
              uint64_t fileSize, std::FILE* logStream, std::FILE* progressStream,
              bool progressIsTerminal);

    int GetPortSelection() override;
    std::wstring GetPortEntryText(int index) override;
    void EnableControl(int controlId, bool enable) override;
    void ShowProgressBar(bool show) override;
    std::wstring GetFirmwarePath() override;
    ProgressWindow* GetProgressWindow() override;
    void AppendLog(const std::wstring& text) override;
    void SendTransferProgress(uint32_t chunks, uint32_t sizeKiB) override;

    // Whether the success message for this firmware was logged.
    bool Succeeded();

  private:
    void EndProgressLine();

    std::mutex mutex_;
    std::vector<std::wstring> entries_;
    int selection_;
    std::wstring firmwarePath_;
    std::wstring successText_;
    uint64_t fileSize_;
    std::FILE* log_;
    std::FILE* progress_;
    bool terminal_;
    bool succeeded_ = false;
    bool barDrawn_ = false;
    int lastStep_ = -1;
};

// Writes text in the 8-bit form the window's text would have (UTF-8 on Linux, with bytes that
// came from the device restored as they were).
void WriteWide(std::FILE* stream, const std::wstring& text);
