#include "featuresketch/batch.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "featuresketch/projection.hpp"
#include "featuresketch/sketch.hpp"
#include "frame/batch.hpp"
#include "frame/thread_pool.hpp"

namespace morvik3::featuresketch {

namespace {

// Events per block: enough that the meetings between rounds are a small
// share of a round's work.
constexpr std::size_t block_events = 256;
// Batches shorter than this run the per-event loop (benchmarks/batch.py).
constexpr std::size_t pipelined_events = 4;

constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

Result<void> one_by_one(FeatureSketch* learner, const FeatureSketch& sketch, std::span<const KeyValueLike> events,
                        std::span<double> scores, std::size_t& done) {
    for (done = 0; done < events.size(); ++done) {
        if (learner == nullptr) {
            const auto s = score(sketch, events[done]);
            if (!s) return std::unexpected(s.error());
            scores[done] = *s;
        } else if (scores.empty()) {
            if (auto ok = update(*learner, events[done]); !ok) return ok;
        } else {
            const auto s = update_and_score(*learner, events[done]);
            if (!s) return std::unexpected(s.error());
            scores[done] = *s;
        }
    }
    return {};
}

// A batch on a team: the rounds, each projecting one block and running the
// chains of the block before.  `learner` is the sketch when the batch
// counts, null when it only scores.
class SharedEvents {
  public:
    SharedEvents(FeatureSketch* learner, const FeatureSketch& sketch, std::span<const KeyValueLike> events,
                 std::span<double> scores, WorkerTeam& team)
        : learner_(learner),
          sketch_(sketch),
          events_(events),
          scores_(scores),
          team_(team),
          value_dims_(sketch.config.value_projection_dims),
          stride_(value_dims_ + sketch.config.presence_projection_dims + 1),
          value_chains_(chain_count(sketch.value_sketch, sketch.value_layout)),
          chains_(value_chains_ + chain_count(sketch.presence_sketch, sketch.presence_layout)) {
        for (auto& block : projected_) block.resize(block_events * stride_);
        chain_scores_.resize(block_events * chains_);
        workers_.resize(team.size());
        for (std::size_t w = 0; w < workers_.size(); ++w) {
            Worker& worker = workers_[w];
            const auto [first, last] = share_of(chains_, w, workers_.size());
            worker.value = {std::min(first, value_chains_), std::min(last, value_chains_)};
            worker.presence = {std::max(first, value_chains_) - value_chains_,
                               std::max(last, value_chains_) - value_chains_};
            for (auto& cells : worker.cells) {
                cells.value.resize(
                    located_cells(sketch.value_sketch, sketch.value_layout, worker.value.first, worker.value.second));
                cells.presence.resize(located_cells(sketch.presence_sketch, sketch.presence_layout,
                                                    worker.presence.first, worker.presence.second));
            }
        }
    }

    Result<void> run(std::size_t& done) {
        run_rounds(team_, [&] { return serial(); }, [&](std::size_t w) { parallel(w); });
        done = done_;
        return error_;
    }

  private:
    struct Block {
        std::size_t start = 0;
        std::size_t count = 0;
        int buffer = 0;  // which of projected_ holds its vectors
    };
    struct Cells {
        std::vector<std::uint64_t> value;
        std::vector<std::uint64_t> presence;
    };
    struct Worker {
        std::pair<std::size_t, std::size_t> value;     // its chains of each ensemble
        std::pair<std::size_t, std::size_t> presence;
        NormaliseScratch normalise;
        std::vector<NormalisedFeature> features;
        std::array<Cells, 2> cells;  // the current event's and the next one's
        std::size_t failed = none;   // its first event of the projected block that failed
        Error error;
    };

    // Not inlined, so that benchmarks/profile.py --threads can count it.
    [[gnu::noinline]] bool serial() {
        finish_chained();
        if (!error_) return false;
        take_projected();
        if (error_ && next_ < events_.size()) {
            projecting_ = {next_, std::min(block_events, events_.size() - next_), 1 - chained_.buffer};
            next_ += projecting_.count;
        }
        return chained_.count > 0 || projecting_.count > 0;
    }

    // The chained block's scores, each the mean of its chain scores per
    // ensemble in chain order, and its events counted.
    void finish_chained() {
        if (!scores_.empty()) {
            for (std::size_t k = 0; k < chained_.count; ++k) {
                const double* s = chain_scores_.data() + k * chains_;
                const double value = mean_in_order(std::span<const double>(s, value_chains_));
                const double presence = mean_in_order(std::span<const double>(s + value_chains_, chains_ - value_chains_));
                scores_[chained_.start + k] = (value + presence) * 0.5;
            }
        }
        if (learner_ != nullptr) {
            learner_->current_epoch += chained_.count;
            learner_->entries_seen += chained_.count;
        }
        done_ = chained_.start + chained_.count;
        chained_.count = 0;
    }

    // The projected block becomes the one to chain, up to its first event
    // that fails: one whose projection failed, or, when counting, one the
    // epoch or count would overflow at (the projection's check comes first,
    // as in the single call).
    void take_projected() {
        if (projecting_.count == 0) return;
        std::size_t valid = projecting_.count;
        for (const Worker& w : workers_) {
            if (w.failed < valid) {
                valid = w.failed;
                error_ = std::unexpected(w.error);
            }
        }
        if (learner_ != nullptr) {
            constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
            const FeatureSketch& s = sketch_;
            for (std::size_t k = 0; k < valid; ++k) {
                const char* overflow = s.current_epoch + k == max    ? "FeatureSketch epoch overflow"
                                       : s.entries_seen + k == max ? "FeatureSketch entries_seen overflow"
                                                                   : nullptr;
                if (overflow != nullptr) {
                    valid = k;
                    error_ = std::unexpected(Error::overflow(overflow));
                    break;
                }
            }
        }
        chained_ = {projecting_.start, valid, projecting_.buffer};
        epoch_ = sketch_.current_epoch;
        projecting_.count = 0;
        for (Worker& w : workers_) w.failed = none;
    }

    [[gnu::noinline]] void parallel(std::size_t index) {
        project_share(index);
        run_chains(workers_[index]);
    }

    void project_share(std::size_t index) {
        Worker& w = workers_[index];
        const auto [first, last] = share_of(projecting_.count, index, workers_.size());
        for (std::size_t k = first; k < last; ++k) {
            auto normalised = normalise(events_[projecting_.start + k], w.normalise, w.features);
            if (!normalised) {
                w.failed = k;
                w.error = std::move(normalised.error());
                return;
            }
            double* x = projected_[projecting_.buffer].data() + k * stride_;
            project(w.features, sketch_.projection_seeds, std::span<double>(x, value_dims_),
                    std::span<double>(x + value_dims_, stride_ - value_dims_));
        }
    }

    void run_chains(Worker& w) {
        if (chained_.count == 0) return;
        const FeatureSketch& s = sketch_;
        const std::uint64_t half_life = s.config.decay_half_life;
        auto locate = [&](std::size_t k, Cells& cells) {
            const double* x = projected_[chained_.buffer].data() + k * stride_;
            locate_chains(s.value_sketch, s.value_layout, std::span<const double>(x, value_dims_), w.value.first,
                          w.value.second, cells.value);
            locate_chains(s.presence_sketch, s.presence_layout,
                          std::span<const double>(x + value_dims_, stride_ - value_dims_), w.presence.first,
                          w.presence.second, cells.presence);
        };
        locate(0, w.cells[0]);
        for (std::size_t k = 0; k < chained_.count; ++k) {
            const Cells& cells = w.cells[k % 2];
            if (k + 1 < chained_.count) locate(k + 1, w.cells[(k + 1) % 2]);
            // Counting moves the epoch on by one an event; scoring does not.
            const std::uint64_t now = learner_ != nullptr ? epoch_ + k : epoch_;
            double* scores = chain_scores_.data() + k * chains_;
            const std::span<double> value_scores =
                scores_.empty() ? std::span<double>()
                                : std::span<double>(scores + w.value.first, w.value.second - w.value.first);
            const std::span<double> presence_scores =
                scores_.empty() ? std::span<double>()
                                : std::span<double>(scores + value_chains_ + w.presence.first,
                                                    w.presence.second - w.presence.first);
            if (learner_ != nullptr) {
                visit_chains(learner_->value_sketch, s.value_layout, cells.value, w.value.first, w.value.second, now,
                             half_life, value_scores);
                visit_chains(learner_->presence_sketch, s.presence_layout, cells.presence, w.presence.first,
                             w.presence.second, now, half_life, presence_scores);
            } else {
                score_chains(s.value_sketch, s.value_layout, cells.value, w.value.first, w.value.second, now,
                             half_life, value_scores);
                score_chains(s.presence_sketch, s.presence_layout, cells.presence, w.presence.first,
                             w.presence.second, now, half_life, presence_scores);
            }
        }
    }

    FeatureSketch* learner_;
    const FeatureSketch& sketch_;
    std::span<const KeyValueLike> events_;
    std::span<double> scores_;
    WorkerTeam& team_;
    const std::size_t value_dims_;
    const std::size_t stride_;  // one event's value and presence vectors
    const std::size_t value_chains_;
    const std::size_t chains_;  // both ensembles'

    Result<void> error_;
    std::size_t next_ = 0;  // the next event to project
    std::size_t done_ = 0;  // events scored and counted
    Block projecting_;
    Block chained_;
    std::uint64_t epoch_ = 0;  // the epoch of the chained block's first event
    std::array<std::vector<double>, 2> projected_;
    std::vector<double> chain_scores_;  // per event, the value chains' then the presence chains'
    std::vector<Worker> workers_;
};

Result<void> run_events(FeatureSketch* learner, const FeatureSketch& sketch, std::span<const KeyValueLike> events,
                        std::span<double> scores, std::size_t threads, std::size_t& done) {
    if (events.size() < pipelined_events) return one_by_one(learner, sketch, events, scores, done);
    const std::size_t chains = chain_count(sketch.value_sketch, sketch.value_layout) +
                               chain_count(sketch.presence_sketch, sketch.presence_layout);
    WorkerTeam team(std::min(threads, chains));
    std::optional<SharedEvents> shared;
    try {
        allocating([&] { shared.emplace(learner, sketch, events, scores, team); });
    } catch (const std::bad_alloc&) {
        return one_by_one(learner, sketch, events, scores, done);
    }
    return shared->run(done);
}

}  // namespace

Result<void> learn_events(FeatureSketch& sketch, std::span<const KeyValueLike> events, std::span<double> scores,
                          std::size_t threads, std::size_t& done) {
    if (!scores.empty() && scores.size() != events.size())
        internal_failure("batch scores differ in number from the events");
    return run_events(&sketch, sketch, events, scores, threads, done);
}

Result<void> score_events(const FeatureSketch& sketch, std::span<const KeyValueLike> events, std::span<double> scores,
                          std::size_t threads, std::size_t& done) {
    if (scores.size() != events.size()) internal_failure("batch scores differ in number from the events");
    return run_events(nullptr, sketch, events, scores, threads, done);
}

}  // namespace morvik3::featuresketch
