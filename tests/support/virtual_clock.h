#pragma once

#include <cstdint>

#include "clock.h"

// A clock that only moves when someone sleeps (or the test advances it): the protocol's
// 3 s, 11 s, 20 s and 30 s rules run in microseconds of real time.
class VirtualClock : public Clock {
  public:
    explicit VirtualClock(uint32_t start = 0) : now_(start) {}
    uint32_t TickCount() override { return now_; }
    void Sleep(uint32_t ms) override {
        slept_ += ms;
        ++sleeps_;
        now_ += ms;
    }
    void Advance(uint32_t ms) { now_ += ms; }
    uint64_t TotalSlept() const { return slept_; }
    uint64_t SleepCalls() const { return sleeps_; }

  private:
    uint32_t now_;
    uint64_t slept_ = 0;
    uint64_t sleeps_ = 0;
};
