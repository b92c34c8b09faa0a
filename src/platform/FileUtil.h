#pragma once
// Whole-file reads and atomic file replacement.

#include "Error.h"

#include <optional>
#include <string>
#include <string_view>

namespace orvanta {

// The file's bytes, or nullopt (with the POSIX error) when it cannot be read.
std::optional<std::string> readWholeFile(const std::string &path, Error *error = nullptr);

// Replaces path with bytes so that readers see either the old file or the
// whole new one: the bytes go to a temporary file in the same folder, are
// flushed to disk, and the temporary file is renamed over path. On failure the
// temporary file is removed and an existing file at path is left untouched.
bool writeFileAtomically(const std::string &path, std::string_view bytes, Error *error = nullptr);

// Creates the folder and any missing parents (mode 0755 unless given).
bool createDirectories(const std::string &path, Error *error = nullptr, unsigned mode = 0755);

// The last path component's parent ("." for a bare name).
std::string parentPath(const std::string &path);

} // namespace orvanta
