#include "onlineiforest/batch.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <vector>

#include "frame/batch.hpp"
#include "frame/thread_pool.hpp"

namespace morvik3::onlineiforest {

namespace {

// Rows per block: enough that the calling thread's steps and the meetings
// between rounds are a small share of a block's work.
constexpr std::size_t block_rows = 256;
// learn_rows on a team.
class SharedLearning : public RowRounds<SharedLearning, OnlineIForest> {
  public:
    SharedLearning(OnlineIForest& forest, BatchRows<std::span<const float>> rows, std::span<double> scores,
                   WorkerTeam& team)
        : RowRounds(forest, rows, scores, team), dim_(forest.config.input_dim) {
        points_.resize(block_rows * dim_);
        oldest_.resize(block_rows);
        if (!scores_.empty()) lengths_.resize(block_rows * forest.trees.size());
    }

  private:
    friend class RowRounds<SharedLearning, OnlineIForest>;

    bool serial() {
        finish_block();
        if (!error_ || next_ == rows_.count) return false;
        return fill_block();
    }

    // The block's rows checked and copied, the point each pushes out of the
    // window found, and room made for the block in the window and the trees.
    // When memory runs out for that room, the block goes the per-row way,
    // which fails at the row the loop would.
    bool fill_block() {
        OnlineIForest& f = forest_;
        start_ = next_;
        count_ = 0;
        for (; count_ < block_rows && start_ + count_ < rows_.count; ++count_) {
            const std::span<const float> point = rows_.row(start_ + count_);
            error_ = check_point(f, point);
            if (error_) error_ = check_countable(f.entries_seen + count_);
            if (!error_) break;
            std::ranges::copy(point, points_.begin() + static_cast<std::ptrdiff_t>(count_ * dim_));
        }
        const std::uint64_t held = f.window.count;
        const std::uint64_t size = f.config.window_size;
        try {
            f.window.reserve_for(count_, size);
            for (OnlineITree& tree : f.trees) tree.pool.reserve_for(count_);
        } catch (const std::bad_alloc&) {
            learn_block_one_by_one();
            return error_.has_value();
        }
        // After the room is made, which may move the window's points.
        for (std::size_t k = 0; k < count_; ++k) {
            // The window before row k holds the last `size` of its points
            // and the block's first k; full, it pushes out the oldest.
            if (held + k < size) {
                oldest_[k] = nullptr;
                continue;
            }
            const std::uint64_t at = held + k - size;
            oldest_[k] = at < held ? f.window.at(at).data() : points_.data() + (at - held) * dim_;
        }
        return count_ > 0;
    }

    void learn_block_one_by_one() {
        OnlineIForest& f = forest_;
        for (std::size_t k = 0; k < count_; ++k) {
            const std::span<const float> point(points_.data() + k * dim_, dim_);
            double* score = scores_.empty() ? nullptr : &scores_[start_ + k];
            if (auto ok = learn_one(f, point, score); !ok) {
                next_ = start_ + k;
                error_ = ok;
                count_ = 0;
                return;
            }
        }
        // A row that failed its check ended the block: its error stands.
        next_ = start_ + count_;
        count_ = 0;
    }

    void parallel(std::size_t index) {
        OnlineIForest& f = forest_;
        const std::size_t trees = f.trees.size();
        const auto [first, last] = share_of(trees, index, team_.size());
        const std::uint64_t leaf_samples = f.config.max_leaf_samples;
        for (std::size_t k = 0; k < count_; ++k) {
            const std::span<const float> point(points_.data() + k * dim_, dim_);
            for (std::size_t t = first; t < last; ++t) {
                OnlineITree& tree = f.trees[t];
                tree.learn(point, leaf_samples, f.max_depth);
                if (oldest_[k] != nullptr) tree.unlearn(std::span<const float>(oldest_[k], dim_), leaf_samples);
                if (!scores_.empty()) lengths_[k * trees + t] = tree.path_length(point, leaf_samples);
            }
        }
    }

    // The block pushed into the window and counted, each row's score from
    // its path lengths added in tree order.
    void finish_block() {
        if (count_ == 0) return;
        OnlineIForest& f = forest_;
        const std::size_t trees = f.trees.size();
        for (std::size_t k = 0; k < count_; ++k) {
            f.window.push(std::span<const float>(points_.data() + k * dim_, dim_), f.config.window_size);
            ++f.entries_seen;
            if (scores_.empty()) continue;
            double sum = 0.0;
            for (std::size_t t = 0; t < trees; ++t) sum += lengths_[k * trees + t];
            scores_[start_ + k] = score_of_lengths(f, sum);
        }
        next_ = start_ + count_;
        count_ = 0;
    }

    const std::uint64_t dim_;
    std::size_t start_ = 0;  // the block's first row
    std::size_t count_ = 0;  // and its rows
    std::vector<float> points_;
    std::vector<const float*> oldest_;  // per row, the point it pushes out of the window, if any
    std::vector<double> lengths_;       // per row, each tree's path length
};

}  // namespace

Result<void> learn_rows(OnlineIForest& forest, BatchRows<std::span<const float>> rows, std::span<double> scores,
                        std::size_t threads, std::size_t& done) {
    if (!scores.empty() && scores.size() != rows.count) internal_failure("batch scores differ in number from the rows");
    return run_shared<SharedLearning>(
        team_for(threads, rows.count, forest.trees.size()),
        [&](std::size_t& d) { return learn_one_by_one(forest, rows, scores, d); }, done, forest, rows, scores);
}

Result<void> score_rows(const OnlineIForest& forest, BatchRows<std::span<const float>> rows,
                        std::span<double> scores, std::size_t threads, std::size_t& done) {
    if (scores.size() != rows.count) internal_failure("batch scores differ in number from the rows");
    WorkerTeam team(team_for(threads, rows.count, rows.count));
    return score_in_blocks(
        team, rows.count, forest.config.input_dim,
        [&](std::size_t i, std::span<float> query) -> Result<void> {
            const std::span<const float> point = rows.row(i);
            if (auto ok = check_point(forest, point); !ok) return ok;
            std::ranges::copy(point, query.begin());
            return {};
        },
        [&](std::size_t, std::span<const float> query) { return score_checked(forest, query); },
        scores, done);
}

}  // namespace morvik3::onlineiforest
