#pragma once

#include "line.h"
#include "options.h"

// The running device's side of the flash-mode dialogue. Returns true once the device has
// announced flash mode (its line with "abort") and waits for the file; false when the
// scenario never gets there (it then ends with the idle limit, by LineEnded).
bool PlayDialogue(Line& line, Scenario scenario);
