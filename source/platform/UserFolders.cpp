#include "platform/UserFolders.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

bool isAbsolute(const char* path) {
    return path != nullptr && path[0] == '/';
}

std::string homeFromPasswordDatabase() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || !isAbsolute(found->pw_dir))
        return {};
    return found->pw_dir;
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

} // namespace

int createFolderWithParents(const std::string& path, unsigned mode) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    const std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        const int parentError = createFolderWithParents(path.substr(0, slash), mode);
        if (parentError != 0)
            return parentError;
    }
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

int locateUserDataFolder(std::string& folder) {
    std::string base;
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (isAbsolute(dataHome)) {
        base = dataHome;
    } else {
        const char* home = std::getenv("HOME");
        std::string homeFolder = isAbsolute(home) ? std::string(home) : homeFromPasswordDatabase();
        if (homeFolder.empty())
            return ENOENT;
        base = withoutTrailingSlashes(homeFolder) + "/.local/share";
    }
    base = withoutTrailingSlashes(base);
    const int error = createFolderWithParents(base, 0700);
    if (error != 0)
        return error;
    folder = base;
    return 0;
}

} // namespace platform
