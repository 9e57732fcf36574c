// Batches of rows over a forest, the trees shared out among the threads of a
// WorkerTeam.  Each gives what the per-row loop gives: every score, and the
// forest after it, bit for bit.
//
// A batch goes in blocks of rows.  The calling thread takes the steps that
// couple the trees, in the serial order: the samplers' decisions (drawn from
// the forest's one generator), the rows the shared point store hands out and
// takes back, the samplers' records.  Then every thread walks and updates
// its own trees through the block, and the calling thread adds up each
// row's tree values in tree order.  What a tree does with a point never
// changes these steps, with one exception: a point merged into a duplicate
// leaf changes which row the sampler holds.  A point that equals no live row
// cannot be merged, so a block ends after any point that does, and that
// row's records wait for its trees.
#pragma once

#include <cstddef>
#include <span>

#include "frame/batch.hpp"
#include "frame/error.hpp"
#include "morvik/forest/mod.hpp"

namespace morvik3::morvik {

// update() over the rows in order, and, when `scores` is not empty (one per
// row), update_and_score(): each row's score goes to its entry.  On `threads`
// threads when there are rows enough to share; otherwise the per-row loop.
// The first failing row stops the batch with its error, `done` its index:
// the rows before it keep their effect and their scores.
[[nodiscard]] Result<void> learn_rows(Forest& forest, BatchRows<std::span<const float>> rows, std::span<double> scores,
                                      std::size_t threads, std::size_t& done);

// score() over the rows, the rows shared out among the threads.
[[nodiscard]] Result<void> score_rows(const Forest& forest, BatchRows<std::span<const float>> rows,
                                      std::span<double> scores, std::size_t threads, std::size_t& done);

}  // namespace morvik3::morvik
