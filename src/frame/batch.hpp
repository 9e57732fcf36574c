// What the detectors' batch drivers share: how the rows of a batch reach a
// core, and the scoring of rows shared out among a team.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <optional>
#include <span>
#include <utility>

#include "frame/error.hpp"
#include "frame/function_ref.hpp"
#include "frame/thread_pool.hpp"

namespace morvik3 {

// What a batch asks of each row.
enum class BatchCall { update, score, update_and_score };

// The rows of a batch: row(i) for i < count, asked for once each, in order,
// by the calling thread only.
template <class Row>
struct BatchRows {
    std::size_t count = 0;
    FunctionRef<Row(std::size_t)> row;
};

// Batches shorter than this run the per-row loop: waking the team and
// sharing the rows out cost more than the threads save (benchmarks/batch.py).
inline constexpr std::size_t parallel_rows = 24;

// How many of `threads` share a batch of `rows` over `items` to split.
[[nodiscard]] inline std::size_t team_for(std::size_t threads, std::size_t rows, std::size_t items) {
    return rows < parallel_rows ? 1 : std::min(threads, items);
}

// One row learned by a detector's own update, or update_and_score into
// `*score` when `score` is not null.
template <class Detector, class Row>
[[nodiscard]] Result<void> learn_one(Detector& detector, Row point, double* score) {
    if (score == nullptr) return update(detector, point);
    const auto s = update_and_score(detector, point);
    if (!s) return std::unexpected(s.error());
    *score = *s;
    return {};
}

// The per-row loop of a learning batch, on the calling thread: `done` counts
// the rows learned before one fails.
template <class Detector, class Row>
[[nodiscard]] Result<void> learn_one_by_one(Detector& detector, BatchRows<Row> rows, std::span<double> scores,
                                            std::size_t& done) {
    for (done = 0; done < rows.count; ++done)
        if (auto ok = learn_one(detector, rows.row(done), scores.empty() ? nullptr : &scores[done]); !ok) return ok;
    return {};
}

// Scores `count` rows on `team` (of one thread or more), in blocks: the
// calling thread takes each row, `take(i, query)` turning row i into its
// query of `width` floats or failing, then the members score the block's
// queries, a share each, with `value(member, query)`.  The first row that
// fails stops the batch with its error, `done` its index; the rows before it
// have their scores.
[[nodiscard]] Result<void> score_in_blocks(WorkerTeam& team, std::size_t count, std::size_t width,
                                           FunctionRef<Result<void>(std::size_t, std::span<float>)> take,
                                           FunctionRef<double(std::size_t, std::span<const float>)> value,
                                           std::span<double> scores, std::size_t& done);

// A batch that `wanted` threads share when a team of them forms: `Shared`,
// built from `args` and the team, runs it (run(done)).  Otherwise, and when
// memory for its buffers runs out, `alone(done)` runs it on the calling
// thread.
template <class Shared, class... Args>
[[nodiscard]] Result<void> run_shared(std::size_t wanted, FunctionRef<Result<void>(std::size_t&)> alone,
                                      std::size_t& done, Args&&... args) {
    if (wanted <= 1) return alone(done);
    WorkerTeam team(wanted);
    if (team.size() <= 1) return alone(done);
    std::optional<Shared> shared;
    try {
        allocating([&] { shared.emplace(std::forward<Args>(args)..., team); });
    } catch (const std::bad_alloc&) {
        return alone(done);
    }
    return shared->run(done);
}

// A batch over rows run in rounds on a team (run_rounds): `Driver` supplies
// serial() and parallel(member), keeps in `next_` the rows done and in
// `error_` what stopped the batch.
template <class Driver, class Detector>
class RowRounds {
  public:
    [[nodiscard]] Result<void> run(std::size_t& done) {
        Driver& self = static_cast<Driver&>(*this);
        run_rounds(team_, [&] { return self.serial(); }, [&](std::size_t w) { self.parallel(w); });
        done = next_;
        return error_;
    }

  protected:
    RowRounds(Detector& forest, BatchRows<std::span<const float>> rows, std::span<double> scores, WorkerTeam& team)
        : forest_(forest), rows_(rows), scores_(scores), team_(team) {}

    Detector& forest_;
    BatchRows<std::span<const float>> rows_;
    std::span<double> scores_;  // one per row, or none
    WorkerTeam& team_;
    Result<void> error_;
    std::size_t next_ = 0;  // the next row of the batch
};

// Items [first, last) of `items` that member w of n takes: a contiguous share.
[[nodiscard]] inline std::pair<std::size_t, std::size_t> share_of(std::size_t items, std::size_t w, std::size_t n) {
    return {items * w / n, items * (w + 1) / n};
}

}  // namespace morvik3
