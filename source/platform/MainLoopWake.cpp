#include "platform/MainLoopWake.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

namespace {
int wakeDescriptor = -1;
}

void createMainLoopWake() {
    if (wakeDescriptor < 0)
        wakeDescriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

int mainLoopWakeDescriptor() {
    return wakeDescriptor;
}

void wakeMainLoop() {
    if (wakeDescriptor < 0)
        return;
    const std::uint64_t one = 1;
    ssize_t written = write(wakeDescriptor, &one, sizeof one);
    (void)written; // a full counter already wakes the loop
}

void clearMainLoopWake() {
    if (wakeDescriptor < 0)
        return;
    std::uint64_t count = 0;
    ssize_t got = read(wakeDescriptor, &count, sizeof count);
    (void)got; // EAGAIN: nothing was pending
}

} // namespace platform
