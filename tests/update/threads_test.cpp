// The two worker threads, the "Update" handler and the window's destruction: the start-up
// rules on a virtual clock, and the threads' interplay in a few short real-time runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "update_fakes.h"

namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

const std::wstring kEntryFailure =
    L"\r\nEntry updata Firmware mode fail!!\r\nPress Power+Reset Key entry Bootloader and "
    L"Firmware mode,\r\nComfirm COM Port is correct.\r\n";
const std::wstring kDialogueStart = L"\r\nSwitch to Flash Mode.\r\n";
const std::wstring kDialogueFailure = L"\r\nSwitch to Flash Mode Error!\r\n";
const std::wstring kTransferStart = L"\r\nUpdataing Firmware ...\r\n";
const std::wstring kWriterEnd = L"\r\nSendThread Exit.\r\n";
const std::wstring kReaderStartFailure = L"\r\nCreate ReadThread Error!\r\n";
const std::wstring kWriterStartFailure = L"\r\nCreate SendThread Error!\r\n";

struct StartedThread {
    std::function<void()> routine;
    ThreadPriority priority;
};

// Threads are not started but kept, so that a test runs each routine when it chooses.
void CaptureStartedThreads(std::vector<StartedThread>& started) {
    UpdatePlatform().startThread = [&started](std::function<void()> routine,
                                              ThreadPriority priority) {
        started.push_back({std::move(routine), priority});
        return true;
    };
}

// --- Start-up on a virtual clock ------------------------------------------------------

TEST(OnUpdateClicked, SecondUpdateAfterAFinishedOnePokesEverySecond) {
    SeamsScope scope;
    RecordingClock clock(0);
    std::vector<StartedThread> started;
    UpdatePlatform().clock = &clock;
    CaptureStartedThreads(started);
    FakeWindow window(&clock);
    UpdateState = UpdatePhase::Finished;  // left over from the previous update

    OnUpdateClicked(window);

    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[0].priority, ThreadPriority::Highest);
    EXPECT_EQ(started[1].priority, ThreadPriority::AboveNormal);
    EXPECT_THAT(clock.PauseLengths(), ElementsAre(100u));

    // SendThread runs before ReadThread has begun; the dialogue's port then opens.
    ScriptedDevice device(clock);
    device.whenWritten = [](ScriptedDevice& d, uint8_t) {
        if (d.writes.size() == 3) UpdateState = UpdatePhase::Finished;
    };
    HandshakePort.Store(std::make_unique<ScriptedLine>(device));
    started[1].routine();

    EXPECT_THAT(device.writes, ElementsAre(std::make_pair(1100u, uint8_t('1')),
                                           std::make_pair(2100u, uint8_t('1')),
                                           std::make_pair(3100u, uint8_t('1'))));
    EXPECT_THAT(window.Log(), ElementsAre(kWriterEnd));

    HandshakePort.Close();
    started[0].routine();  // ReadThread with no selection, so that the update ends
    EXPECT_THAT(window.Log(), ElementsAre(kWriterEnd, kEntryFailure));
    WaitForUpdateThreads();
}

// An update clicked while the previous update's SendThread still sleeps in its pause (the
// transfer failed at once, the user clicked again) sets Running again; the old SendThread
// must still end rather than poke the device on top of the new one.
TEST(OnUpdateClicked, EarlierSendThreadEndsWhenTheNextUpdateBegins) {
    SeamsScope scope;
    struct HookClock : RecordingClock {
        using RecordingClock::RecordingClock;
        void Sleep(uint32_t ms) override {
            RecordingClock::Sleep(ms);
            if (ms == 1000 && onPause) std::exchange(onPause, nullptr)();
        }
        std::function<void()> onPause;
    } clock(0);
    std::vector<StartedThread> started;
    UpdatePlatform().clock = &clock;
    CaptureStartedThreads(started);
    FakeWindow window(&clock);
    OnUpdateClicked(window);
    ASSERT_EQ(started.size(), 2u);

    ScriptedDevice device(clock);
    device.whenWritten = [](ScriptedDevice& d, uint8_t) {
        if (d.writes.size() >= 3) UpdateState = UpdatePhase::Finished;  // bounds a faulty run
    };
    HandshakePort.Store(std::make_unique<ScriptedLine>(device));
    // During the first pause the first update ends and the next one is clicked.
    clock.onPause = [&] {
        UpdateState = UpdatePhase::Finished;
        OnUpdateClicked(window);
    };
    started[1].routine();  // the first update's SendThread

    EXPECT_EQ(started.size(), 4u);
    EXPECT_EQ(device.writes.size(), 1u) << "the earlier SendThread went on poking";
    EXPECT_THAT(window.Log(), ElementsAre(kWriterEnd));

    // The rest of both updates, so that no worker stays counted.
    HandshakePort.Close();
    started[0].routine();
    started[2].routine();
    started[3].routine();
    WaitForUpdateThreads();
}

TEST(OnUpdateClicked, ThreadsThatCannotStartAreReported) {
    struct Case {
        bool readerStarts, writerStarts;
        size_t attempts;
        std::vector<std::wstring> log;
        std::vector<uint32_t> pauses;
    } cases[] = {
        {false, true, 1, {kReaderStartFailure}, {}},
        {true, false, 2, {kWriterStartFailure}, {}},
        {true, true, 2, {}, {100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.readerStarts << c.writerStarts);
        SeamsScope scope;
        RecordingClock clock(0);
        std::vector<StartedThread> started;
        size_t attempts = 0;
        UpdatePlatform().clock = &clock;
        UpdatePlatform().startThread = [&](std::function<void()> routine, ThreadPriority p) {
            bool starts = attempts++ == 0 ? c.readerStarts : c.writerStarts;
            if (starts) started.push_back({std::move(routine), p});
            return starts;
        };
        FakeWindow window(&clock);

        OnUpdateClicked(window);

        EXPECT_EQ(attempts, c.attempts);
        EXPECT_EQ(window.Log(), c.log);
        EXPECT_EQ(clock.PauseLengths(), c.pauses);
        // Let what did start run to its end, so that no worker is left counted.
        UpdateState = UpdatePhase::Finished;
        for (auto& thread : started) thread.routine();
        WaitForUpdateThreads();
    }
}

TEST(OnDestroy, WithNoUpdateSetsFinishedAndPauses) {
    SeamsScope scope;
    RecordingClock clock(0);
    UpdatePlatform().clock = &clock;

    OnDestroy();

    EXPECT_EQ(UpdateState.load(), UpdatePhase::Finished);
    EXPECT_FALSE(HandshakePort.IsValid());
    EXPECT_THAT(clock.PauseLengths(), ElementsAre(100u));
}

// --- Real threads --------------------------------------------------------------------

// A device on a real clock. It watches every call for overlap with a close and for use after
// it.
class RealTimeDevice {
  public:
    int ReadByte(uint8_t& byte) {
        Enter();
        std::unique_lock lock(mutex_);
        ++reads_;
        arrived_.wait_for(lock, 100ms, [this] { return !incoming_.empty(); });
        int got = 0;
        if (!incoming_.empty()) {
            byte = incoming_.front();
            incoming_.pop_front();
            got = 1;
        }
        lock.unlock();
        Leave();
        return got;
    }
    void WriteByte(uint8_t byte) {
        Enter();
        std::function<void(RealTimeDevice&, int)> hook;
        int count;
        {
            std::lock_guard lock(mutex_);
            count = static_cast<int>(++writes_);
            hook = whenWritten_;
        }
        (void)byte;
        if (hook) hook(*this, count);
        Leave();
    }
    void Close() {
        std::lock_guard lock(mutex_);
        if (active_ > 0) overlap_ = true;
        ++closes_;
    }
    // Forgets what happened, for the next update.
    void Reset() {
        std::lock_guard lock(mutex_);
        incoming_.clear();
        writes_ = 0;
        reads_ = 0;
        closes_ = 0;
        overlap_ = false;
        callsAfterClose_ = 0;
    }
    void Send(const std::string& bytes) {
        std::lock_guard lock(mutex_);
        incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
        arrived_.notify_all();
    }
    void WhenWritten(std::function<void(RealTimeDevice&, int)> hook) {
        std::lock_guard lock(mutex_);
        whenWritten_ = std::move(hook);
    }
    int Reads() {
        std::lock_guard lock(mutex_);
        return reads_;
    }
    int Closes() {
        std::lock_guard lock(mutex_);
        return closes_;
    }
    bool Overlap() {
        std::lock_guard lock(mutex_);
        return overlap_;
    }
    int CallsAfterClose() {
        std::lock_guard lock(mutex_);
        return callsAfterClose_;
    }

  private:
    void Enter() {
        std::lock_guard lock(mutex_);
        if (closes_ > 0) ++callsAfterClose_;
        ++active_;
    }
    void Leave() {
        std::lock_guard lock(mutex_);
        --active_;
    }

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<uint8_t> incoming_;
    std::function<void(RealTimeDevice&, int)> whenWritten_;
    size_t writes_ = 0;
    int reads_ = 0;
    int closes_ = 0;
    int active_ = 0;
    bool overlap_ = false;
    int callsAfterClose_ = 0;
};

class RealTimeLine : public HandshakeLine {
  public:
    explicit RealTimeLine(RealTimeDevice& device) : device_(device) {}
    void ClearErrors() override {}
    int ReadByte(uint8_t& byte) override { return device_.ReadByte(byte); }
    void WriteByte(uint8_t byte) override { device_.WriteByte(byte); }
    void Close() override { device_.Close(); }

  private:
    RealTimeDevice& device_;
};

class RealThreadsTest : public ::testing::Test {
  protected:
    RealThreadsTest() {
        UpdatePlatform().clock = &SystemClock();
        UpdatePlatform().openHandshakePort = [this](const std::wstring&) {
            return std::unique_ptr<HandshakeLine>(new RealTimeLine(device));
        };
        UpdatePlatform().sendFirmwareFile = [this](ProgressWindow*, const char*, const char*) {
            transfers.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(transferMs));
            return 0;
        };
        window.entries = {L"ttyACM0 :ZQ418"};
        window.selection = 0;
        window.firmwarePath = L"dev.dfu";
    }

    SeamsScope scope;
    RealTimeDevice device;
    FakeWindow window;
    std::atomic<int> transfers{0};
    int transferMs = 0;
};

TEST_F(RealThreadsTest, WholeUpdateEndsWithBothThreadsAndTheWriterEndAfterTheAbortLine) {
    device.WhenWritten([](RealTimeDevice& d, int count) {
        if (count == 1) d.Send("menu\r\n1. New\r\n");
        if (count == 2) d.Send("abort\r\n");
    });
    transferMs = 1500;  // long enough for SendThread to end during the transfer

    OnUpdateClicked(window);
    WaitForUpdateThreads();

    std::vector<std::wstring> log = window.Log();
    auto writerEnd = std::find(log.begin(), log.end(), kWriterEnd);
    ASSERT_NE(writerEnd, log.end());
    auto abortLine = std::find(log.begin(), log.end(), L"abort\r\n");
    EXPECT_LT(abortLine, writerEnd);
    log.erase(writerEnd);
    EXPECT_THAT(log, ElementsAre(kDialogueStart, L"menu\r\n", L"1. New\r\n", L"abort\r\n",
                                 kTransferStart, L"\r\nUpdate dev.dfu success.\r\n"));
    EXPECT_EQ(transfers.load(), 1);
    EXPECT_EQ(device.Closes(), 1);
    EXPECT_EQ(device.CallsAfterClose(), 0);
    EXPECT_FALSE(device.Overlap());
    EXPECT_EQ(PortScanEnabled.load(), 1);
}

// The window goes away while the dialogue runs, at several moments: the port is closed at
// once, never used again, and no transfer begins.
TEST_F(RealThreadsTest, DestroyDuringTheDialogueClosesThePortAndEndsWithoutTransfer) {
    // The device pokes back at every '1' with a line, so that reads, writes and the close
    // meet on all three threads.
    device.WhenWritten([](RealTimeDevice& d, int) { d.Send("Press 1\r\n"); });
    for (int delayMs : {0, 20, 150, 1100}) {
        SCOPED_TRACE(delayMs);
        window.log.clear();
        device.Reset();
        auto began = std::chrono::steady_clock::now();

        OnUpdateClicked(window);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        OnDestroy();
        WaitForUpdateThreads();

        std::vector<std::wstring> log = window.Log();
        EXPECT_EQ(log.front(), kDialogueStart);
        EXPECT_NE(std::find(log.begin(), log.end(), kDialogueFailure), log.end());
        EXPECT_EQ(std::count(log.begin(), log.end(), kWriterEnd), 1);
        EXPECT_EQ(transfers.load(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
        EXPECT_EQ(device.Closes(), 1);
        EXPECT_EQ(device.CallsAfterClose(), 0);
        EXPECT_FALSE(device.Overlap());
    }
}

// Close marks the port invalid at once but closes the handle only when the read that is
// inside it has returned; later calls never reach the line.
TEST(HandshakePortGuard, CloseWaitsForACallInsideTheLine) {
    class BlockingLine : public HandshakeLine {
      public:
        void ClearErrors() override {}
        int ReadByte(uint8_t&) override {
            std::unique_lock lock(mutex);
            ++reads;
            changed.notify_all();
            changed.wait(lock, [this] { return released; });
            return 0;
        }
        void WriteByte(uint8_t) override {
            std::lock_guard lock(mutex);
            ++writes;
        }
        void Close() override {
            std::lock_guard lock(mutex);
            closed = true;
        }
        std::mutex mutex;
        std::condition_variable changed;
        bool released = false;
        bool closed = false;
        int reads = 0;
        int writes = 0;
    };
    SeamsScope scope;
    auto owned = std::make_unique<BlockingLine>();
    BlockingLine& line = *owned;
    // The guard destroys the line after closing it: keep it alive for the checks.
    struct Keeper : HandshakeLine {
        explicit Keeper(BlockingLine& l) : l(l) {}
        void ClearErrors() override {}
        int ReadByte(uint8_t& b) override { return l.ReadByte(b); }
        void WriteByte(uint8_t b) override { l.WriteByte(b); }
        void Close() override { l.Close(); }
        BlockingLine& l;
    };
    HandshakePort.Store(std::make_unique<Keeper>(line));

    std::thread reader([] {
        uint8_t byte;
        HandshakePort.ReadByte(byte);
    });
    {
        std::unique_lock lock(line.mutex);
        line.changed.wait(lock, [&] { return line.reads == 1; });
    }
    std::atomic<bool> closeReturned{false};
    std::thread closer([&] {
        HandshakePort.Close();
        closeReturned = true;
    });
    while (HandshakePort.IsValid()) std::this_thread::yield();
    uint8_t byte;
    EXPECT_EQ(HandshakePort.ReadByte(byte), -1);
    HandshakePort.WriteByte('1');
    std::this_thread::sleep_for(50ms);
    {
        std::lock_guard lock(line.mutex);
        EXPECT_FALSE(line.closed);
        EXPECT_FALSE(closeReturned.load());
        line.released = true;
        line.changed.notify_all();
    }
    reader.join();
    closer.join();
    std::lock_guard lock(line.mutex);
    EXPECT_TRUE(line.closed);
    EXPECT_EQ(line.reads, 1);
    EXPECT_EQ(line.writes, 0);
}

// A write that the device never takes (a stalled USB endpoint) must not hold the port open
// for ever: Close cancels it, and closes the handle only once the write has returned.
TEST(HandshakePortGuard, CloseCancelsAWriteTheDeviceNeverTakes) {
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool writing = false;
        bool cancelled = false;
        bool closed = false;
        bool closedDuringWrite = false;
    };
    class StuckLine : public HandshakeLine {
      public:
        explicit StuckLine(std::shared_ptr<State> state) : s_(std::move(state)) {}
        void ClearErrors() override {}
        int ReadByte(uint8_t&) override { return 0; }
        void WriteByte(uint8_t) override {
            std::unique_lock lock(s_->mutex);
            s_->writing = true;
            s_->changed.notify_all();
            s_->changed.wait(lock, [this] { return s_->cancelled; });
            s_->writing = false;
        }
        void CancelPending() override {
            std::lock_guard lock(s_->mutex);
            if (s_->writing) s_->cancelled = true;
            s_->changed.notify_all();
        }
        void Close() override {
            std::lock_guard lock(s_->mutex);
            s_->closed = true;
            s_->closedDuringWrite = s_->writing;
        }

      private:
        std::shared_ptr<State> s_;
    };
    SeamsScope scope;
    auto state = std::make_shared<State>();
    HandshakePort.Store(std::make_unique<StuckLine>(state));

    std::thread writer([] { HandshakePort.WriteByte('1'); });
    {
        std::unique_lock lock(state->mutex);
        state->changed.wait(lock, [&] { return state->writing; });
    }
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool closeReturned = false;
    std::thread closer([&] {
        HandshakePort.Close();
        std::lock_guard lock(doneMutex);
        closeReturned = true;
        doneChanged.notify_all();
    });
    bool returned;
    {
        std::unique_lock lock(doneMutex);
        returned = doneChanged.wait_for(lock, 2s, [&] { return closeReturned; });
    }
    EXPECT_TRUE(returned) << "Close waited for a write that never ends";
    if (!returned) {
        std::lock_guard lock(state->mutex);
        state->cancelled = true;  // let the threads end
        state->changed.notify_all();
    }
    writer.join();
    closer.join();
    std::lock_guard lock(state->mutex);
    EXPECT_TRUE(state->closed);
    EXPECT_FALSE(state->closedDuringWrite);
}

}  // namespace
