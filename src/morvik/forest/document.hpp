// The forest's JSON state document, declared on the live records.  Loading
// checks that the document agrees with itself before anything relies on it,
// and only then lays out the trees' boxes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "frame/error.hpp"
#include "frame/memory_budget.hpp"
#include "morvik/forest/mod.hpp"

namespace morvik3::morvik {

[[nodiscard]] std::string to_json(const Forest& forest);

// invalid_argument "invalid forest JSON: " + the reader's message or the
// first inconsistency found.
// A configuration needing more than `memory` bytes (the machine's physical
// memory; 0 checks nothing) is refused with out_of_memory before the rest of
// the document is read (frame/document.hpp).
[[nodiscard]] Result<Forest> from_json(std::string_view text, std::uint64_t memory = physical_memory());

}  // namespace morvik3::morvik
