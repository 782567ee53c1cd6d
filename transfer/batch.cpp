#include <cstring>

#include "ymodem.h"

namespace {

constexpr uint32_t ChunkSize = 1024;
constexpr uint32_t HeaderSize = 1024;
constexpr uint32_t RepeatedStartWait = 11000;  // ms for the start character after block 0 / EOT
constexpr uint32_t SmallestStartWait = 11000;
constexpr uint32_t StartPoll = 10;

}  // namespace

int MakeHeaderBlock(uint32_t size, uint8_t* block, const char* name) {
    std::memset(block, 0, HeaderSize);
    // The last byte stays zero whatever happens: the name is copied into the first 1023 only.
    uint32_t at = 0;
    for (const char* p = name;; ++p) {
        if (at >= HeaderSize - 1) return FileNameTooLong;
        uint8_t c = static_cast<uint8_t>(*p);
        if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c + 0x20);
        if (c == '\\') c = '/';
        block[at++] = c;
        if (c == 0) break;
    }
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + size % 10);
        size /= 10;
    } while (size != 0);
    while (count > 0 && at < HeaderSize - 1) block[at++] = static_cast<uint8_t>(digits[--count]);
    // At least one zero must follow the size, so the digits must not reach the last byte.
    return (count == 0 && at < HeaderSize - 1) ? 0 : FileNameTooLong;
}

int YModemTx::WaitForStart(uint32_t waitMs) {
    uint32_t budget = waitMs < SmallestStartWait ? SmallestStartWait : waitMs;
    // A start character sent before we were listening belongs to an earlier attempt.
    FlushInput(0);
    canCount = 0;
    for (;;) {
        uint8_t c = 0;
        int r = port->Read(&c, 1, StartPoll);
        if (r < 0 && r != Timeout) return r;
        if (r == 1) {
            if (c == 'G') {
                useCrc = 1;
                waitAck = 0;
                startChar = 'G';
                return 0;
            }
            if (c == 'C') {
                useCrc = 1;
                waitAck = 1;
                startChar = 'C';
                return 0;
            }
            if (c == NAK) {
                useCrc = 0;
                waitAck = 1;
                startChar = NAK;
                return 0;
            }
        }
        // Counted, not measured: a receiver sending junk fast cannot stretch the wait.
        if (budget < StartPoll) return Timeout;
        budget -= StartPoll;
    }
}

int YModemTx::SendData(InStream& stream) {
    uint8_t chunk[ChunkSize];
    blockNumber = 1;
    uint32_t chunks = 0;
    for (;;) {
        int k = stream.Read(chunk, ChunkSize);
        if (k < 0 || static_cast<uint32_t>(k) > ChunkSize) return FileReadError;
        const uint32_t length = static_cast<uint32_t>(k);
        uint32_t offset = 0;
        do {
            int r = SendBlock(chunk + offset, length - offset);
            if (r < 0) return r;
            offset += static_cast<uint32_t>(r);
        } while (offset < length);
        ++chunks;
        if (progressWindow) progressWindow->SendTransferProgress(chunks, fileSize >> 10);
        if (k == 0) return 0;
    }
}

namespace {

// The receiver repeats its start character after block 0 and after EOT.
int AwaitStartAgain(YModemTx& tx) {
    int r = tx.ReadByte(RepeatedStartWait);
    if (r < 0) return r;
    return r == tx.startChar ? 0 : UnexpectedResponse;
}

}  // namespace

int YModemTx::SendBatch(uint32_t size, InStream& stream, const char* name) {
    uint8_t block[HeaderSize];
    use1K = 1;
    fileSize = size;
    if (MakeHeaderBlock(size, block, name) != 0) return FileNameTooLong;

    int r = WaitForStart(StartWaitTime);
    if (r < 0) return r;
    blockNumber = 0;
    r = SendBlock(block, HeaderSize);
    if (r < 0) return r;
    r = AwaitStartAgain(*this);
    if (r < 0) return r;

    r = SendData(stream);
    if (r < 0) return r;
    r = AwaitStartAgain(*this);
    if (r < 0) return r;

    std::memset(block, 0, HeaderSize);
    blockNumber = 0;
    r = SendBlock(block, HeaderSize);
    return r < 0 ? r : 0;
}
