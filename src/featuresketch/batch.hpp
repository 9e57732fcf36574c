// Batches of feature events over a FeatureSketch, its chains shared out
// among the threads of a WorkerTeam.  Each gives what the per-event loop
// gives: every score, and the detector after it, bit for bit.
//
// A batch goes in blocks of events, two blocks at a time: while the team
// normalises and projects one block (every thread a share of its events),
// it runs the chains of the block projected before (every thread a share of
// the chains, which share nothing: their own levels, cells and masses), and
// the calling thread then adds up each event's chain scores in chain order.
// A thread locates the next event's cells before it scores and counts the
// current one, so that the scattered reads of the next are under way.
#pragma once

#include <cstddef>
#include <span>

#include "featuresketch/detector.hpp"
#include "frame/error.hpp"
#include "frame/key_value.hpp"

namespace morvik3::featuresketch {

// update() over the events in order, and, when `scores` is not empty (one
// per event), update_and_score(): each event's score goes to its entry.  The
// first failing event stops the batch with its error, `done` its index: the
// events before it keep their effect and their scores.
[[nodiscard]] Result<void> learn_events(FeatureSketch& sketch, std::span<const KeyValueLike> events,
                                        std::span<double> scores, std::size_t threads, std::size_t& done);

// score() over the events.
[[nodiscard]] Result<void> score_events(const FeatureSketch& sketch, std::span<const KeyValueLike> events,
                                        std::span<double> scores, std::size_t threads, std::size_t& done);

}  // namespace morvik3::featuresketch
