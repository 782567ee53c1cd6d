#include <windows.h>

#include <algorithm>
#include <string>

#include "update_procedure.h"

namespace {

// Device path buffer "\\.\<name>", terminator included.
constexpr std::size_t kDevicePathChars = 64;

class WindowsHandshakeLine final : public HandshakeLine {
  public:
    explicit WindowsHandshakeLine(HANDLE handle) : handle_(handle) {}
    ~WindowsHandshakeLine() override { Close(); }

    void ClearErrors() override {
        DWORD errors = 0;
        COMSTAT status{};
        ClearCommError(handle_, &errors, &status);
    }

    int ReadByte(uint8_t& byte) override {
        DWORD got = 0;
        if (!ReadFile(handle_, &byte, 1, &got, nullptr)) return -1;
        return got == 1 ? 1 : 0;
    }

    void WriteByte(uint8_t byte) override {
        DWORD written = 0;
        WriteFile(handle_, &byte, 1, &written, nullptr);
    }

    // A write waits for the device to take the byte, with no useful time limit; cancelling
    // ends it (and a read) with a failure.
    void CancelPending() override { CancelIoEx(handle_, nullptr); }

    void Close() override {
        if (handle_ == INVALID_HANDLE_VALUE) return;
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

  private:
    HANDLE handle_;
};

HandshakeOpenError ErrorOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_NAME:
            return HandshakeOpenError::NotFound;
        case ERROR_ACCESS_DENIED:
            return HandshakeOpenError::AccessDenied;
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return HandshakeOpenError::Busy;
        default:
            return HandshakeOpenError::Other;
    }
}

// Line settings and time-outs of the dialogue. Results are not examined: a port that refuses
// them is used with what it has.
void Configure(HANDLE handle) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(handle, &dcb);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    // After a line error every read and write fails until the errors are cleared.
    dcb.fAbortOnError = TRUE;
    SetCommState(handle, &dcb);

    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(handle, &timeouts);
    // A read returns at once with a buffered byte, else waits up to 100 ms for the first.
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 100;
    timeouts.WriteTotalTimeoutMultiplier = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = 100;
    SetCommTimeouts(handle, &timeouts);

    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(handle, &errors, &status);
    PurgeComm(handle, PURGE_TXCLEAR);
    PurgeComm(handle, PURGE_RXCLEAR);
    ClearCommError(handle, &errors, &status);
}

}  // namespace

std::unique_ptr<HandshakeLine> OpenHandshakePort(const std::wstring& name,
                                                 HandshakeOpenError* why) {
    auto fail = [why](HandshakeOpenError error) {
        if (why != nullptr) *why = error;
        return nullptr;
    };
    // "\\.\%s" into the 64-character buffer; a name that does not fit cannot be opened.
    static const wchar_t kPrefix[] = L"\\\\.\\";
    const std::size_t prefixChars = sizeof kPrefix / sizeof kPrefix[0] - 1;
    if (name.find(L'\0') != std::wstring::npos || prefixChars + name.size() + 1 > kDevicePathChars)
        return fail(HandshakeOpenError::NameTooLong);
    wchar_t path[kDevicePathChars] = {};
    name.copy(path + prefixChars, name.size());
    std::copy(kPrefix, kPrefix + prefixChars, path);

    HANDLE handle =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return fail(ErrorOf(GetLastError()));
    Configure(handle);
    if (why != nullptr) *why = HandshakeOpenError::None;
    return std::make_unique<WindowsHandshakeLine>(handle);
}
