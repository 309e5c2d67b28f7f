#include "sound/WakeSignal.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>

namespace sound {

WakeSignal::WakeSignal() : fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd < 0) {
        std::printf("Sound wake descriptor could not be made: %s\n", std::strerror(errno));
    }
}

WakeSignal::~WakeSignal() {
    if (fd >= 0) {
        close(fd);
    }
}

void WakeSignal::signal() const {
    if (fd < 0) {
        return;
    }
    const std::uint64_t one = 1;
    // A full counter (EAGAIN) still leaves the descriptor readable, which is all that matters.
    ssize_t ignored = write(fd, &one, sizeof one);
    (void)ignored;
}

void WakeSignal::clear() const {
    if (fd < 0) {
        return;
    }
    std::uint64_t count = 0;
    ssize_t ignored = read(fd, &count, sizeof count);
    (void)ignored;
}

} // namespace sound
