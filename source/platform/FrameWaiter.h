#pragma once

#include <set>
#include <vector>

namespace platform {

// The open socket descriptors of this process, to learn which connection a library opened.
std::set<int> openSocketDescriptors();

// Blocks the frame loop until one of the watched descriptors has input or the timeout passes,
// so that an idle program costs next to nothing while input still arrives at once.
class FrameWaiter {
public:
    void watch(int descriptor);
    // Returns true when a descriptor became readable, false on timeout.
    bool wait(int timeoutMilliseconds);

private:
    std::vector<int> descriptors;
};

} // namespace platform
