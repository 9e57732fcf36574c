// Decayed count-min sketches, one per chain level, and the ensemble score
// that compares an event's bin mass with each level's total mass.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <vector>

#include "featuresketch/chain.hpp"
#include "featuresketch/projection.hpp"
#include "frame/error.hpp"
#include "frame/json.hpp"
#include "frame/large_array.hpp"
#include "frame/rng.hpp"

namespace morvik3::featuresketch {

// A count that decays lazily: `value` is exact as of `epoch` and is brought
// up to date only when it is read or bumped.
struct DecayedValue {
    double value = 0.0;
    std::uint64_t epoch = 0;

    static constexpr std::string_view json_name = "DecayedValue";
    static constexpr auto json_fields() {
        return std::tuple{json::field("value", &DecayedValue::value), json::field("epoch", &DecayedValue::epoch)};
    }

    friend bool operator==(const DecayedValue&, const DecayedValue&) = default;
};

struct RowHashSeeds {
    std::vector<Seed4> seeds;  // one per sketch row

    static constexpr std::string_view json_name = "RowHashSeeds";
    static constexpr auto json_fields() { return std::tuple{json::field("seeds", &RowHashSeeds::seeds)}; }

    friend bool operator==(const RowHashSeeds&, const RowHashSeeds&) = default;
};

struct LevelSketch {
    std::uint64_t rows = 0;
    std::uint64_t buckets = 0;
    RowHashSeeds row_hash_seeds;
    // Row-major: row j, bucket b at j * buckets + b.  Events touch few cells,
    // so a large table is committed only where they fall.
    LargeArray<DecayedValue> cells;

    static constexpr std::string_view json_name = "LevelSketch";
    static constexpr auto json_fields() {
        return std::tuple{json::field("rows", &LevelSketch::rows), json::field("buckets", &LevelSketch::buckets),
                          json::field("row_hash_seeds", &LevelSketch::row_hash_seeds),
                          json::field("cells", &LevelSketch::cells)};
    }

    friend bool operator==(const LevelSketch&, const LevelSketch&) = default;
};

struct EnsembleSketch {
    std::vector<LevelSketch> levels;             // same order as the layout's levels
    std::vector<DecayedValue> reference_masses;  // decayed number of events per level

    static constexpr std::string_view json_name = "EnsembleSketch";
    static constexpr auto json_fields() {
        return std::tuple{json::field("levels", &EnsembleSketch::levels),
                          json::field("reference_masses", &EnsembleSketch::reference_masses)};
    }

    friend bool operator==(const EnsembleSketch&, const EnsembleSketch&) = default;
};

// Ceiling of one level score: -ln(1e-12).
inline constexpr double max_level_score = 27.631021115928547;

// Beyond this depth a level's bin width 4 / 2^k is no longer positive.
inline constexpr std::uint64_t max_chain_depth = 1024;

[[nodiscard]] EnsembleSketch build_ensemble(std::uint64_t rows, std::uint64_t buckets, std::uint64_t level_count,
                                            Xoshiro256PlusPlus& rng);

// value * 2^-((now - epoch) / half_life); a value stamped at or after `now`
// is returned as is.
[[nodiscard]] double decayed(const DecayedValue& dv, std::uint64_t now, std::uint64_t half_life);

// Index into `sketch.cells` of row `row`'s bucket for `bin`.  Inline: every
// event locates hundreds of cells.
[[nodiscard]] inline std::uint64_t bucket_of(const LevelSketch& sketch, std::uint64_t row, std::int64_t bin) {
    check_index(row, sketch.row_hash_seeds.seeds.size(), "sketch row has no hash seed");
    if (sketch.buckets == 0) [[unlikely]]
        internal_failure("level sketch has no buckets");
    KeyedHash h(sketch.row_hash_seeds.seeds[row]);
    h.write_word(row);
    h.write_word(static_cast<std::uint64_t>(bin));
    const std::uint64_t hash = h.finish();
    // A mask gives the same remainder as the division for a power of two.
    const std::uint64_t bucket =
        (sketch.buckets & (sketch.buckets - 1)) == 0 ? hash & (sketch.buckets - 1) : hash % sketch.buckets;
    const std::uint64_t index = bucket + row * sketch.buckets;
    check_index(index, sketch.cells.size(), "sketch bucket beyond the cell table");
    return index;
}

// The cells an event touches, one per (level, row), level-major.  Scoring and
// counting the same event share them, and `locate` prefetches them so the
// scattered reads that follow overlap.  Every level has the same number of
// rows.
void locate(const EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const double> x,
            std::vector<std::uint64_t>& cells);
// The same for chains [first, last) only, into `cells` (their levels' rows).
void locate_chains(const EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const double> x,
                   std::size_t first, std::size_t last, std::span<std::uint64_t> cells);
// Cells one event touches in chains [first, last).
[[nodiscard]] std::size_t located_cells(const EnsembleSketch& ensemble, const ChainLayout& layout, std::size_t first,
                                        std::size_t last);

// Chains [first, last) of one event, given the cells locate_chains found:
// each chain's score at epoch `now` into `chain_scores` (one per chain, none
// when empty), then the event counted at epoch now + 1.  One pass serves
// both, so each cell is read once.
void visit_chains(EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const std::uint64_t> cells,
                  std::size_t first, std::size_t last, std::uint64_t now, std::uint64_t half_life,
                  std::span<double> chain_scores);
// The same for scoring alone, which changes nothing.
void score_chains(const EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const std::uint64_t> cells,
                  std::size_t first, std::size_t last, std::uint64_t now, std::uint64_t half_life,
                  std::span<double> chain_scores);
// Chains per ensemble of `layout`, faulting on a layout whose levels do not
// make whole chains of a valid depth.
[[nodiscard]] std::size_t chain_count(const EnsembleSketch& ensemble, const ChainLayout& layout);
// The mean of chain scores, summed in chain order.
[[nodiscard]] double mean_in_order(std::span<const double> chain_scores);

[[nodiscard]] double score_located(const EnsembleSketch& ensemble, const ChainLayout& layout,
                                   std::span<const std::uint64_t> cells, std::uint64_t now, std::uint64_t half_life);
void add_located(EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const std::uint64_t> cells,
                 std::uint64_t now, std::uint64_t half_life);

// Count one event at epoch `now`.
void add(EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const double> x, std::uint64_t now,
         std::uint64_t half_life);
// The mean over chains of each chain's largest level score, in [0, max_level_score].
[[nodiscard]] double score(const EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const double> x,
                           std::uint64_t now, std::uint64_t half_life);

}  // namespace morvik3::featuresketch
