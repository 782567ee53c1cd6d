#pragma once

#include <cstdint>

// Window message number of the transfer's progress notification.
constexpr unsigned WM_TRANSFER_PROGRESS = 1026;

// Receiver of progress notifications, sent synchronously: the transfer waits until it has
// been handled. On Windows the dialog adapts this to SendMessage(hwnd, WM_TRANSFER_PROGRESS).
// chunks: file chunks of up to 1024 bytes handed to the line so far, the end-of-file step
// counting as one more; sizeKiB: the file size shifted right by 10.
class ProgressWindow {
  public:
    virtual ~ProgressWindow() = default;
    virtual void SendTransferProgress(uint32_t chunks, uint32_t sizeKiB) = 0;
};
