#include "windows_serial_port.h"

#include <cstdio>
#include <cstring>

#include "budgeted_io.h"
#include "result_codes.h"

namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

}  // namespace

WindowsSerialPort::~WindowsSerialPort() {
    Close();
}

int WindowsSerialPort::Open(const char* name) {
    // Refuse a name whose path would not fit rather than cut it: a cut name could open
    // another device than the one asked for.
    char path[kPathCapacity];
    const int needed = std::snprintf(path, sizeof path, "\\\\.\\%s", name);
    if (needed < 0 || static_cast<size_t>(needed) >= sizeof path) return PortError;
    handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return 0;
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
            return PortNotFound;
        case ERROR_ACCESS_DENIED:
            return PortAccessDenied;
        default:
            return PortError;
    }
}

int WindowsSerialPort::Configure(int32_t baudRate) {
    if (!FlushFileBuffers(handle)) return PortError;
    if (!PurgeComm(handle, kPurgeAll)) return PortError;
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) return PortError;
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(handle, &dcb))
        return GetLastError() == ERROR_INVALID_PARAMETER ? PortBadSettings : PortError;
    // A read returns at once with what has arrived; a write has no time-out.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(handle, &timeouts)) return PortError;
    if (!PurgeComm(handle, kPurgeAll)) return PortError;
    return 0;
}

int WindowsSerialPort::Write(const uint8_t* data, int32_t length, uint32_t budgetMs) {
    const HANDLE port = handle;
    auto call = [port, data, length]() -> int {
        DWORD written = 0;
        if (!WriteFile(port, data, static_cast<DWORD>(length < 0 ? 0 : length), &written, nullptr))
            return -1;
        return static_cast<int>(written);
    };
    return RunBudgeted(call, SleepOn(clock_), budgetMs, PortWriteFailed);
}

int WindowsSerialPort::Read(uint8_t* buffer, int32_t capacity, uint32_t budgetMs) {
    const HANDLE port = handle;
    auto call = [port, buffer, capacity]() -> int {
        DWORD read = 0;
        if (!ReadFile(port, buffer, static_cast<DWORD>(capacity < 0 ? 0 : capacity), &read,
                      nullptr))
            return -1;
        return static_cast<int>(read);
    };
    return RunBudgeted(call, SleepOn(clock_), budgetMs, PortReadFailed);
}

void WindowsSerialPort::Close() {
    if (handle == INVALID_HANDLE_VALUE) return;
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

std::unique_ptr<SerialPort> CreatePlatformSerialPort() {
    return std::make_unique<WindowsSerialPort>();
}
