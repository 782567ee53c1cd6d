#include <windows.h>

#include <memory>

#include "update_procedure.h"

namespace {

DWORD WINAPI RunRoutine(LPVOID parameter) {
    std::unique_ptr<std::function<void()>> routine(static_cast<std::function<void()>*>(parameter));
    (*routine)();
    return 0;
}

int PriorityOf(ThreadPriority priority) {
    switch (priority) {
        case ThreadPriority::Highest:
            return THREAD_PRIORITY_HIGHEST;
        case ThreadPriority::AboveNormal:
            return THREAD_PRIORITY_ABOVE_NORMAL;
        case ThreadPriority::Normal:
            break;
    }
    return THREAD_PRIORITY_NORMAL;
}

}  // namespace

bool StartPlatformThread(std::function<void()> routine, ThreadPriority priority) {
    auto* parameter = new std::function<void()>(std::move(routine));
    HANDLE thread = CreateThread(nullptr, 0, RunRoutine, parameter, 0, nullptr);
    if (thread == nullptr) {
        delete parameter;
        return false;
    }
    SetThreadPriority(thread, PriorityOf(priority));
    CloseHandle(thread);
    return true;
}
