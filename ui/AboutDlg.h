#pragma once

#include "dialog.h"

// The About box: template 100 only, no members and no handlers of its own.
class CAboutDlg : public Dialog {
  public:
    explicit CAboutDlg(HWND parent);
};
