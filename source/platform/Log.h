#pragma once

namespace platform {

// Sends standard output to the given file, appended, one line at a time, so that the log stays
// complete even when the program is killed and lines of child processes fall in order.
void redirectStandardOutput(const char* fileName);

} // namespace platform
