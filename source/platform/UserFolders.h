#pragma once

#include <string>

namespace platform {

// The user's data folder: $XDG_DATA_HOME when it is an absolute path, otherwise
// $HOME/.local/share, with the home folder taken from the password database when HOME is not
// set. The folder is created when missing, parents too, readable by the user alone.
// Returns 0 with `folder` set (no trailing slash), or an errno value with `folder` untouched.
int locateUserDataFolder(std::string& folder);

// Creates `path` and any missing parents with the given mode. Returns 0 or an errno value.
int createFolderWithParents(const std::string& path, unsigned mode);

} // namespace platform
