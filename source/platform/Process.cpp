#include "platform/Process.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace platform {

std::string executableFolder() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0)
        return ".";
    std::string path(buffer, static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr || name.empty())
        return {};
    std::string folders(path);
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        std::string folder = folders.substr(start, end - start);
        if (folder.empty())
            folder = ".";
        const std::string candidate = folder + "/" + name;
        struct stat info {};
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

pid_t spawnProgram(const std::string& path, const std::vector<std::string>& arguments,
                   const SpawnOptions& options, int& error) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The child starts with default signal handling whatever ours is.
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGXFSZ})
        sigaddset(&defaults, signalNumber);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    short flags = POSIX_SPAWN_SETSIGDEF;
    if (options.ownSession)
        flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attributes, flags);

    std::fflush(stdout); // the child's lines must follow ours in the log
    pid_t pid = -1;
    error = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

namespace {

int decodeStatus(int rawStatus) {
    if (WIFEXITED(rawStatus))
        return WEXITSTATUS(rawStatus);
    if (WIFSIGNALED(rawStatus))
        return 128 + WTERMSIG(rawStatus);
    return -1;
}

} // namespace

WaitOutcome waitForProgram(pid_t pid, int timeoutMilliseconds, int& status) {
    int rawStatus = 0;
    if (timeoutMilliseconds < 0) {
        pid_t result;
        do {
            result = waitpid(pid, &rawStatus, 0);
        } while (result < 0 && errno == EINTR);
        if (result != pid)
            return WaitOutcome::Failed;
        status = decodeStatus(rawStatus);
        return WaitOutcome::Exited;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (true) {
        const pid_t result = waitpid(pid, &rawStatus, WNOHANG);
        if (result == pid) {
            status = decodeStatus(rawStatus);
            return WaitOutcome::Exited;
        }
        if (result < 0 && errno != EINTR)
            return WaitOutcome::Failed;
        if (std::chrono::steady_clock::now() >= deadline)
            return WaitOutcome::StillRunning;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace platform
