#include "featuresketch/sketch.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "frame/error.hpp"
#include "featuresketch/projection.hpp"
#include "frame/scratch.hpp"

namespace morvik3::featuresketch {

EnsembleSketch build_ensemble(std::uint64_t rows, std::uint64_t buckets, std::uint64_t level_count,
                              Xoshiro256PlusPlus& rng) {
    EnsembleSketch ensemble;
    ensemble.levels.reserve(level_count);
    for (std::uint64_t i = 0; i < level_count; ++i) {
        LevelSketch& level = ensemble.levels.emplace_back();
        level.rows = rows;
        level.buckets = buckets;
        level.row_hash_seeds.seeds.reserve(rows);
        for (std::uint64_t j = 0; j < rows; ++j) {
            Seed4& seed = level.row_hash_seeds.seeds.emplace_back();
            for (auto& word : seed.words) word = rng.next_u64();
        }
        level.cells = LargeArray<DecayedValue>(rows * buckets);
    }
    ensemble.reference_masses.assign(level_count, DecayedValue{});
    return ensemble;
}

double decayed(const DecayedValue& dv, std::uint64_t now, std::uint64_t half_life) {
    if (dv.epoch >= now) return dv.value;
    return dv.value * std::exp2(-static_cast<double>(now - dv.epoch) / static_cast<double>(half_life));
}

namespace {

// Decay factors 2^-(gap / half_life) of the gaps met so far on this thread.
// A factor depends on the gap and the half-life only, and most touched cells
// were last touched a few thousand events ago, so a table spares almost every
// exp2.  Entries are the same expression, so results are unchanged.
struct DecayFactors {
    static constexpr std::uint64_t gaps = 4096;
    std::uint64_t half_life = 0;
    std::array<double, gaps> factor;  // NaN until computed
};

thread_local DecayFactors decay_factors;

// `decayed` at one epoch.
class DecayAt {
public:
    DecayAt(std::uint64_t now, std::uint64_t half_life) : now_(now), half_life_(half_life), table_(decay_factors) {
        if (table_.half_life != half_life) {
            table_.half_life = half_life;
            table_.factor.fill(std::numeric_limits<double>::quiet_NaN());
        }
    }

    double operator()(const DecayedValue& dv) const {
        if (dv.epoch >= now_) return dv.value;
        const std::uint64_t gap = now_ - dv.epoch;
        if (gap >= DecayFactors::gaps) return decayed(dv, now_, half_life_);
        double& factor = table_.factor[gap];
        if (std::isnan(factor)) factor = std::exp2(-static_cast<double>(gap) / static_cast<double>(half_life_));
        return dv.value * factor;
    }

private:
    std::uint64_t now_;
    std::uint64_t half_life_;
    DecayFactors& table_;
};

// fmin and fmax without the library call: a NaN operand yields the other one.
double min_skipping_nan(double a, double b) { return b < a || std::isnan(a) ? b : a; }
double max_skipping_nan(double a, double b) { return b > a || std::isnan(a) ? b : a; }

}  // namespace

std::uint64_t bucket_of(const LevelSketch& sketch, std::uint64_t row, std::int64_t bin) {
    check_index(row, sketch.row_hash_seeds.seeds.size(), "sketch row has no hash seed");
    if (sketch.buckets == 0) internal_failure("level sketch has no buckets");
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

void locate(const EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const double> x,
            std::vector<std::uint64_t>& cells) {
    if (ensemble.levels.size() != layout.levels.size()) internal_failure("sketch and chain layout level counts differ");
    cells.clear();
    for (std::size_t i = 0; i < layout.levels.size(); ++i) {
        const LevelSketch& sketch = ensemble.levels[i];
        const std::int64_t bin = bin_of(layout.levels[i], x);
        for (std::uint64_t j = 0; j < sketch.rows; ++j) {
            const std::uint64_t index = bucket_of(sketch, j, bin);
            __builtin_prefetch(&sketch.cells[index]);
            cells.push_back(index);
        }
    }
}

double score_located(const EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const std::uint64_t> cells,
                     std::uint64_t now, std::uint64_t half_life) {
    const std::size_t level_count = layout.levels.size();
    if (ensemble.levels.size() != level_count || ensemble.reference_masses.size() != level_count)
        internal_failure("sketch and chain layout level counts differ");
    if (layout.chain_depth == 0) internal_failure("chain layout has depth 0");
    const std::size_t chains = level_count / layout.chain_depth;
    if (chains == 0) internal_failure("chain layout has no complete chain");
    if (layout.chain_depth > max_chain_depth) internal_failure("chain layout deeper than any valid configuration");
    const DecayAt decay(now, half_life);
    std::array<double, max_chain_depth> shares;  // t of each level of the chain
    std::size_t next = 0;
    double total = 0.0;
    for (std::size_t c = 0; c < chains; ++c) {
        double least = 1.0;
        for (std::size_t k = 0; k < layout.chain_depth; ++k) {
            const std::size_t i = c * layout.chain_depth + k;
            const LevelSketch& sketch = ensemble.levels[i];
            double estimate = std::numeric_limits<double>::infinity();  // count-min over the rows
            for (std::uint64_t j = 0; j < sketch.rows; ++j) {
                check_index(next, cells.size(), "located cells run short");
                check_index(cells[next], sketch.cells.size(), "located cell beyond the cell table");
                estimate = min_skipping_nan(estimate, decay(sketch.cells[cells[next++]]));
            }
            const double reference = max_skipping_nan(decay(ensemble.reference_masses[i]), 1e-12);
            const double ratio = max_skipping_nan(layout.levels[i].bin_volume_ratio, 1e-12);
            shares[k] = max_skipping_nan(estimate / reference / ratio, 1e-12);
            least = std::min(least, shares[k]);
        }
        // The chain's score is its largest -ln(min(t, 1)).  Levels whose t
        // exceeds the least by a relative 1e-9 cannot supply it (the logarithm
        // errs by far less), so only the few near the least take a logarithm.
        double chain_score = 0.0;
        if (least < 1.0) {
            const double cutoff = least * (1.0 + 1e-9);
            for (std::size_t k = 0; k < layout.chain_depth; ++k) {
                if (shares[k] > cutoff) continue;
                const double level_score = -std::log(std::min(shares[k], 1.0));
                if (level_score > chain_score) chain_score = level_score;
            }
        }
        total += chain_score;
    }
    return total / static_cast<double>(chains);
}

void add_located(EnsembleSketch& ensemble, std::span<const std::uint64_t> cells, std::uint64_t now,
                 std::uint64_t half_life) {
    if (ensemble.reference_masses.size() != ensemble.levels.size())
        internal_failure("reference masses and sketch level counts differ");
    const DecayAt decay(now, half_life);
    std::size_t next = 0;
    for (std::size_t i = 0; i < ensemble.levels.size(); ++i) {
        LevelSketch& sketch = ensemble.levels[i];
        for (std::uint64_t j = 0; j < sketch.rows; ++j) {
            check_index(next, cells.size(), "located cells run short");
            check_index(cells[next], sketch.cells.size(), "located cell beyond the cell table");
            DecayedValue& cell = sketch.cells[cells[next++]];
            cell.value = decay(cell) + 1.0;
            cell.epoch = now;
        }
        DecayedValue& mass = ensemble.reference_masses[i];
        mass.value = decay(mass) + 1.0;
        mass.epoch = now;
    }
}

namespace {
thread_local std::vector<std::uint64_t> located_scratch;
}

void add(EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const double> x, std::uint64_t now,
         std::uint64_t half_life) {
    const ScratchRelease release(located_scratch);
    locate(ensemble, layout, x, located_scratch);
    add_located(ensemble, located_scratch, now, half_life);
}

double score(const EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const double> x, std::uint64_t now,
             std::uint64_t half_life) {
    const ScratchRelease release(located_scratch);
    locate(ensemble, layout, x, located_scratch);
    return score_located(ensemble, layout, located_scratch, now, half_life);
}

}  // namespace morvik3::featuresketch
