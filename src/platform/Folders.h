#pragma once
// The per-user folders the application keeps its files in.

#include "Error.h"

#include <optional>
#include <string>

namespace orvanta::folders {

// $HOME, or the password database's home folder.
std::string homeDirectory();

// $XDG_CONFIG_HOME/Orvanta (default ~/.config/Orvanta), created if missing.
std::optional<std::string> configDirectory(Error *error = nullptr);

// $XDG_DATA_HOME/Orvanta (default ~/.local/share/Orvanta), created if missing.
std::optional<std::string> applicationSupportDirectory(Error *error = nullptr);

// A folder under $TMPDIR (or /tmp) that belongs to this user alone, mode
// 0700. An existing folder of that name that is not ours (another owner, a
// symbolic link, open to others) is never used; a fresh uniquely named one is
// made instead.
std::optional<std::string> temporaryDirectory(Error *error = nullptr);

// The XDG Pictures folder (user-dirs.dirs), default ~/Pictures.
std::string picturesDirectory();

// Deletes every entry inside folder (not the folder itself). A deletion that
// fails is logged as "cleanDirectory oops: %s" and the walk goes on.
void cleanDirectory(const std::string &folder);

} // namespace orvanta::folders
