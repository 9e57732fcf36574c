#include "morvik/forest/batch.hpp"

#include <algorithm>
#include <bit>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "frame/batch.hpp"
#include "frame/thread_pool.hpp"
#include "morvik/bounding_box.hpp"
#include "morvik/forest/query.hpp"
#include "morvik/forest/update.hpp"
#include "morvik/tree/traversal.hpp"

namespace morvik3::morvik {

namespace {

// Rows per block: enough that the calling thread's serial steps and the
// meetings between phases are a small share of a block's work.
constexpr std::size_t block_rows = 256;
Result<void> out_of_memory() { return std::unexpected(Error::out_of_memory("")); }

// learn_rows on a team: the blocks, their serial steps and each worker's
// part.
class SharedLearning : public RowRounds<SharedLearning, Forest> {
  public:
    SharedLearning(Forest& forest, BatchRows<std::span<const float>> rows, std::span<double> scores,
                   WorkerTeam& team)
        : RowRounds(forest, rows, scores, team), dim_(forest.config.dim()) {
        const std::size_t trees = forest_trees(forest).size();
        points_.resize(block_rows * dim_);
        if (!scores_.empty()) values_.resize(block_rows * trees);
        inserts_.assign(trees, 0);
        stored_.assign(forest.point_store.capacity, nullptr);
        workers_.resize(team.size());
        for (std::size_t w = 0; w < workers_.size(); ++w) {
            std::tie(workers_[w].first_tree, workers_[w].last_tree) = share_of(trees, w, workers_.size());
            workers_[w].stored.assign(forest.point_store.capacity, nullptr);
        }
        // Kept from the last batch when no update came between.
        if (!forest.live_rows.current()) forest.live_rows.build(forest.point_store, block_rows);
    }

  private:
    friend class RowRounds<SharedLearning, Forest>;

    // A row of the block: its decisions and the row its point went to.
    struct BlockRow {
        std::size_t first = 0;  // its decisions: decisions_[first, last)
        std::size_t last = 0;
        std::uint64_t stored = NULL_INDEX;
        bool may_merge = false;  // its point equals a live row: settled once its trees are done
    };
    struct Worker {
        std::size_t first_tree = 0;
        std::size_t last_tree = 0;
        // The worker's view of the rows the block stored so far.
        std::vector<const float*> stored;
        WalkScratch walk;
    };
    enum class Taken { row, last_row, none };

    // Not inlined, so that benchmarks/profile.py --threads can count it.
    [[gnu::noinline]] bool serial() {
        if (!block_.empty()) finish_block();
        if (!error_ || next_ == rows_.count) return false;
        return fill_block();
    }

    // Before the block: room for what the trees and the workers' walks can
    // come to need in it, so that no worker allocates.
    bool prepare_block() {
        try {
            std::uint64_t largest = 0;
            for (const MorvikTree& t : forest_.trees) largest = std::max<std::uint64_t>(largest, t.arena.nodes.size());
            const std::uint64_t path = largest + 2 * block_rows + 1;
            for (Worker& w : workers_)
                for (auto& lane : w.walk.lanes)
                    if (lane.path.size() < path) allocating([&] { lane.path.resize(path); });
            std::fill(inserts_.begin(), inserts_.end(), 0);
            return true;
        } catch (const std::bad_alloc&) {
            error_ = out_of_memory();
            return false;
        }
    }

    bool fill_block() {
        block_start_ = next_;
        if (!prepare_block()) return false;
        while (block_.size() < block_rows && next_ < rows_.count) {
            const Taken taken = take_row();
            if (taken != Taken::row) break;
        }
        return !block_.empty();
    }

    // The calling thread's steps for the next row: its checks, its sampler
    // decisions, its row in the store and, unless its point may merge into a
    // duplicate, its records.
    Taken take_row() {
        Forest& f = forest_;
        PointStore& store = f.point_store;
        const std::span<const float> point = rows_.row(next_);
        const std::size_t k = block_.size();
        const std::span<float> x(points_.data() + k * dim_, dim_);
        // The score's own check comes first, as in update_and_score; the
        // query it forms is the point the update stores.
        std::optional<std::span<const float>> formed;
        if (!scores_.empty()) {
            const auto q = form_query(f, point, query_);
            if (!q) {
                error_ = std::unexpected(q.error());
                return Taken::none;
            }
            formed = *q;
        }
        if (auto ok = check_observation(f, point); !ok) {
            error_ = ok;
            return Taken::none;
        }
        // The point the update stores, and that the score walks with.
        if (formed) {
            std::ranges::copy(*formed, x.begin());
        } else if (f.config.internal_shingling) {
            shingled_query(store, point, x);
        } else {
            std::ranges::copy(point, x.begin());
        }
        const std::uint64_t seq = f.entries_seen + 1;
        Xoshiro256PlusPlus rng = f.rng;
        decide(f, seq, rng, decided_);
        const bool accepted = !decided_.empty();
        bool may_merge = false;
        if (accepted) {
            if (store.allocation_would_overflow()) {
                error_ = std::unexpected(Error::overflow("point store capacity growth overflows usize"));
                return Taken::none;
            }
            if (store.free_list.empty() && store.next_free >= store.capacity) {
                // The store grows for this row: its block pointer moves, so
                // it grows at the start of a block, the views made after.
                if (k > 0) return Taken::none;
                if (!make_room(2 * store.capacity + 4)) return Taken::none;
            }
            try {
                for (const PendingDecision& d : decided_)
                    f.trees[d.tree].reserve_inserts(++inserts_[d.tree], f.config.node_room());
            } catch (const std::bad_alloc&) {
                error_ = out_of_memory();
                return Taken::none;
            }
            may_merge = forest_.live_rows.holds_equal(x, coordinator_view());
        }

        // The row is taken: from here on it only commits.
        const std::uint64_t h = store_observation(f, point, seq, rng, accepted, false);
        BlockRow b{decisions_.size(), decisions_.size() + decided_.size(), h, may_merge};
        decisions_.insert(decisions_.end(), decided_.begin(), decided_.end());
        if (h != NULL_INDEX) {
            stored_[h] = x.data();
            forest_.live_rows.add(h, x);
            zero_or_nan_ = zero_or_nan_ || !box::settled(x.data(), x.size());
            if (!may_merge) {
                for (std::size_t i = b.first; i < b.last; ++i) decisions_[i].inserted_row = h;
                settle(b);
            }
        }
        block_.push_back(b);
        ++next_;
        return may_merge ? Taken::last_row : Taken::row;
    }

    // The views of rows sized for a store grown to `rows` rows.
    bool make_room(std::uint64_t rows) {
        try {
            allocating([&] {
                stored_.resize(rows, nullptr);
                for (Worker& w : workers_) w.stored.resize(rows, nullptr);
            });
            return true;
        } catch (const std::bad_alloc&) {
            error_ = out_of_memory();
            return false;
        }
    }

    [[nodiscard]] RowView coordinator_view() const {
        return RowView(forest_.point_store, stored_.data(), forest_.point_store.zero_or_nan_written);
    }

    // The store and samplers after row b's trees, and the live rows it
    // freed forgotten.
    void settle(const BlockRow& b) {
        const std::span<const PendingDecision> decisions(decisions_.data() + b.first, b.last - b.first);
        settle_decisions(forest_, decisions, b.stored);
        const PointStore& store = forest_.point_store;
        const RowView rows = coordinator_view();
        auto forget = [&](std::uint64_t r) {
            if (!store.occupied[r]) forest_.live_rows.remove(r, rows.row(r));
        };
        for (const PendingDecision& d : decisions)
            if (d.evict) forget(d.evicted_row);
        forget(b.stored);
    }

    [[gnu::noinline]] void parallel(std::size_t index) {
        Worker& w = workers_[index];
        Forest& f = forest_;
        const RowView rows(f.point_store, w.stored.data(), f.point_store.zero_or_nan_written || zero_or_nan_);
        const std::size_t trees = f.trees.size();
        const std::span<const MorvikTree> mine(f.trees.data() + w.first_tree, w.last_tree - w.first_tree);
        for (std::size_t k = 0; k < block_.size(); ++k) {
            const BlockRow& b = block_[k];
            const std::span<const float> x(points_.data() + k * dim_, dim_);
            if (b.stored != NULL_INDEX) w.stored[b.stored] = x.data();
            if (!scores_.empty())
                tree_values<ScoreRule>(mine, rows, x, w.walk,
                                       std::span<double>(values_.data() + k * trees + w.first_tree, mine.size()));
            for (std::size_t i = b.first; i < b.last; ++i) {
                PendingDecision& d = decisions_[i];
                if (d.tree < w.first_tree || d.tree >= w.last_tree) continue;
                MorvikTree& tree = f.trees[d.tree];
                if (d.evict) {
                    // The checks the update makes first, which a loaded
                    // document that passed validation never fails.
                    if (tree.is_empty()) internal_failure("cannot delete from an empty tree");
                    const std::uint64_t leaf = tree.descend(rows.row(d.evicted_row));
                    if (auto ok = tree.check_descended(leaf); !ok) internal_failure(ok.error().message);
                    tree.delete_at(rows, leaf);
                }
                const std::uint64_t kept = tree.insert(rows, b.stored);
                if (b.may_merge) {
                    d.inserted_row = kept;
                } else if (kept != b.stored) {
                    internal_failure("a point equal to no live row merged into a duplicate");
                }
            }
        }
        for (const BlockRow& b : block_)
            if (b.stored != NULL_INDEX) w.stored[b.stored] = nullptr;
    }

    void finish_block() {
        PointStore& store = forest_.point_store;
        if (!scores_.empty()) {
            const std::size_t trees = forest_.trees.size();
            for (std::size_t k = 0; k < block_.size(); ++k)
                scores_[block_start_ + k] =
                    tree_order_sum(std::span<const double>(values_.data() + k * trees, trees)) /
                    static_cast<double>(trees);
        }
        if (const BlockRow& b = block_.back(); b.may_merge) settle(b);
        // The block's points go to their rows in the order they came, so a
        // row stored twice keeps the later point.
        for (std::size_t k = 0; k < block_.size(); ++k) {
            const BlockRow& b = block_[k];
            if (b.stored == NULL_INDEX) continue;
            store.write_row(b.stored, std::span<const float>(points_.data() + k * dim_, dim_));
            stored_[b.stored] = nullptr;
        }
        zero_or_nan_ = false;
        block_.clear();
        decisions_.clear();
    }

    const std::uint64_t dim_;
    std::size_t block_start_ = 0;  // the row of the batch the block starts at
    std::vector<BlockRow> block_;
    std::vector<PendingDecision> decisions_;
    std::vector<PendingDecision> decided_;  // one row's, as decide() gives them
    std::vector<float> points_;             // the block's points, dim_ each
    std::vector<double> values_;            // the block's tree values, one per tree per row
    std::vector<float> query_;
    std::vector<std::uint64_t> inserts_;     // per tree, in the block so far
    std::vector<const float*> stored_;       // the calling thread's view of the block's rows
    bool zero_or_nan_ = false;               // some point of the block holds a zero or a NaN
    std::vector<Worker> workers_;
};

}  // namespace

Result<void> learn_rows(Forest& forest, BatchRows<std::span<const float>> rows, std::span<double> scores,
                        std::size_t threads, std::size_t& done) {
    if (!scores.empty() && scores.size() != rows.count) internal_failure("batch scores differ in number from the rows");
    try {
        return run_shared<SharedLearning>(
            team_for(threads, rows.count, forest_trees(forest).size()),
            [&](std::size_t& d) { return learn_one_by_one(forest, rows, scores, d); }, done, forest, rows, scores);
    } catch (...) {
        // A batch that broke off midway leaves the live rows unsure.
        forest.live_rows.drop();
        throw;
    }
}

Result<void> score_rows(const Forest& forest, BatchRows<std::span<const float>> rows, std::span<double> scores,
                        std::size_t threads, std::size_t& done) {
    if (scores.size() != rows.count) internal_failure("batch scores differ in number from the rows");
    const auto& trees = forest_trees(forest);
    const std::size_t wanted = team_for(threads, rows.count, rows.count);
    WorkerTeam team(wanted);
    std::vector<WalkScratch> walks;
    std::vector<float> buffer;
    try {
        allocating([&] { walks.resize(team.size()); });
    } catch (const std::bad_alloc&) {
        return out_of_memory();
    }
    return score_in_blocks(
        team, rows.count, forest.config.dim(),
        [&](std::size_t i, std::span<float> query) -> Result<void> {
            const auto formed = form_query(forest, rows.row(i), buffer);
            if (!formed) return std::unexpected(formed.error());
            std::ranges::copy(*formed, query.begin());
            return {};
        },
        [&](std::size_t w, std::span<const float> query) {
            return forest_walk<ScoreRule>(trees, forest.point_store, query, walks[w]) /
                   static_cast<double>(trees.size());
        },
        scores, done);
}

}  // namespace morvik3::morvik
