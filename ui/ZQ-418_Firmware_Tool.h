#pragma once

#include "dialog.h"

// The application: its start-up runs the main window modally and then ends the program.
class CZQ418_Firmware_ToolApp : public Application {
  public:
    BOOL InitInstance() override;
};

extern CZQ418_Firmware_ToolApp AppInstance;
