#include "morvik/fault.hpp"

#include "frame/error.hpp"

namespace morvik3::morvik {

void fault(const char* what) { internal_failure(what); }

}  // namespace morvik3::morvik
