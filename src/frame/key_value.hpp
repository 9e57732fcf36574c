// A feature event as converted from Python: either the caller's (name, value)
// pairs in order, duplicates kept, or a dict's entries in byte order of the
// name.  Detectors normalise both forms the same way.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace morvik3 {

struct KeyValueLike {
    enum class Kind { pairs, dict };
    Kind kind = Kind::pairs;
    std::vector<std::pair<std::string, double>> entries;  // UTF-8 names
};

}  // namespace morvik3
