#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// Block checks of the device's receiver, written here on purpose rather than shared with the
// sender: a fault in one must not be mirrored by the other.
uint16_t Crc16Xmodem(const uint8_t* data, size_t length);
uint8_t Sum8(const uint8_t* data, size_t length);

// SHA-256 of the received file, for the verdict line.
class Sha256 {
  public:
    Sha256();
    void Update(const uint8_t* data, size_t length);
    std::array<uint8_t, 32> Finish();
    static std::string Hex(const uint8_t* data, size_t length);

  private:
    void Compress(const uint8_t* block);
    uint32_t state_[8];
    uint8_t buffer_[64];
    size_t buffered_ = 0;
    uint64_t totalBytes_ = 0;
};
