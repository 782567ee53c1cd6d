// The program's entry: hands control to the one application object.
#include <windows.h>

#include <cstdio>

#include "dialog.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    Application* app = Application::Current();
    if (app == nullptr) return 1;
    app->SetInstance(instance);
    int status = app->InitInstance() ? app->Run() : 0;
    // An update's worker threads may still be running; nothing waits for them. Ending the
    // process here stops them before the program-wide objects they use are destroyed, which
    // returning from wWinMain (static destructors first) would not.
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(status));
}
