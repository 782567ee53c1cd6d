#pragma once

#include "progress.h"

// Sends one file as a YMODEM batch over the named port, which must be free (the caller has
// closed its own handle). progressWindow may be null: then no notifications are sent.
// path and portName: NUL-terminated 8-bit text. Returns 0 when the whole batch went
// through, 1 on any failure. Blocks the calling thread for the whole transfer.
int SendFirmwareFile(ProgressWindow* progressWindow, const char* path, const char* portName);
