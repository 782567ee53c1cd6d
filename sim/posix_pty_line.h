#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "line.h"

// Asks every wait of the line to end (from a signal handler: only an atomic store).
void RequestStop();

// The device's end of a pseudo-terminal. The tool opens the slave; we serve the master.
class PtyLine : public Line {
  public:
    // baud 0: unpaced. idleSeconds: how long without any received byte ends the session.
    static std::unique_ptr<PtyLine> Open(long baud, double idleSeconds, std::string& error);
    ~PtyLine() override;

    const std::string& SlavePath() const { return slavePath_; }

    int ReadByte(int timeoutMs) override;
    void Write(const uint8_t* data, size_t length) override;
    void Drain(int maxMs) override;
    void Pause(int ms) override;
    void Hangup() override;
    void AllowReopen() override;
    int64_t NowMs() override;

  private:
    PtyLine() = default;
    static int64_t NowUs();
    void CheckEnded(int64_t now);
    void FlushOut(int64_t now);
    void Pump(int64_t now, int64_t wakeUs);

    int master_ = -1;
    int hold_ = -1;  // our own slave descriptor: the line stays up while the tool reopens
    std::string slavePath_;
    int64_t byteUs_ = 0;
    int64_t idleLimitUs_ = 0;
    int64_t lastInputUs_ = 0;
    std::deque<std::pair<int64_t, uint8_t>> in_;  // (time it has fully arrived, byte)
    std::deque<std::pair<int64_t, uint8_t>> out_;
    int64_t inFreeUs_ = 0;
    int64_t outFreeUs_ = 0;
    bool hungUp_ = false;
};
