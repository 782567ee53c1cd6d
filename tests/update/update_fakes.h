#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "update_procedure.h"
#include "virtual_clock.h"

// A virtual clock that remembers every pause: (time at the start of the pause, its length).
class RecordingClock : public VirtualClock {
  public:
    using VirtualClock::VirtualClock;
    void Sleep(uint32_t ms) override {
        pauses.emplace_back(TickCount(), ms);
        VirtualClock::Sleep(ms);
    }
    std::vector<uint32_t> PauseLengths() const {
        std::vector<uint32_t> lengths;
        for (const auto& pause : pauses) lengths.push_back(pause.second);
        return lengths;
    }
    std::vector<std::pair<uint32_t, uint32_t>> pauses;
};

// The window of the tests: a port list, a firmware path, and a record of what the update
// did to it. Safe to use from several threads.
class FakeWindow : public UpdateWindow, public ProgressWindow {
  public:
    explicit FakeWindow(Clock* clock = nullptr) : clock_(clock) {}

    int GetPortSelection() override {
        std::lock_guard lock(mutex_);
        events.push_back(L"selection?");
        return selection;
    }
    std::wstring GetPortEntryText(int index) override {
        std::lock_guard lock(mutex_);
        return entries.at(static_cast<std::size_t>(index));
    }
    void EnableControl(int controlId, bool enable) override {
        std::lock_guard lock(mutex_);
        events.push_back((enable ? L"enable " : L"disable ") + std::to_wstring(controlId));
    }
    void ShowProgressBar(bool show) override {
        std::lock_guard lock(mutex_);
        events.push_back(show ? L"show progress" : L"hide progress");
    }
    std::wstring GetFirmwarePath() override { return firmwarePath; }
    ProgressWindow* GetProgressWindow() override { return this; }
    void AppendLog(const std::wstring& text) override {
        std::lock_guard lock(mutex_);
        log.push_back(text);
        logTimes.push_back(clock_ != nullptr ? clock_->TickCount() : 0);
    }
    void SendTransferProgress(uint32_t, uint32_t) override {}

    std::vector<std::wstring> Log() {
        std::lock_guard lock(mutex_);
        return log;
    }
    std::vector<std::wstring> Events() {
        std::lock_guard lock(mutex_);
        return events;
    }

    // Set up before the update starts.
    std::vector<std::wstring> entries;
    int selection = -1;
    std::wstring firmwarePath;

    // Written by the update; read through Log() / Events() while threads may still run.
    std::vector<std::wstring> log;
    std::vector<uint32_t> logTimes;
    std::vector<std::wstring> events;

  private:
    Clock* clock_;
    std::mutex mutex_;
};

// A device on a handshake line, on a virtual clock: bytes arrive at given times; a read
// returns a byte that has arrived at once, waits (moves the clock) up to 100 ms for the next
// one, and otherwise returns no byte after 100 ms. Owned by the test, so that it outlives
// the line object that the update closes and destroys.
struct ScriptedDevice {
    explicit ScriptedDevice(VirtualClock& clock) : clock(clock) {}

    // bytes arrive from time `at` on, msPerByte apart.
    void Send(uint32_t at, const std::string& bytes, uint32_t msPerByte = 0) {
        for (std::size_t i = 0; i < bytes.size(); ++i)
            pending.emplace_back(at + static_cast<uint32_t>(i) * msPerByte,
                                 static_cast<uint8_t>(bytes[i]));
    }
    void SendNow(const std::string& bytes, uint32_t msPerByte = 0) {
        Send(clock.TickCount(), bytes, msPerByte);
    }

    int ReadByte(uint8_t& byte) {
        ++reads;
        if (closed) ++callsAfterClose;
        if (pending.empty() && whenQuiet) whenQuiet(*this);
        if (failReads > 0) {
            --failReads;
            return -1;
        }
        uint32_t now = clock.TickCount();
        if (!pending.empty()) {
            int32_t wait = static_cast<int32_t>(pending.front().first - now);
            if (wait <= 100) {
                if (wait > 0) clock.Advance(static_cast<uint32_t>(wait));
                byte = pending.front().second;
                pending.pop_front();
                return 1;
            }
        }
        clock.Advance(100);
        return 0;
    }

    void WriteByte(uint8_t byte) {
        if (closed) ++callsAfterClose;
        writes.emplace_back(clock.TickCount(), byte);
        if (whenWritten) whenWritten(*this, byte);
    }

    VirtualClock& clock;
    std::deque<std::pair<uint32_t, uint8_t>> pending;
    std::vector<std::pair<uint32_t, uint8_t>> writes;
    std::function<void(ScriptedDevice&, uint8_t)> whenWritten;
    std::function<void(ScriptedDevice&)> whenQuiet;  // the line is empty at a read
    int failReads = 0;
    int reads = 0;
    int clears = 0;
    int closes = 0;
    int callsAfterClose = 0;
    bool closed = false;
};

class ScriptedLine : public HandshakeLine {
  public:
    explicit ScriptedLine(ScriptedDevice& device) : device_(device) {}
    void ClearErrors() override { ++device_.clears; }
    int ReadByte(uint8_t& byte) override { return device_.ReadByte(byte); }
    void WriteByte(uint8_t byte) override { device_.WriteByte(byte); }
    void Close() override {
        ++device_.closes;
        device_.closed = true;
    }

  private:
    ScriptedDevice& device_;
};

struct TransferCall {
    ProgressWindow* window;
    std::string path;
    std::string portName;
    UpdatePhase stateDuringTransfer;
    bool handshakePortValid;
};

// Replaces the update's seams for one test and puts everything back afterwards, shared
// state included.
class SeamsScope {
  public:
    SeamsScope() : saved_(UpdatePlatform()) {
        UpdateState = UpdatePhase::Idle;
        PortScanEnabled = 1;
        HandshakePort.Close();
    }
    ~SeamsScope() {
        HandshakePort.Close();
        UpdatePlatform() = saved_;
        UpdateState = UpdatePhase::Idle;
        PortScanEnabled = 1;
    }
    SeamsScope(const SeamsScope&) = delete;
    SeamsScope& operator=(const SeamsScope&) = delete;

  private:
    UpdateSeams saved_;
};
