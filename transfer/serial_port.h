#pragma once

#include <cstdint>
#include <memory>

// The transfer engine's view of a serial port. The slot order is part of the contract.
// Every operation returns 0 / a count on success or a negative TransferResult.
class SerialPort {
  public:
    // name: NUL-terminated 8-bit text, e.g. "COM3 " or "ttyACM0 " (trailing blanks are not
    // part of the device's name) or, on POSIX, a path such as "/dev/pts/3".
    virtual int Open(const char* name) = 0;
    // 8 data bits, no parity, one stop bit at the given rate.
    virtual int Configure(int32_t baudRate) = 0;
    // Bytes handed to the driver (0 when none within the budget) or PortWriteFailed.
    virtual int Write(const uint8_t* data, int32_t length, uint32_t budgetMs) = 0;
    // Bytes read (0 when none within the budget) or PortReadFailed.
    virtual int Read(uint8_t* buffer, int32_t capacity, uint32_t budgetMs) = 0;
    virtual void Close() = 0;
    virtual ~SerialPort() = default;
};

// The platform's implementation (WindowsSerialPort or PosixSerialPort), new and closed.
std::unique_ptr<SerialPort> CreatePlatformSerialPort();
