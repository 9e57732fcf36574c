// Whole-file reads and writes for save_json / load_json.
#pragma once

#include <string>
#include <string_view>

#include "frame/error.hpp"

namespace morvik3 {

// Replaces the file `path` with `data` whole or not at all: written to a new
// file beside it, flushed to disk and renamed over it, the folder flushed
// too.  On failure the file is as it was and nothing is left beside it.  A
// symbolic link is written through (it stays a link to the new file), an
// existing file keeps its permissions, and anything but a regular file is
// refused rather than replaced.
[[nodiscard]] Result<void> write_file(const std::string& path, std::string_view data);
// The whole of a regular file; devices, pipes and directories are refused.
[[nodiscard]] Result<std::string> read_file(const std::string& path);

}  // namespace morvik3
