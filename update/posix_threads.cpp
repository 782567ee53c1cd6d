#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <system_error>
#include <thread>

#include "update_procedure.h"

namespace {

// Niceness of a thread, standing in for the relative priorities of the dialogue's threads.
int NiceOf(ThreadPriority priority) {
    switch (priority) {
        case ThreadPriority::Highest:
            return -2;
        case ThreadPriority::AboveNormal:
            return -1;
        case ThreadPriority::Normal:
            break;
    }
    return 0;
}

}  // namespace

bool StartPlatformThread(std::function<void()> routine, ThreadPriority priority) {
    try {
        std::thread thread([routine = std::move(routine), priority] {
            // Raising a thread's priority needs privileges most users lack; a refusal only
            // means the thread runs at normal priority.
            int nice = NiceOf(priority);
            if (nice != 0) {
                auto tid = static_cast<id_t>(::syscall(SYS_gettid));
                (void)::setpriority(PRIO_PROCESS, tid, nice);
            }
            routine();
        });
        thread.detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}
