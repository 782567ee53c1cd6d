#include <memory>

#include "transfer.h"

// Kept apart from the engine so that code driving the engine on its own port object does
// not need the platform's port.

TransferReport SendFirmwareFileReport(ProgressWindow* progressWindow, const char* path,
                                      const char* portName) {
    std::unique_ptr<SerialPort> port = CreatePlatformSerialPort();
    return SendFirmwareFileReport(progressWindow, path, portName, *port, SystemClock());
}

int SendFirmwareFile(ProgressWindow* progressWindow, const char* path, const char* portName) {
    return SendFirmwareFileReport(progressWindow, path, portName).status;
}
