#include "morvik/bounding_box.hpp"

#include <algorithm>

#include "frame/error.hpp"

namespace morvik3::morvik {

double range_sum_of(std::span<const float> min, std::span<const float> max) {
    if (min.size() != max.size()) internal_failure("box bounds differ in length");
    return box::range_sum(min.data(), max.data(), min.size());
}

float outside_gap(std::span<const float> min, std::span<const float> max, std::span<const float> x) {
    if (min.size() != x.size() || max.size() != x.size()) internal_failure("box and point differ in length");
    float gap = 0.0f;
    for (std::size_t d = 0; d < x.size(); ++d) {
        if (x[d] < min[d]) {
            gap += min[d] - x[d];
        } else if (x[d] > max[d]) {
            gap += x[d] - max[d];
        }
    }
    return gap;
}

double separation_probability(std::span<const float> min, std::span<const float> max, double range_sum,
                              std::span<const float> x) {
    const float gap = outside_gap(min, max, x);
    if (gap == 0.0f) return 0.0;
    if (range_sum == 0.0) return 1.0;
    const double outside = gap;
    return outside / (range_sum + outside);
}

void merge_bounds(std::span<float> min, std::span<float> max, std::span<const float> other_min,
                  std::span<const float> other_max) {
    if (min.size() != max.size() || other_min.size() != min.size() || other_max.size() != min.size())
        internal_failure("merged boxes differ in length");
    for (std::size_t d = 0; d < min.size(); ++d) {
        min[d] = nan_min(min[d], other_min[d]);
        max[d] = nan_max(max[d], other_max[d]);
    }
}

BoundingBox BoundingBox::from_point(std::span<const float> p) {
    BoundingBox b;
    b.assign_point(p);
    return b;
}

void BoundingBox::assign_point(std::span<const float> p) {
    min.assign(p.begin(), p.end());
    max.assign(p.begin(), p.end());
    range_sum = 0.0;
}

void BoundingBox::merge_point(std::span<const float> x) { merge_box(x, x); }

void BoundingBox::merge_box(std::span<const float> other_min, std::span<const float> other_max) {
    merge_bounds(min, max, other_min, other_max);
    range_sum = range_sum_of(min, max);
}

double BoundingBox::separation_probability(std::span<const float> x) const {
    return morvik::separation_probability(min, max, range_sum, x);
}

}  // namespace morvik3::morvik
