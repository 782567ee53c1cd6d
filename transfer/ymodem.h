#pragma once

#include <cstdint>
#include <cstdio>

#include "clock.h"
#include "progress.h"
#include "result_codes.h"
#include "serial_port.h"

// Engine settings.
constexpr int32_t TransferBaudRate = 115200;
constexpr uint32_t StartWaitTime = 30000;  // ms allowed for the receiver's start character

// How long one YModemTx::FlushInput may run in all, in ms. The drain normally ends when the
// line has been quiet for its budget; a receiver that chatters without pause would keep it
// going for ever. 3000 ms is the longest the engine ever waits for one answer, so a line that
// has not settled by then is not going to, and the next step deals with whatever comes.
// The drain checks the limit before each read, so it may overrun it by one read's budget.
constexpr uint32_t FlushInputLimit = 3000;

// Protocol bytes.
constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t SUB = 0x1A;

// CRC-16/XMODEM (polynomial 0x1021, initial 0, not reflected), computed bit by bit.
uint16_t Crc16(const uint8_t* data, uint32_t length);

// The state of one file transfer. A plain record: the batch sets the mode fields before the
// block sender reads them.
struct YModemTx {
    // A source of the file's bytes.
    class InStream {
      public:
        // Copies up to limit bytes into buffer: their count (> 0), 0 at the end of the data,
        // or a negative TransferResult.
        virtual int Read(uint8_t* buffer, uint32_t limit) = 0;
        virtual ~InStream() = default;
    };

    SerialPort* port = nullptr;                // open and configured; not owned
    ProgressWindow* progressWindow = nullptr;  // may be null: no notifications
    uint32_t fileSize = 0;
    int32_t blockNumber = 0;  // next block; its low 8 bits go on the wire
    uint8_t useCrc = 0;       // CRC-16 when set, 8-bit sum when clear
    uint8_t waitAck = 0;      // clear in streaming mode
    uint8_t use1K = 0;        // 1024-byte blocks allowed
    uint8_t startChar = 0;    // 'C', 'G' or NAK, as the receiver sent it
    int32_t canCount = 0;     // CAN answers in a row
    Clock* clock = nullptr;   // bounds FlushInput; null means SystemClock()

    // One byte within budgetMs: 0..255, Timeout, or the port's failure code.
    int ReadByte(uint32_t budgetMs);
    // Drops input until the line has been quiet for budgetMs, a read fails, or
    // FlushInputLimit has passed.
    void FlushInput(uint32_t budgetMs);
    // Sends one block carrying the start of data (EOT when length is 0) and deals with the
    // answers. Returns the number of data bytes the block carried, or a negative code.
    int SendBlock(const uint8_t* data, uint32_t length);
    // Drains the input and waits for 'G', 'C' or NAK; sets useCrc, waitAck and startChar.
    int WaitForStart(uint32_t waitMs);
    // Sends everything stream delivers, then EOT, notifying progressWindow per chunk.
    int SendData(InStream& stream);
    // The whole batch of one file: header block 0 announcing name and size, the data, EOT
    // and the closing empty block 0.
    int SendBatch(uint32_t size, InStream& stream, const char* name);
};

// Reads a file that the caller opened (and closes). Writes a trace line before every read.
class InFile : public YModemTx::InStream {
  public:
    InFile(std::FILE* file, uint32_t size) : file(file), size(size) {}
    int Read(uint8_t* buffer, uint32_t limit) override;

    std::FILE* file;
    uint32_t size;          // measured when the file was opened
    uint32_t position = 0;  // bytes delivered so far
};

// Fills the 1024-byte block with the header payload: name (upper case ASCII lowered, '\' as
// '/'), NUL, the decimal size. 0, or FileNameTooLong when they leave fewer than two zero
// bytes at the end.
int MakeHeaderBlock(uint32_t size, uint8_t* block, const char* name);

// The file step: opens the file set by the last SendFirmwareFile, measures it and sends it
// over port, an open SerialPort. 0 on success, 1 on failure.
int TransmitFile(SerialPort* port);

// The stream the trace goes to, or null (see SetTransferTrace).
std::FILE* TransferTrace();

// File access of the file step.
// Opens path for binary reading, sharing it with other readers and writers. Null and the
// errno on failure (a folder is refused with EISDIR).
std::FILE* OpenFileForTransfer(const char* path, int* error);
// The file's length with 64-bit offsets, leaving it positioned at its start.
bool MeasureFile(std::FILE* file, uint64_t* size, int* error);
