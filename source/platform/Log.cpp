#include "platform/Log.h"

#include <cstdio>

namespace platform {

void redirectStandardOutput(const char* fileName) {
    if (std::freopen(fileName, "a", stdout) != nullptr)
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

} // namespace platform
