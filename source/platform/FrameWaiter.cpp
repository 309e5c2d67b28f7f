#include "platform/FrameWaiter.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <poll.h>
#include <sys/stat.h>

namespace platform {

std::set<int> openSocketDescriptors() {
    std::set<int> sockets;
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr)
        return sockets;
    const int own = dirfd(directory);
    while (const dirent* entry = readdir(directory)) {
        char* end = nullptr;
        const long descriptor = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || descriptor == own)
            continue;
        struct stat info {};
        if (fstat(static_cast<int>(descriptor), &info) == 0 && S_ISSOCK(info.st_mode))
            sockets.insert(static_cast<int>(descriptor));
    }
    closedir(directory);
    return sockets;
}

void FrameWaiter::watch(int descriptor) {
    if (descriptor >= 0)
        descriptors.push_back(descriptor);
}

bool FrameWaiter::wait(int timeoutMilliseconds) {
    std::vector<pollfd> entries;
    entries.reserve(descriptors.size());
    for (int descriptor : descriptors)
        entries.push_back(pollfd{descriptor, POLLIN, 0});
    const int ready = poll(entries.data(), entries.size(), timeoutMilliseconds);
    return ready > 0 || (ready < 0 && errno == EINTR);
}

} // namespace platform
