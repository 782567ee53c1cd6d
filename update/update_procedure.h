#pragma once

// One firmware update, from the click on "Update" to its final log message: the flash-mode
// dialogue on two worker threads, the transfer and the outcome. Portable: the window, the
// handshake line, threads, the clock and the transfer are reached through the seams below.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "clock.h"
#include "progress.h"

// ---------------------------------------------------------------------------------------
// Shared state

enum class UpdatePhase : int32_t { Idle = 0, Running = 1, Finished = 2 };

// Idle until the first update; Running while ReadThread's dialogue runs; Finished once the
// dialogue has ended (or the update is over, or the window is going away). SendThread ends
// when it sees Finished.
extern std::atomic<UpdatePhase> UpdateState;

// Nonzero while no update runs; the device-change rule scans only then.
extern std::atomic<int32_t> PortScanEnabled;

// ---------------------------------------------------------------------------------------
// Handshake line: what the flash-mode dialogue needs of a serial port.

class HandshakeLine {
  public:
    virtual ~HandshakeLine() = default;
    // Clears the line errors, so that reads work again after one.
    virtual void ClearErrors() = 0;
    // Reads one byte, waiting up to 100 ms for it: 1 with a byte, 0 when none came, -1 on
    // failure.
    virtual int ReadByte(uint8_t& byte) = 0;
    // Writes one byte; nobody looks at the result.
    virtual void WriteByte(uint8_t byte) = 0;
    // Makes a read or write that another thread has inside the line return soon, the line
    // staying open. May be called while such a call runs; nothing happens when none does.
    virtual void CancelPending() {}
    // Closes the line; later calls fail. Called once at most, and never during another call.
    virtual void Close() = 0;
};

// Why OpenHandshakePort failed, for callers that want to tell the user more.
enum class HandshakeOpenError { None, NotFound, AccessDenied, Busy, NameTooLong, Other };

// Opens the named port for the dialogue (a list name such as "COM3 " or "ttyACM0 ", or on
// POSIX a path such as "/dev/pts/3"): 115200 baud 8N1, no flow control, DTR and RTS off,
// reads waiting up to 100 ms for their first byte; line errors cleared, pending output then
// pending input discarded. nullptr when the port cannot be opened (absent, held by another
// program, name too long for the device path); *why then says which, if given.
std::unique_ptr<HandshakeLine> OpenHandshakePort(const std::wstring& name,
                                                 HandshakeOpenError* why = nullptr);

// The handshake port shared by ReadThread, SendThread and OnDestroy. Every operation takes
// the port anew; Close waits until no other thread is inside a read or write on it and only
// then closes the handle, so a closed handle (or a reused handle number) never sees our
// calls. Operations on the invalid port fail at once and change nothing.
class HandshakePortGuard {
  public:
    // Stores a freshly opened line; the previous one, if any, is closed first.
    void Store(std::unique_ptr<HandshakeLine> line);
    bool IsValid();
    void ClearErrors();
    int ReadByte(uint8_t& byte);  // -1 when invalid
    void WriteByte(uint8_t byte);
    // Marks the port invalid at once, then closes it when no call is inside it. Nothing
    // happens when it is invalid already.
    void Close();

  private:
    HandshakeLine* Acquire();
    void Release();

    std::mutex mutex_;
    std::condition_variable idle_;
    std::shared_ptr<HandshakeLine> line_;
    int users_ = 0;
};

extern HandshakePortGuard& HandshakePort;

// ---------------------------------------------------------------------------------------
// The window, as the update sees it. Every call is carried out on the user-interface
// thread; a worker thread that makes one waits until it is done.

// Control ids of the main window.
constexpr int kPortListId = 1001;
constexpr int kSelectFirmwareButtonId = 1002;
constexpr int kFirmwarePathFieldId = 1003;
constexpr int kUpdateButtonId = 1004;
constexpr int kLogViewId = 1005;
constexpr int kProgressBarId = 1006;

class UpdateWindow {
  public:
    virtual ~UpdateWindow() = default;
    // PortList: index of the current selection, or -1 for none (CB_GETCURSEL).
    virtual int GetPortSelection() = 0;
    // PortList: text of the entry at index (CB_GETLBTEXT).
    virtual std::wstring GetPortEntryText(int index) = 0;
    // Enables or disables the control with the id (1004, 1001, 1003, 1002).
    virtual void EnableControl(int controlId, bool enable) = 0;
    // Shows or hides ProgressBar (1006).
    virtual void ShowProgressBar(bool show) = 0;
    // The stored FirmwarePath (empty when none was chosen); read directly.
    virtual std::wstring GetFirmwarePath() = 0;
    // The window as the target of WM_TRANSFER_PROGRESS.
    virtual ProgressWindow* GetProgressWindow() = 0;
    // LogView: append text as it stands, "\r\n" included (the port scan's window interface
    // declares the same, so one override serves both).
    virtual void AppendLog(const std::wstring& text) = 0;
};

// ---------------------------------------------------------------------------------------
// Seams the procedure runs on. Defaults are the platform's; tests replace members before an
// update starts and restore them afterwards.

enum class ThreadPriority { Normal, AboveNormal, Highest };

// Starts routine on a new thread at normal priority and then gives it the priority; false
// when the thread cannot be started. A refused priority change is not a failure.
bool StartPlatformThread(std::function<void()> routine, ThreadPriority priority);

struct UpdateSeams {
    Clock* clock;
    std::function<std::unique_ptr<HandshakeLine>(const std::wstring& name)> openHandshakePort;
    std::function<bool(std::function<void()> routine, ThreadPriority priority)> startThread;
    // SendFirmwareFile: 0 when the file went through.
    std::function<int(ProgressWindow*, const char* path, const char* portName)> sendFirmwareFile;
};

// The seams in use (initially the platform's).
UpdateSeams& UpdatePlatform();
// The platform's seams, for restoring.
UpdateSeams DefaultUpdateSeams();

// ---------------------------------------------------------------------------------------
// Text in the ANSI code page (Windows: CP_ACP; Linux: UTF-8, where bytes that are not
// UTF-8 travel as U+DC80..U+DCFF so that they come back unchanged).

// Size of the 8-bit buffers for the port name and the firmware path, terminator included.
constexpr std::size_t kAnsiBufferSize = 260;

// Converts text into buffer (zero-terminated); false, with buffer[0] = 0, when it does not
// fit in size bytes or cannot be converted.
bool WideToAnsi(const std::wstring& text, char* buffer, std::size_t size);
// Converts zero-terminated 8-bit text.
std::wstring AnsiToWide(const char* text);

// The file name part of a path: what follows the last separator of this platform (the
// backslash on Windows, '/' elsewhere).
std::wstring FileNameOfPath(const std::wstring& path);
// The same for a given separator.
std::wstring FileNameAfterLast(const std::wstring& path, wchar_t separator);

// The port name in a port-list entry: the entry without the longest trailing run of the
// characters of ":ZQ-418". "COM18 :ZQ418" gives "COM18 " (the blank stays).
std::wstring PortNameFromEntry(const std::wstring& entry);

// ---------------------------------------------------------------------------------------
// Log texts

namespace UpdateMessages {
inline constexpr wchar_t kReaderStartFailure[] = L"\r\nCreate ReadThread Error!\r\n";
inline constexpr wchar_t kWriterStartFailure[] = L"\r\nCreate SendThread Error!\r\n";
inline constexpr wchar_t kEntryFailure[] =
    L"\r\nEntry updata Firmware mode fail!!\r\nPress Power+Reset Key entry Bootloader and "
    L"Firmware mode,\r\nComfirm COM Port is correct.\r\n";
inline constexpr wchar_t kDialogueStart[] = L"\r\nSwitch to Flash Mode.\r\n";
inline constexpr wchar_t kOpenFailure[] = L"\r\nOpen Serial Prot Error!!\r\n";
inline constexpr wchar_t kDialogueFailure[] = L"\r\nSwitch to Flash Mode Error!\r\n";
inline constexpr wchar_t kTransferStart[] = L"\r\nUpdataing Firmware ...\r\n";
inline constexpr wchar_t kWriterEnd[] = L"\r\nSendThread Exit.\r\n";
// "\r\nUpdate <file name> success.\r\n"
std::wstring Success(const std::wstring& fileName);
}  // namespace UpdateMessages

// ---------------------------------------------------------------------------------------
// Entry points

// Handler of "Update" (user-interface thread): starts ReadThread (highest priority) and
// SendThread (above normal), then pauses 100 ms. Keeps nothing of the threads.
void OnUpdateClicked(class UpdateWindow& window);

// Thread routines; window must outlive them (see WaitForUpdateThreads).
void ReadThread(class UpdateWindow& window);
void SendThread(class UpdateWindow& window);

// Handler of the main window's destruction, after the framework's own handling: ends a
// dialogue in progress (Finished, port closed), then pauses 100 ms.
void OnDestroy();

// Waits until every worker thread started by OnUpdateClicked has ended. The window never
// calls it; the command line and tests do, before their window goes away.
void WaitForUpdateThreads();
