#pragma once

#include <cstdint>
#include <utility>

#include "clock.h"

// The waiting loop shared by every SerialPort: one system call, then waits of at most 10 ms
// until the budget is spent, returning on the first call that moved a byte. When nothing
// moves, a budget of T ms gives 1 + ceil(T / 10) calls and T ms of waiting; a budget of 0
// gives exactly one call. The budget counts the waits only, not the time inside the calls.
class BudgetedSteps {
  public:
    // One system call: the bytes it moved (0 when none) or a negative value when it failed.
    virtual int Call() = 0;
    // Waits up to ms milliseconds, or less once the line is ready. false: the line is gone
    // (e.g. the device was unplugged), which ends the loop like a failed call.
    virtual bool Wait(uint32_t ms) = 0;

  protected:
    ~BudgetedSteps() = default;
};

// The longest single wait of the loop: a byte that arrives meanwhile is seen at most this
// much later when the wait is a plain sleep.
constexpr uint32_t kBudgetStepMs = 10;

// Runs the loop. Returns the count of the first call that moved bytes (possibly fewer than
// asked; nothing is added up across calls), 0 when the budget ran out, or failureCode
// (PortReadFailed / PortWriteFailed) when a call failed or the line went away.
int RunBudgeted(BudgetedSteps& steps, uint32_t budgetMs, int failureCode);

// The same over two callables: call() -> int and wait(uint32_t ms) -> bool.
template <typename CallFn, typename WaitFn>
int RunBudgeted(CallFn&& call, WaitFn&& wait, uint32_t budgetMs, int failureCode) {
    struct Adapter final : BudgetedSteps {
        CallFn& call;
        WaitFn& wait;
        Adapter(CallFn& c, WaitFn& w) : call(c), wait(w) {}
        int Call() override { return call(); }
        bool Wait(uint32_t ms) override { return wait(ms); }
    } adapter(call, wait);
    return RunBudgeted(adapter, budgetMs, failureCode);
}

// A wait step that simply sleeps on the given clock: used where the platform offers no
// readiness wait (Windows) and by tests on a virtual clock.
inline auto SleepOn(Clock& clock) {
    return [&clock](uint32_t ms) {
        clock.Sleep(ms);
        return true;
    };
}
