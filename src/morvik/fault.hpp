// Broken invariants of the forest's records, met only through a loaded
// document that validation did not catch.
#pragma once

namespace morvik3::morvik {

// Throws InternalError(what).  Out of line and cold, so a check on a hot path
// stays a compare and a never-taken branch.
[[noreturn, gnu::cold]] void fault(const char* what);

}  // namespace morvik3::morvik
