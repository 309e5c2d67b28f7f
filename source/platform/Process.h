#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

// The folder that holds this program's executable, without a trailing slash.
std::string executableFolder();

// The first executable file of that name in the folders of PATH; empty when there is none.
std::string findOnPath(const std::string& name);

struct SpawnOptions {
    // A session of its own, so that a program it starts outlives us.
    bool ownSession = false;
};

// Starts the program at `path` with `arguments` (arguments[0] is the program's name) and no
// shell in between. Standard input comes from /dev/null; standard output and error are ours;
// no other descriptor is passed on. Returns the child's PID, or -1 with `error` set.
pid_t spawnProgram(const std::string& path, const std::vector<std::string>& arguments,
                   const SpawnOptions& options, int& error);

enum class WaitOutcome { Exited, StillRunning, Failed };

// Waits for the child to end, at most timeoutMilliseconds (negative: no limit). On Exited,
// `status` is the exit code, or 128 + the signal number when a signal ended it.
WaitOutcome waitForProgram(pid_t pid, int timeoutMilliseconds, int& status);

} // namespace platform
