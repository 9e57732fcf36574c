// Per-thread working storage of the detectors' calls.  It is reused from call
// to call so steady streams allocate nothing, but a buffer that one large
// call grew past 1 MiB is given back when the call ends, instead of staying
// with the thread for its lifetime.
#pragma once

#include <cstddef>
#include <tuple>
#include <vector>

namespace morvik3 {

inline constexpr std::size_t kept_scratch_bytes = std::size_t{1} << 20;

template <class T>
void release_if_large(std::vector<T>& v) {
    if (v.capacity() * sizeof(T) > kept_scratch_bytes) std::vector<T>().swap(v);
}

// Releases its buffers' large allocations at the end of the scope, on every
// path out of it.
template <class... T>
class ScratchRelease {
  public:
    explicit ScratchRelease(std::vector<T>&... buffers) : buffers_(buffers...) {}
    ScratchRelease(const ScratchRelease&) = delete;
    ScratchRelease& operator=(const ScratchRelease&) = delete;
    ~ScratchRelease() {
        std::apply([](auto&... b) { (release_if_large(b), ...); }, buffers_);
    }

  private:
    std::tuple<std::vector<T>&...> buffers_;
};

}  // namespace morvik3
