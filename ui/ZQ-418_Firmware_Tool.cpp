// The window's header first: it must see the portable interfaces before <windows.h>.
// clang-format off
#include "ZQ-418_Firmware_ToolDlg.h"
#include "ZQ-418_Firmware_Tool.h"
// clang-format on

#include <commctrl.h>

CZQ418_Firmware_ToolApp AppInstance;

BOOL CZQ418_Firmware_ToolApp::InitInstance() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);

    Application::InitInstance();

    // The update's worker threads hold the window object and may still be running when the
    // window has closed (nothing waits for them); the object therefore stays until the
    // process ends, which stops those threads first.
    auto* dialog = new CZQ418_Firmware_ToolDlg(nullptr);
    mainWindow = dialog;
    dialog->DoModal();
    // No message loop: the program ends with its main window.
    return FALSE;
}
