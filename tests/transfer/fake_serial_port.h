#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "progress.h"
#include "result_codes.h"
#include "serial_port.h"
#include "virtual_clock.h"
#include "ymodem.h"

// A serial port on a virtual clock. Read and Write follow the port's budget rule: one driver
// call, then sleeps of at most 10 ms with a call after each until something moves or the
// budget is spent; with nothing to read, a budget of T ms costs 1 + ceil(T / 10) driver
// calls and T ms of virtual time. Incoming bytes become readable at a virtual time; every
// written byte is recorded with the time of the Write that took it. Writes themselves take
// no virtual time.
class FakeSerialPort : public SerialPort {
  public:
    struct WriteCall {
        uint32_t time;
        size_t offset;  // where its bytes start in line
        int32_t length;
    };

    explicit FakeSerialPort(VirtualClock& clock) : clock_(clock) {}

    // Behaviour, set by the test.
    int openResult = 0;
    int configureResult = 0;
    // Per Write call, the most bytes the driver takes: 0 takes none for the whole budget, a
    // negative value fails the call with PortWriteFailed. Empty: every byte is taken.
    std::deque<int> writeLimits;
    // Called after each Write that took bytes (a receiver reacts here).
    std::function<void()> afterWrite;

    // Incoming bytes, readable from now + delay on.
    void Deliver(const std::string& bytes, uint32_t delay = 0) {
        for (char c : bytes) DeliverAt(clock_.TickCount() + delay, static_cast<uint8_t>(c));
    }
    void DeliverAt(uint32_t time, uint8_t byte) { Schedule(time, byte); }
    // The first driver read at or after time fails with code.
    void FailReadAt(uint32_t time, int code = PortReadFailed) { Schedule(time, code); }
    size_t Pending() const { return incoming_.size(); }

    // Records.
    std::vector<uint8_t> line;  // every byte written, in order
    std::vector<WriteCall> writes;
    std::vector<uint32_t> readBudgets;  // budget of every Read call
    uint64_t driverReads = 0;           // modelled driver calls of all Reads
    std::string openedName;
    int32_t configuredBaud = -1;
    int openCalls = 0;
    int closeCalls = 0;
    bool isOpen = false;

    int Open(const char* name) override {
        ++openCalls;
        openedName = name;
        isOpen = openResult == 0;
        return openResult;
    }
    int Configure(int32_t baudRate) override {
        configuredBaud = baudRate;
        return configureResult;
    }
    int Write(const uint8_t* data, int32_t length, uint32_t budgetMs) override {
        int limit = INT_MAX;
        if (!writeLimits.empty()) {
            limit = writeLimits.front();
            writeLimits.pop_front();
        }
        if (limit < 0) return PortWriteFailed;
        if (limit == 0) {
            SleepBudget(budgetMs);
            return 0;
        }
        const int32_t taken = std::min(length, static_cast<int32_t>(limit));
        writes.push_back({clock_.TickCount(), line.size(), taken});
        line.insert(line.end(), data, data + taken);
        if (afterWrite) afterWrite();
        return taken;
    }
    int Read(uint8_t* buffer, int32_t capacity, uint32_t budgetMs) override {
        readBudgets.push_back(budgetMs);
        for (;;) {
            ++driverReads;
            int32_t count = 0;
            while (count < capacity && !incoming_.empty() &&
                   incoming_.front().first <= clock_.TickCount()) {
                const int value = incoming_.front().second;
                if (value < 0) {
                    if (count > 0) break;
                    incoming_.pop_front();
                    return value;
                }
                buffer[count++] = static_cast<uint8_t>(value);
                incoming_.pop_front();
            }
            if (count > 0) return count;
            if (budgetMs == 0) return 0;
            const uint32_t step = std::min<uint32_t>(10, budgetMs);
            clock_.Sleep(step);
            budgetMs -= step;
        }
    }
    void Close() override {
        ++closeCalls;
        isOpen = false;
    }

    VirtualClock& clock() { return clock_; }

  private:
    void Schedule(uint32_t time, int value) {
        // Kept in time order; equal times keep their order of arrival.
        auto at = std::upper_bound(
            incoming_.begin(), incoming_.end(), time,
            [](uint32_t t, const std::pair<uint32_t, int>& e) { return t < e.first; });
        incoming_.insert(at, {time, value});
    }
    void SleepBudget(uint32_t budgetMs) {
        while (budgetMs > 0) {
            const uint32_t step = std::min<uint32_t>(10, budgetMs);
            clock_.Sleep(step);
            budgetMs -= step;
        }
    }

    VirtualClock& clock_;
    std::deque<std::pair<uint32_t, int>> incoming_;  // (readable from, byte or failure code)
};

// A YMODEM receiver played from a script. It cuts the written bytes into frames (SOH and
// STX blocks by the check mode it asked for, EOT alone, anything else as a one-byte frame)
// and answers each complete frame with the next scripted answer, after answerDelay ms. An
// exhausted script answers nothing. Sending 'C' switches it to CRC frames.
class ScriptedReceiver {
  public:
    struct Frame {
        uint32_t time;  // of the Write that carried its first byte
        std::vector<uint8_t> bytes;
    };

    ScriptedReceiver(FakeSerialPort& port, bool crc) : crc(crc), port_(port) {
        port_.afterWrite = [this] { Parse(); };
    }

    // Sends bytes now, without a frame to answer (start characters).
    void Send(const std::string& bytes) {
        if (bytes.find('C') != std::string::npos) crc = true;
        port_.Deliver(bytes);
    }

    bool crc;
    std::deque<std::string> answers;
    uint32_t answerDelay = 0;
    std::vector<Frame> frames;

  private:
    void Parse() {
        for (;;) {
            const size_t left = port_.line.size() - parsed_;
            if (left == 0) return;
            const uint8_t first = port_.line[parsed_];
            size_t length = 1;
            if (first == SOH || first == STX) length = (first == SOH ? 128 : 1024) + (crc ? 5 : 4);
            if (left < length) return;
            Frame frame{TimeOfByte(parsed_), {}};
            frame.bytes.assign(port_.line.begin() + static_cast<std::ptrdiff_t>(parsed_),
                               port_.line.begin() + static_cast<std::ptrdiff_t>(parsed_ + length));
            frames.push_back(std::move(frame));
            parsed_ += length;
            if (!answers.empty()) {
                const std::string answer = answers.front();
                answers.pop_front();
                if (answer.find('C') != std::string::npos) crc = true;
                port_.Deliver(answer, answerDelay);
            }
        }
    }
    uint32_t TimeOfByte(size_t offset) const {
        for (const auto& w : port_.writes) {
            if (offset >= w.offset && offset < w.offset + static_cast<size_t>(w.length))
                return w.time;
        }
        return 0;
    }

    FakeSerialPort& port_;
    size_t parsed_ = 0;
};

// Records the progress notifications and how much of the line was written at each.
class RecordingWindow : public ProgressWindow {
  public:
    struct Note {
        uint32_t chunks;
        uint32_t sizeKiB;
        size_t lineBytes;
    };
    explicit RecordingWindow(const FakeSerialPort* port = nullptr) : port_(port) {}
    void SendTransferProgress(uint32_t chunks, uint32_t sizeKiB) override {
        notes.push_back({chunks, sizeKiB, port_ ? port_->line.size() : 0});
    }
    std::vector<Note> notes;

  private:
    const FakeSerialPort* port_;
};

// A stream over bytes in memory, delivering at most `step` bytes per read; after the bytes,
// it ends with `end` (0: end of data, negative: that error).
class MemoryStream : public YModemTx::InStream {
  public:
    explicit MemoryStream(std::vector<uint8_t> bytes, uint32_t step = 1024, int end = 0)
        : bytes_(std::move(bytes)), step_(step), end_(end) {}
    int Read(uint8_t* buffer, uint32_t limit) override {
        ++reads;
        if (at_ == bytes_.size()) return end_;
        const size_t n = std::min<size_t>({limit, step_, bytes_.size() - at_});
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), n, buffer);
        at_ += n;
        return static_cast<int>(n);
    }
    int reads = 0;

  private:
    std::vector<uint8_t> bytes_;
    size_t step_;
    int end_;
    size_t at_ = 0;
};

// Bytes 0, 1, 2, ... of a test file: every position distinguishable modulo 251.
inline std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i % 251);
    return bytes;
}
