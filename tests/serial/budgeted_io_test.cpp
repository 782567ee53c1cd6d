#include "budgeted_io.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "result_codes.h"
#include "virtual_clock.h"

namespace {

// A system call on a virtual line: bytes become available at given times, and a call may
// be made to fail. Records when each call was made and the length of each wait.
struct FakeLine {
    explicit FakeLine(VirtualClock& c, uint32_t arrival = UINT32_MAX, int bytes = 0)
        : clock(c), arrivalMs(arrival), arrivingBytes(bytes) {}

    VirtualClock& clock;
    uint32_t arrivalMs;           // when the bytes appear
    int arrivingBytes;            // how many
    int failAtCall = 0;           // 1-based call that fails; 0: none
    bool goneAfterWaits = false;  // the wait step reports the line gone
    std::vector<uint32_t> callTimes;
    std::vector<uint32_t> waits;

    int Call() {
        callTimes.push_back(clock.TickCount());
        if (failAtCall != 0 && static_cast<int>(callTimes.size()) == failAtCall) return -1;
        return clock.TickCount() >= arrivalMs ? arrivingBytes : 0;
    }
    bool Wait(uint32_t ms) {
        waits.push_back(ms);
        clock.Sleep(ms);
        return !goneAfterWaits;
    }
    int Run(uint32_t budget, int failure = PortReadFailed) {
        return RunBudgeted([this] { return Call(); }, [this](uint32_t ms) { return Wait(ms); },
                           budget, failure);
    }
};

struct QuietCase {
    uint32_t budget;
    size_t calls;
    std::vector<uint32_t> waits;  // empty: not checked one by one
    uint64_t sleptMs;
};

class QuietLine : public ::testing::TestWithParam<QuietCase> {};

TEST_P(QuietLine, SpendsTheWholeBudgetInStepsOfAtMostTenMs) {
    const QuietCase& c = GetParam();
    VirtualClock clock;
    FakeLine line(clock);
    EXPECT_EQ(line.Run(c.budget), 0);
    EXPECT_EQ(line.callTimes.size(), c.calls);
    if (!c.waits.empty()) {
        EXPECT_EQ(line.waits, c.waits);
    }
    EXPECT_EQ(clock.TotalSlept(), c.sleptMs);
    for (uint32_t w : line.waits) EXPECT_LE(w, kBudgetStepMs);
    // The last call follows the wait that used the budget up.
    EXPECT_EQ(line.callTimes.back(), c.budget);
}

INSTANTIATE_TEST_SUITE_P(Budgets, QuietLine,
                         ::testing::Values(QuietCase{0, 1, {}, 0}, QuietCase{1, 2, {1}, 1},
                                           QuietCase{10, 2, {10}, 10},
                                           QuietCase{25, 4, {10, 10, 5}, 25},
                                           QuietCase{1000, 101, {}, 1000},
                                           QuietCase{3001, 302, {}, 3001}));

TEST(BudgetedIo, ByteArrivingMidWaitIsTakenAtTheNextCall) {
    VirtualClock clock;
    FakeLine line(clock, 15, 1);
    EXPECT_EQ(line.Run(3000), 1);
    ASSERT_EQ(line.callTimes.size(), 3u);
    EXPECT_EQ(line.callTimes.back(), 20u);
}

TEST(BudgetedIo, PartialCountIsReturnedAtOnceWithoutWaiting) {
    VirtualClock clock;
    FakeLine line(clock, 0, 5);
    EXPECT_EQ(line.Run(1000), 5);
    EXPECT_EQ(line.callTimes.size(), 1u);
    EXPECT_EQ(clock.SleepCalls(), 0u);
}

TEST(BudgetedIo, FailedCallEndsTheLoopWithTheCallersCode) {
    struct Case {
        int failAtCall;
        int failure;
    };
    for (const Case c : {Case{1, PortReadFailed}, Case{4, PortReadFailed}, Case{1, PortWriteFailed},
                         Case{3, PortWriteFailed}}) {
        VirtualClock clock;
        FakeLine line(clock);
        line.failAtCall = c.failAtCall;
        EXPECT_EQ(line.Run(1000, c.failure), c.failure) << "fail at call " << c.failAtCall;
        EXPECT_EQ(line.callTimes.size(), static_cast<size_t>(c.failAtCall));
    }
}

TEST(BudgetedIo, FailureWinsOverBytesArrivingLater) {
    // A failing call is reported even though bytes would have come at the next call.
    VirtualClock clock;
    FakeLine line(clock, 20, 3);
    line.failAtCall = 2;
    EXPECT_EQ(line.Run(100), PortReadFailed);
    EXPECT_EQ(line.callTimes.size(), 2u);
}

TEST(BudgetedIo, LineGoneDuringAWaitEndsTheLoopAsAFailure) {
    VirtualClock clock;
    FakeLine line(clock);
    line.goneAfterWaits = true;
    EXPECT_EQ(line.Run(3000, PortReadFailed), PortReadFailed);
    EXPECT_EQ(line.callTimes.size(), 1u);
    EXPECT_EQ(line.waits.size(), 1u);
}

TEST(BudgetedIo, LargestBudgetDoesNotWrap) {
    // The budget is counted down in steps; near the top of the range it must not overflow
    // into an endless or a shortened wait.
    VirtualClock clock;
    FakeLine line(clock, 40, 2);
    EXPECT_EQ(line.Run(UINT32_MAX), 2);
    EXPECT_EQ(line.callTimes.back(), 40u);
}

TEST(BudgetedIo, SleepOnUsesTheClock) {
    VirtualClock clock(100);
    int calls = 0;
    auto call = [&calls] { return ++calls == 3 ? 7 : 0; };
    EXPECT_EQ(RunBudgeted(call, SleepOn(clock), 50, PortReadFailed), 7);
    EXPECT_EQ(clock.TickCount(), 120u);
    EXPECT_EQ(clock.SleepCalls(), 2u);
}

}  // namespace
