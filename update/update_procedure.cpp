#include "update_procedure.h"

#include <array>
#include <chrono>
#include <cstring>
#include <utility>

#include "transfer.h"

std::atomic<UpdatePhase> UpdateState{UpdatePhase::Idle};
std::atomic<int32_t> PortScanEnabled{1};
// Never destroyed: the application may end while a worker thread still uses it.
HandshakePortGuard& HandshakePort = *new HandshakePortGuard;

namespace {

constexpr uint8_t kPoke = '1';
constexpr uint32_t kDialogueLimitMs = 20000;
constexpr uint32_t kAnswerPauseMs = 100;
constexpr uint32_t kAbortPauseMs = 100;
constexpr uint32_t kLimitPauseMs = 1000;
constexpr uint32_t kPokeIntervalMs = 1000;
constexpr uint32_t kClickPauseMs = 100;
constexpr uint32_t kDestroyPauseMs = 100;
// SendThread's nap while no handshake port is open, instead of spinning.
constexpr uint32_t kIdleNapMs = 10;

// Counts "Update" clicks. Running is set by the click, so a SendThread of the previous update
// still in its pause would see Running again; it ends because its update is no longer the
// current one.
std::atomic<uint32_t> currentUpdate{0};
// How often a closing port cancels the calls still inside it.
constexpr uint32_t kCancelRetryMs = 100;

constexpr std::size_t kLineBufferSize = 512;
constexpr std::size_t kLastLineIndex = kLineBufferSize - 2;  // 510: room for LF's zero after it

// Worker threads still running, so that the command line and tests can wait for them. Never
// destroyed, as the application may end while workers run.
struct Workers {
    std::mutex mutex;
    std::condition_variable idle;
    int running = 0;
};

Workers& RunningWorkers() {
    static Workers* workers = new Workers;
    return *workers;
}

void WorkerStarting() {
    Workers& workers = RunningWorkers();
    std::lock_guard lock(workers.mutex);
    ++workers.running;
}

void WorkerEnded() {
    Workers& workers = RunningWorkers();
    std::lock_guard lock(workers.mutex);
    if (--workers.running == 0) workers.idle.notify_all();
}

bool StartWorker(void (*routine)(UpdateWindow&), UpdateWindow& window, ThreadPriority priority) {
    WorkerStarting();
    bool started = UpdatePlatform().startThread(
        [routine, &window] {
            routine(window);
            WorkerEnded();
        },
        priority);
    if (!started) WorkerEnded();
    return started;
}

void LockControls(UpdateWindow& window, bool enable) {
    window.EnableControl(kUpdateButtonId, enable);
    window.EnableControl(kPortListId, enable);
    window.EnableControl(kFirmwarePathFieldId, enable);
    window.EnableControl(kSelectFirmwareButtonId, enable);
    window.ShowProgressBar(!enable);
}

// One run of the flash-mode dialogue on HandshakePort.
class Dialogue {
  public:
    Dialogue(UpdateWindow& window, Clock& clock, uint32_t startTime)
        : window_(window), clock_(clock), startTime_(startTime) {}

    // Runs bursts until the port is invalid; true when flash mode was reached.
    bool Run() {
        while (HandshakePort.IsValid()) RunBurst();
        return flashMode_;
    }

  private:
    void RunBurst() {
        std::array<char, kLineBufferSize> line{};
        std::size_t index = 0;
        HandshakePort.ClearErrors();
        uint8_t byte = 0;
        int got = HandshakePort.ReadByte(byte);
        if (got >= 0) {
            while (got == 1 && index <= kLastLineIndex) {
                if (byte == '\n') {
                    line[index] = '\n';
                    line[index + 1] = '\0';
                    HandleLine(line.data());
                    index = 0;
                } else {
                    line[index++] = static_cast<char>(byte);
                }
                CheckLimit();
                got = HandshakePort.ReadByte(byte);
                if (got < 0) break;
            }
            // A byte that came while the buffer was full (index 511) is dropped here, with the
            // 511 bytes before it.
        }
        CheckLimit();
    }

    void HandleLine(const char* text) {
        window_.AppendLog(AnsiToWide(text));
        if (std::strstr(text, "New") != nullptr) {
            HandshakePort.WriteByte(kPoke);
            clock_.Sleep(kAnswerPauseMs);
        } else if (std::strstr(text, "abort") != nullptr) {
            UpdateState = UpdatePhase::Finished;
            flashMode_ = true;
            HandshakePort.Close();
            clock_.Sleep(kAbortPauseMs);
        }
    }

    void CheckLimit() {
        uint32_t elapsed = clock_.TickCount() - startTime_;
        if (elapsed > kDialogueLimitMs) {
            HandshakePort.Close();
            flashMode_ = false;
            clock_.Sleep(kLimitPauseMs);
        }
    }

    UpdateWindow& window_;
    Clock& clock_;
    uint32_t startTime_;
    bool flashMode_ = false;
};

void RunTransfer(UpdateWindow& window, const char* ansiPortName) {
    using namespace UpdateMessages;
    std::wstring firmwarePath = window.GetFirmwarePath();
    std::array<char, kAnsiBufferSize> ansiPath{};
    // A path that does not fit the buffer cannot name the file: the transfer fails without
    // being tried, as it would for a file that cannot be opened.
    bool pathFits = WideToAnsi(firmwarePath, ansiPath.data(), ansiPath.size());
    window.AppendLog(kTransferStart);
    int result = pathFits ? UpdatePlatform().sendFirmwareFile(window.GetProgressWindow(),
                                                              ansiPath.data(), ansiPortName)
                          : 1;
    if (result != 0) {
        window.AppendLog(kEntryFailure);
    } else {
        window.AppendLog(Success(FileNameOfPath(firmwarePath)));
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------

HandshakeLine* HandshakePortGuard::Acquire() {
    std::lock_guard lock(mutex_);
    if (!line_) return nullptr;
    ++users_;
    return line_.get();
}

void HandshakePortGuard::Release() {
    std::lock_guard lock(mutex_);
    if (--users_ == 0) idle_.notify_all();
}

void HandshakePortGuard::Store(std::unique_ptr<HandshakeLine> line) {
    Close();
    std::lock_guard lock(mutex_);
    line_ = std::move(line);
}

bool HandshakePortGuard::IsValid() {
    std::lock_guard lock(mutex_);
    return line_ != nullptr;
}

void HandshakePortGuard::ClearErrors() {
    if (HandshakeLine* line = Acquire()) {
        line->ClearErrors();
        Release();
    }
}

int HandshakePortGuard::ReadByte(uint8_t& byte) {
    HandshakeLine* line = Acquire();
    if (line == nullptr) return -1;
    int got = line->ReadByte(byte);
    Release();
    return got;
}

void HandshakePortGuard::WriteByte(uint8_t byte) {
    if (HandshakeLine* line = Acquire()) {
        line->WriteByte(byte);
        Release();
    }
}

void HandshakePortGuard::Close() {
    std::shared_ptr<HandshakeLine> closing;
    {
        std::unique_lock lock(mutex_);
        if (!line_) return;
        // Invalid from here on: no new call gets the line. Calls already inside it finish
        // before the handle goes. A read waits at most 100 ms, but a write to a device that
        // takes nothing may never end by itself: it is cancelled, again until it has returned,
        // as it may not have reached the line yet.
        closing = std::move(line_);
        line_.reset();
        while (!idle_.wait_for(lock, std::chrono::milliseconds(kCancelRetryMs),
                               [this] { return users_ == 0; }))
            closing->CancelPending();
    }
    closing->Close();
}

// ---------------------------------------------------------------------------------------

UpdateSeams DefaultUpdateSeams() {
    UpdateSeams seams;
    seams.clock = &SystemClock();
    seams.openHandshakePort = [](const std::wstring& name) { return OpenHandshakePort(name); };
    seams.startThread = StartPlatformThread;
    seams.sendFirmwareFile = SendFirmwareFile;
    return seams;
}

UpdateSeams& UpdatePlatform() {
    // Never destroyed: worker threads may still call through it while the application ends.
    static UpdateSeams* seams = new UpdateSeams(DefaultUpdateSeams());
    return *seams;
}

std::wstring FileNameAfterLast(const std::wstring& path, wchar_t separator) {
    std::size_t cut = path.rfind(separator);
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

std::wstring PortNameFromEntry(const std::wstring& entry) {
    std::size_t end = entry.find_last_not_of(L":ZQ-418");
    return end == std::wstring::npos ? std::wstring() : entry.substr(0, end + 1);
}

std::wstring UpdateMessages::Success(const std::wstring& fileName) {
    return L"\r\nUpdate " + fileName + L" success.\r\n";
}

// ---------------------------------------------------------------------------------------

void OnUpdateClicked(UpdateWindow& window) {
    // The state is Running before either thread runs, so a Finished left over from the last
    // update cannot end the new SendThread before ReadThread has begun.
    ++currentUpdate;
    UpdateState = UpdatePhase::Running;
    if (!StartWorker(ReadThread, window, ThreadPriority::Highest)) {
        window.AppendLog(UpdateMessages::kReaderStartFailure);
        return;
    }
    if (!StartWorker(SendThread, window, ThreadPriority::AboveNormal)) {
        window.AppendLog(UpdateMessages::kWriterStartFailure);
        return;
    }
    UpdatePlatform().clock->Sleep(kClickPauseMs);
}

void ReadThread(UpdateWindow& window) {
    using namespace UpdateMessages;
    Clock& clock = *UpdatePlatform().clock;
    UpdateState = UpdatePhase::Running;
    uint32_t startTime = clock.TickCount();
    PortScanEnabled = 0;
    LockControls(window, false);

    int selection = window.GetPortSelection();
    if (selection < 0) {
        window.AppendLog(kEntryFailure);
    } else {
        std::wstring portName = PortNameFromEntry(window.GetPortEntryText(selection));
        window.AppendLog(kDialogueStart);
        std::array<char, kAnsiBufferSize> ansiPortName{};
        std::unique_ptr<HandshakeLine> line;
        // A name that does not fit the buffer could not be handed on: it counts as a port
        // that cannot be opened.
        if (WideToAnsi(portName, ansiPortName.data(), ansiPortName.size()))
            line = UpdatePlatform().openHandshakePort(portName);
        if (!line) {
            window.AppendLog(kOpenFailure);
        } else {
            HandshakePort.Store(std::move(line));
            // A window destroyed while the port was being opened found nothing to close:
            // close it here, so that no dialogue runs after the window has gone.
            if (UpdateState == UpdatePhase::Finished) HandshakePort.Close();
            HandshakePort.WriteByte(kPoke);
            if (Dialogue(window, clock, startTime).Run()) {
                RunTransfer(window, ansiPortName.data());
            } else {
                window.AppendLog(kDialogueFailure);
            }
        }
    }

    UpdateState = UpdatePhase::Finished;
    LockControls(window, true);
    PortScanEnabled = 1;
}

void SendThread(UpdateWindow& window) {
    Clock& clock = *UpdatePlatform().clock;
    const uint32_t update = currentUpdate;
    while (UpdateState != UpdatePhase::Finished && update == currentUpdate) {
        if (HandshakePort.IsValid()) {
            clock.Sleep(kPokeIntervalMs);
            HandshakePort.WriteByte(kPoke);
        } else {
            clock.Sleep(kIdleNapMs);
        }
    }
    window.AppendLog(UpdateMessages::kWriterEnd);
}

void OnDestroy() {
    UpdateState = UpdatePhase::Finished;
    HandshakePort.Close();
    UpdatePlatform().clock->Sleep(kDestroyPauseMs);
}

void WaitForUpdateThreads() {
    Workers& workers = RunningWorkers();
    std::unique_lock lock(workers.mutex);
    workers.idle.wait(lock, [&workers] { return workers.running == 0; });
}
