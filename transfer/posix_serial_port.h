#pragma once

#include <cstddef>
#include <cstdint>

#include "serial_port.h"

// SerialPort over a POSIX terminal device (termios). The waits of Read and Write use poll(),
// so a byte that has arrived is taken at once rather than at the next 10 ms tick.
class PosixSerialPort final : public SerialPort {
  public:
    // Room for the device path and its terminating NUL.
    static constexpr size_t kPathCapacity = 256;

    PosixSerialPort() = default;
    PosixSerialPort(const PosixSerialPort&) = delete;
    PosixSerialPort& operator=(const PosixSerialPort&) = delete;
    ~PosixSerialPort() override;

    // name: a kernel name ("ttyACM0", trailing blanks ignored), opened below /dev/, or a path
    // (any name containing '/'); see TtyDevicePath. The device is held exclusively until
    // Close.
    int Open(const char* name) override;
    int Configure(int32_t baudRate) override;
    int Write(const uint8_t* data, int32_t length, uint32_t budgetMs) override;
    int Read(uint8_t* buffer, int32_t capacity, uint32_t budgetMs) override;
    void Close() override;

    bool IsOpen() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};
