// Ingesting one observation: the only operation that changes a forest's model.
#pragma once

#include <span>

#include "frame/error.hpp"
#include "morvik/forest/mod.hpp"

namespace morvik3::morvik {

// Learns `point` (one observation under internal shingling, else a whole
// point).  Every check runs before the first change: a failed update leaves
// the forest exactly as it was, its generator included.
[[nodiscard]] Result<void> update(Forest& forest, std::span<const float> point);

}  // namespace morvik3::morvik
