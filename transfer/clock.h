#pragma once

#include <cstdint>

// Millisecond tick and sleep, injectable so that the protocol's long waits can be tested on
// a virtual clock.
class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start, wrapping at 2^32 like a 32-bit tick counter.
    virtual uint32_t TickCount() = 0;
    virtual void Sleep(uint32_t ms) = 0;
};

// The real clock of this machine.
Clock& SystemClock();
