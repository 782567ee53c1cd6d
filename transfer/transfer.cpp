#include "transfer.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ymodem.h"

namespace {

std::atomic<std::FILE*>& TraceSetting() {
    static std::atomic<std::FILE*> stream{stdout};
    return stream;
}

// One transfer at a time: the settings below belong to the transfer that holds the lock.
std::mutex transferMutex;
ProgressWindow* settingProgressWindow = nullptr;
bool settingHasPath = false;
std::string settingPath;

void Trace(const char* format, const char* text = "") {
    if (std::FILE* trace = TransferTrace()) {
        std::fprintf(trace, format, text);
        std::fflush(trace);
    }
}

TransferReport Failure(TransferStage stage, int code, int systemError) {
    return TransferReport{1, stage, code, systemError};
}

// The file step on the current settings; the caller holds transferMutex.
TransferReport TransmitFileLocked(SerialPort* port, Clock& clock) {
    if (!settingHasPath) return Failure(TransferStage::FileOpen, 0, 0);
    const char* path = settingPath.c_str();
    int error = 0;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(OpenFileForTransfer(path, &error),
                                                         &std::fclose);
    if (!file) return Failure(TransferStage::FileOpen, 0, error);
    uint64_t size = 0;
    if (!MeasureFile(file.get(), &size, &error))
        return Failure(TransferStage::FileMeasure, 0, error);
    // The header and the progress carry the size as a 32-bit signed count.
    if (size > INT32_MAX) return Failure(TransferStage::FileTooLarge, 0, 0);

    InFile in(file.get(), static_cast<uint32_t>(size));
    Trace("Sending %s...\n", path);
    YModemTx tx;
    tx.port = port;
    tx.progressWindow = settingProgressWindow;
    tx.fileSize = 0;
    tx.clock = &clock;
    const int r = tx.SendBatch(static_cast<uint32_t>(size), in, path);
    if (r != 0) return Failure(TransferStage::Batch, r, 0);
    Trace("\nSent OK\n");
    return TransferReport{0, TransferStage::Done, 0, 0};
}

}  // namespace

void SetTransferTrace(std::FILE* stream) {
    TraceSetting().store(stream);
}

std::FILE* TransferTrace() {
    return TraceSetting().load();
}

int TransmitFile(SerialPort* port) {
    std::lock_guard<std::mutex> lock(transferMutex);
    return TransmitFileLocked(port, SystemClock()).status;
}

TransferReport SendFirmwareFileReport(ProgressWindow* progressWindow, const char* path,
                                      const char* portName, SerialPort& port, Clock& clock) {
    std::lock_guard<std::mutex> lock(transferMutex);
    settingProgressWindow = progressWindow;
    settingHasPath = path != nullptr;
    settingPath = path ? path : "";

    if (!portName) return Failure(TransferStage::PortOpen, PortNotFound, 0);
    const int opened = port.Open(portName);
    if (opened != 0) {
        port.Close();
        return Failure(TransferStage::PortOpen, opened, 0);
    }
    // The line may already be set up as needed; a refusal here is not fatal.
    port.Configure(TransferBaudRate);
    const TransferReport report = TransmitFileLocked(&port, clock);
    port.Close();
    return report;
}
