// Whole-file reads and writes for save_json / load_json.
#pragma once

#include <string>
#include <string_view>

#include "frame/error.hpp"

namespace morvik3 {

// Creates or truncates `path` and writes all of `data`.
[[nodiscard]] Result<void> write_file(const std::string& path, std::string_view data);
// The whole of a regular file; devices, pipes and directories are refused.
[[nodiscard]] Result<std::string> read_file(const std::string& path);

}  // namespace morvik3
