#include "featuresketch/sketch.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <type_traits>

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

// The thread's table for `half_life`.  Fetched once per pass and not inlined:
// a thread-local in a shared library costs a call at every access, and the
// compiler would repeat it at every use of an inlined reference.
[[gnu::noinline]] DecayFactors& factors_for(std::uint64_t half_life) {
    DecayFactors& table = decay_factors;
    if (table.half_life != half_life) {
        table.half_life = half_life;
        table.factor.fill(std::numeric_limits<double>::quiet_NaN());
    }
    return table;
}

// `decayed` at one epoch.
class DecayAt {
public:
    DecayAt(std::uint64_t now, std::uint64_t half_life, DecayFactors& table)
        : now_(now), half_life_(half_life), table_(table) {}

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

// A chain's score from its levels' shares t: its largest -ln(min(t, 1)).
// Levels whose t exceeds the least by a relative 1e-9 cannot supply it (the
// logarithm errs by far less), so only the few near the least take a
// logarithm.
double chain_score(std::span<const double> shares, double least) {
    double score = 0.0;
    if (least < 1.0) {
        const double cutoff = least * (1.0 + 1e-9);
        for (const double t : shares) {
            if (t > cutoff) continue;
            const double level_score = -std::log(std::min(t, 1.0));
            if (level_score > score) score = level_score;
        }
    }
    return score;
}

// visit_chains and score_chains: `Ensemble` is const when only scoring.
template <class Ensemble>
void chains_pass(Ensemble& ensemble, const ChainLayout& layout, std::span<const std::uint64_t> cells,
                 std::size_t first, std::size_t last, std::uint64_t now, std::uint64_t half_life,
                 std::span<double> chain_scores) {
    constexpr bool count = !std::is_const_v<Ensemble>;
    const std::size_t chains = chain_count(ensemble, layout);
    if (first > last || last > chains) internal_failure("chain range beyond the layout");
    const bool scoring = !chain_scores.empty();
    if (scoring && chain_scores.size() != last - first) internal_failure("chain scores differ in number from the chains");
    const std::size_t depth = layout.chain_depth;
    DecayFactors& table = factors_for(half_life);
    const DecayAt at_now(now, half_life, table);
    // Counting stamps the cells one epoch on; the caller checked it exists.
    const std::uint64_t next_epoch = now + 1;
    const DecayAt at_next(next_epoch, half_life, table);
    std::array<double, max_chain_depth> shares;  // t of each level of the chain
    std::size_t next = 0;
    for (std::size_t c = first; c < last; ++c) {
        double least = 1.0;
        for (std::size_t k = 0; k < depth; ++k) {
            const std::size_t i = c * depth + k;
            auto& sketch = ensemble.levels[i];
            double estimate = std::numeric_limits<double>::infinity();  // count-min over the rows
            for (std::uint64_t j = 0; j < sketch.rows; ++j) {
                check_index(next, cells.size(), "located cells run short");
                check_index(cells[next], sketch.cells.size(), "located cell beyond the cell table");
                auto& cell = sketch.cells[cells[next++]];
                if (scoring) estimate = min_skipping_nan(estimate, at_now(cell));
                if constexpr (count) {
                    cell.value = at_next(cell) + 1.0;
                    cell.epoch = next_epoch;
                }
            }
            auto& mass = ensemble.reference_masses[i];
            if (scoring) {
                const double reference = max_skipping_nan(at_now(mass), 1e-12);
                const double ratio = max_skipping_nan(layout.levels[i].bin_volume_ratio, 1e-12);
                shares[k] = max_skipping_nan(estimate / reference / ratio, 1e-12);
                least = std::min(least, shares[k]);
            }
            if constexpr (count) {
                mass.value = at_next(mass) + 1.0;
                mass.epoch = next_epoch;
            }
        }
        if (scoring) chain_scores[c - first] = chain_score(std::span<const double>(shares.data(), depth), least);
    }
}

thread_local std::vector<std::uint64_t> located_scratch;
thread_local std::vector<double> chain_scratch;

}  // namespace

std::size_t chain_count(const EnsembleSketch& ensemble, const ChainLayout& layout) {
    const std::size_t level_count = layout.levels.size();
    if (ensemble.levels.size() != level_count || ensemble.reference_masses.size() != level_count)
        internal_failure("sketch and chain layout level counts differ");
    if (layout.chain_depth == 0) internal_failure("chain layout has depth 0");
    if (layout.chain_depth > max_chain_depth) internal_failure("chain layout deeper than any valid configuration");
    const std::size_t chains = level_count / layout.chain_depth;
    if (chains == 0) internal_failure("chain layout has no complete chain");
    return chains;
}

double mean_in_order(std::span<const double> chain_scores) {
    double total = 0.0;
    for (const double s : chain_scores) total += s;
    return total / static_cast<double>(chain_scores.size());
}

std::size_t located_cells(const EnsembleSketch& ensemble, const ChainLayout& layout, std::size_t first,
                          std::size_t last) {
    const std::size_t chains = chain_count(ensemble, layout);
    if (first > last || last > chains) internal_failure("chain range beyond the layout");
    std::size_t n = 0;
    for (std::size_t i = first * layout.chain_depth; i < last * layout.chain_depth; ++i) n += ensemble.levels[i].rows;
    return n;
}

void locate_chains(const EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const double> x,
                   std::size_t first, std::size_t last, std::span<std::uint64_t> cells) {
    const std::size_t chains = chain_count(ensemble, layout);
    if (first > last || last > chains) internal_failure("chain range beyond the layout");
    std::uint64_t* out = cells.data();
    std::size_t room = cells.size();
    for (std::size_t i = first * layout.chain_depth; i < last * layout.chain_depth; ++i) {
        const LevelSketch& sketch = ensemble.levels[i];
        if (room < sketch.rows) [[unlikely]]
            internal_failure("located cells differ in number from the levels' rows");
        room -= sketch.rows;
        const std::int64_t bin = bin_of(layout.levels[i], x);
        for (std::uint64_t j = 0; j < sketch.rows; ++j) {
            const std::uint64_t index = bucket_of(sketch, j, bin);
            __builtin_prefetch(&sketch.cells[index]);
            *out++ = index;
        }
    }
    if (room != 0) internal_failure("located cells differ in number from the levels' rows");
}

void locate(const EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const double> x,
            std::vector<std::uint64_t>& cells) {
    const std::size_t chains = chain_count(ensemble, layout);
    // Every level has the rows of the first, as loading checks; a level that
    // does not faults in locate_chains.
    allocating([&] { cells.resize(ensemble.levels.empty() ? 0 : chains * layout.chain_depth * ensemble.levels[0].rows); });
    locate_chains(ensemble, layout, x, 0, chains, cells);
}

void visit_chains(EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const std::uint64_t> cells,
                  std::size_t first, std::size_t last, std::uint64_t now, std::uint64_t half_life,
                  std::span<double> chain_scores) {
    chains_pass(ensemble, layout, cells, first, last, now, half_life, chain_scores);
}

void score_chains(const EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const std::uint64_t> cells,
                  std::size_t first, std::size_t last, std::uint64_t now, std::uint64_t half_life,
                  std::span<double> chain_scores) {
    chains_pass(ensemble, layout, cells, first, last, now, half_life, chain_scores);
}

double score_located(const EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const std::uint64_t> cells,
                     std::uint64_t now, std::uint64_t half_life) {
    const std::size_t chains = chain_count(ensemble, layout);
    const ScratchRelease release(chain_scratch);
    allocating([&] { chain_scratch.resize(chains); });
    score_chains(ensemble, layout, cells, 0, chains, now, half_life, chain_scratch);
    return mean_in_order(chain_scratch);
}

void add_located(EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const std::uint64_t> cells,
                 std::uint64_t now, std::uint64_t half_life) {
    if (now == 0) internal_failure("an event counted before epoch 1");
    chains_pass(ensemble, layout, cells, 0, chain_count(ensemble, layout), now - 1, half_life, {});
}

void add(EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const double> x, std::uint64_t now,
         std::uint64_t half_life) {
    const ScratchRelease release(located_scratch);
    locate(ensemble, layout, x, located_scratch);
    add_located(ensemble, layout, located_scratch, now, half_life);
}

double score(const EnsembleSketch& ensemble, const ChainLayout& layout, std::span<const double> x, std::uint64_t now,
             std::uint64_t half_life) {
    const ScratchRelease release(located_scratch);
    locate(ensemble, layout, x, located_scratch);
    return score_located(ensemble, layout, located_scratch, now, half_life);
}

}  // namespace morvik3::featuresketch
