// The program's entry: hands control to the one application object.
#include <windows.h>

#include "dialog.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    Application* app = Application::Current();
    if (app == nullptr) return 1;
    app->SetInstance(instance);
    if (!app->InitInstance()) return 0;
    return app->Run();
}
