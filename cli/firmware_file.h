#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serial_port.h"
#include "transfer.h"

// What both modes of the command line say about the firmware file, the port and a failed
// transfer, and the port wrapper that tells the failures apart.

// Prints "zq418-flash: MESSAGE" on standard error; returns the exit status 1.
int Fail(const std::string& message);

// Checks the file before the port is touched, so that a plain file problem is named as such
// and the device is left undisturbed. size: the file's size when it could be measured.
bool CheckFirmware(const std::string& path, uint64_t* size, std::string* message);

// One plain sentence for a transfer that failed.
std::string TransferFailureMessage(const TransferReport& report, const std::string& path,
                                   const std::string& port, uint64_t size, uint64_t written);

// The platform's port, watched: whether any byte went out tells a receiver that never
// started from one that stopped answering later.
class WatchedPort final : public SerialPort {
  public:
    explicit WatchedPort(std::unique_ptr<SerialPort> port) : port_(std::move(port)) {}
    int Open(const char* name) override { return port_->Open(name); }
    int Configure(int32_t baudRate) override { return port_->Configure(baudRate); }
    int Write(const uint8_t* data, int32_t length, uint32_t budgetMs) override {
        const int n = port_->Write(data, length, budgetMs);
        if (n > 0) written_ += static_cast<uint64_t>(n);
        return n;
    }
    int Read(uint8_t* buffer, int32_t capacity, uint32_t budgetMs) override {
        return port_->Read(buffer, capacity, budgetMs);
    }
    void Close() override { port_->Close(); }
    uint64_t Written() const { return written_; }

  private:
    std::unique_ptr<SerialPort> port_;
    uint64_t written_ = 0;
};
