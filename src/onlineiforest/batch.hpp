// Batches of points over an OnlineIForest, its trees shared out among the
// threads of a WorkerTeam.  Each gives what the per-row loop gives: every
// score, and the detector after it, bit for bit.
//
// The trees share nothing but the window.  A batch goes in blocks of rows:
// the calling thread checks each row and finds the point it pushes out of
// the window, every thread learns the block into its own trees (scoring each
// point after it, as update_and_score does), and the calling thread then
// pushes the block into the window and adds up each row's path lengths in
// tree order.
#pragma once

#include <cstddef>
#include <span>

#include "frame/batch.hpp"
#include "frame/error.hpp"
#include "onlineiforest/detector.hpp"

namespace morvik3::onlineiforest {

// update() over the rows in order, and, when `scores` is not empty (one per
// row), update_and_score().  The first failing row stops the batch with its
// error, `done` its index: the rows before it keep their effect and scores.
[[nodiscard]] Result<void> learn_rows(OnlineIForest& forest, BatchRows<std::span<const float>> rows,
                                      std::span<double> scores, std::size_t threads, std::size_t& done);

// score() over the rows, the rows shared out among the threads.
[[nodiscard]] Result<void> score_rows(const OnlineIForest& forest, BatchRows<std::span<const float>> rows,
                                      std::span<double> scores, std::size_t threads, std::size_t& done);

}  // namespace morvik3::onlineiforest
