// Ingesting one observation: the only operation that changes a forest's model.
//
// An update runs in three phases, each on its own below: the samplers decide
// (drawing from a copy of the forest's generator), the evicting trees check
// that they can delete what their samplers drop, and only then does the
// commit change anything.  The parallel batches reuse the phases.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "frame/error.hpp"
#include "frame/rng.hpp"
#include "morvik/forest/mod.hpp"

namespace morvik3::morvik {

// Learns `point` (one observation under internal shingling, else a whole
// point).  Every check runs before the first change: a failed update leaves
// the forest exactly as it was, its generator included.
[[nodiscard]] Result<void> update(Forest& forest, std::span<const float> point);

// The checks of `point` itself, before any decision: its length, its values
// and the count of observations.
[[nodiscard]] Result<void> check_observation(const Forest& forest, std::span<const float> point);

// The samplers' accepting decisions for observation `seq`, in tree order,
// drawn from `rng`; none while the shingle is still filling.
void decide(Forest& forest, std::uint64_t seq, Xoshiro256PlusPlus& rng, std::vector<PendingDecision>& decisions);

// Commits observation `seq` up to the trees: rolls the shingle, counts it,
// keeps the generator state `rng` the decisions left, and, when some sampler
// accepted, stores the point in a new row, which it returns (NULL_INDEX
// otherwise).  `write` writes the row; the parallel batches defer it.
std::uint64_t store_observation(Forest& forest, std::span<const float> point, std::uint64_t seq,
                                const Xoshiro256PlusPlus& rng, bool has_decisions, bool write = true);

// The point store and samplers after the trees took row `h`: each decision
// releases its evicted row, references the row its tree kept and records it
// in its sampler; `h` is released again when every tree merged the point
// into a duplicate.
void settle_decisions(Forest& forest, std::span<const PendingDecision> decisions, std::uint64_t h);

}  // namespace morvik3::morvik
