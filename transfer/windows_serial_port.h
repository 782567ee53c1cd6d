#pragma once

#include <windows.h>

#include <cstdint>

#include "clock.h"
#include "serial_port.h"

// SerialPort over the Win32 communications functions, with synchronous (non-overlapped)
// input and output. Reads return at once with what the driver holds; all waiting is done
// by the budgeted loop, sleeping on the given clock.
class WindowsSerialPort final : public SerialPort {
  public:
    // The device path "\\.\NAME" and its NUL must fit in this many bytes: names have at
    // most 15 characters.
    static constexpr size_t kPathCapacity = 20;

    explicit WindowsSerialPort(Clock& clock = SystemClock()) : clock_(clock) {}
    WindowsSerialPort(const WindowsSerialPort&) = delete;
    WindowsSerialPort& operator=(const WindowsSerialPort&) = delete;
    ~WindowsSerialPort() override;

    int Open(const char* name) override;
    int Configure(int32_t baudRate) override;
    int Write(const uint8_t* data, int32_t length, uint32_t budgetMs) override;
    int Read(uint8_t* buffer, int32_t capacity, uint32_t budgetMs) override;
    void Close() override;

    // The open port; INVALID_HANDLE_VALUE while closed.
    HANDLE handle = INVALID_HANDLE_VALUE;

  private:
    Clock& clock_;
};
