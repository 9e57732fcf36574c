// The random cut of an insertion: a dimension chosen with probability
// proportional to its width in the box merged with the new point, and a value
// uniform inside that width.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace morvik3::morvik {

struct Cut {
    std::uint64_t dim = 0;
    float value = 0.0f;
};

// Largest float below `v`; both zeros step to the smallest negative
// subnormal, NaN and -inf stay.
[[nodiscard]] float next_down(float v);

// The cut for uniform draw `u` over the box [min, max] merged with `x`;
// nullopt when the merged box has no width.
[[nodiscard]] std::optional<Cut> draw_cut(double u, std::span<const float> min, std::span<const float> max,
                                          std::span<const float> x);

// Whether the cut puts `x` on one side and the whole box on the other.
[[nodiscard]] bool separates(const Cut& cut, std::span<const float> min, std::span<const float> max,
                             std::span<const float> x);

}  // namespace morvik3::morvik
