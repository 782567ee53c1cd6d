#pragma once

#include <cstdio>

#include "clock.h"
#include "progress.h"
#include "serial_port.h"

// Sends one file as a YMODEM batch over the named port, which must be free (the caller has
// closed its own handle). progressWindow may be null: then no notifications are sent.
// path and portName: NUL-terminated 8-bit text. Returns 0 when the whole batch went
// through, 1 on any failure. Blocks the calling thread for the whole transfer.
int SendFirmwareFile(ProgressWindow* progressWindow, const char* path, const char* portName);

// Where the engine's console trace goes ("Sending %s...\n", the progress lines, "\nSent OK\n").
// Default: stdout. nullptr: no trace. The command line points it at stderr, because its
// stdout carries only the update's log.
void SetTransferTrace(std::FILE* stream);

enum class TransferStage { Done, PortOpen, FileOpen, FileMeasure, FileTooLarge, Batch };
struct TransferReport {
    int status;           // 0 success, 1 failure: exactly what SendFirmwareFile returns
    TransferStage stage;  // where the transfer ended (Done on success)
    int code;  // the engine's result code (PortNotFound, Timeout, CancelledByReceiver, ...) or 0
    int systemError;  // errno / GetLastError() of a failed file open, or 0
};
// SendFirmwareFile with the detail a command line needs to say what failed.
// SendFirmwareFile(w, p, n) == SendFirmwareFileReport(w, p, n).status.
TransferReport SendFirmwareFileReport(ProgressWindow* progressWindow, const char* path,
                                      const char* portName);

// The same on a port object the caller made (new and closed; it is opened, configured and
// closed here but not destroyed) and with the clock that bounds the engine's input drains.
// The entries above use CreatePlatformSerialPort() and SystemClock().
TransferReport SendFirmwareFileReport(ProgressWindow* progressWindow, const char* path,
                                      const char* portName, SerialPort& port, Clock& clock);
