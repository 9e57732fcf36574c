#include "featuresketch/detector.hpp"

#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "frame/scratch.hpp"
#include "frame/document.hpp"

namespace morvik3::featuresketch {

namespace {

Result<void> invalid(const char* message) { return std::unexpected(Error::invalid_argument(message)); }

// Per-thread working storage of one event: `score` runs on several threads at
// once over one detector, and steady-state calls reuse the capacity.
struct EventScratch {
    NormaliseScratch normalise;
    std::vector<NormalisedFeature> features;
    std::vector<double> value;
    std::vector<double> presence;
    std::vector<std::uint64_t> value_cells;
    std::vector<std::uint64_t> presence_cells;
    std::vector<double> chain_scores;  // the value ensemble's, then the presence ensemble's

    // What one large event or configuration grew goes back when the call ends.
    [[nodiscard]] auto release_when_done() {
        return ScratchRelease(normalise.entries, features, value, presence, value_cells, presence_cells,
                              chain_scores);
    }
};

thread_local EventScratch event_scratch;

// Normalises, projects and locates the event's cells in both ensembles.
Result<void> prepare(const FeatureSketch& sketch, const KeyValueLike& event, EventScratch& w) {
    if (auto normalised = normalise(event, w.normalise, w.features); !normalised) return normalised;
    allocating([&] {
        w.value.resize(sketch.config.value_projection_dims);
        w.presence.resize(sketch.config.presence_projection_dims + 1);
    });
    project(w.features, sketch.projection_seeds, w.value, w.presence);
    locate(sketch.value_sketch, sketch.value_layout, w.value, w.value_cells);
    locate(sketch.presence_sketch, sketch.presence_layout, w.presence, w.presence_cells);
    return {};
}

double score_prepared(const FeatureSketch& sketch, const EventScratch& w) {
    const std::uint64_t now = sketch.current_epoch;
    const std::uint64_t half_life = sketch.config.decay_half_life;
    const double value_score = score_located(sketch.value_sketch, sketch.value_layout, w.value_cells, now, half_life);
    const double presence_score =
        score_located(sketch.presence_sketch, sketch.presence_layout, w.presence_cells, now, half_life);
    return (value_score + presence_score) * 0.5;
}

Result<void> check_countable(const FeatureSketch& sketch) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    if (sketch.current_epoch == max) return std::unexpected(Error::overflow("FeatureSketch epoch overflow"));
    if (sketch.entries_seen == max) return std::unexpected(Error::overflow("FeatureSketch entries_seen overflow"));
    return {};
}

// Counts the prepared event at the next epoch and, when `scoring`, returns
// its score at the current one, both in one pass over its cells.
double count_prepared(FeatureSketch& sketch, EventScratch& w, bool scoring) {
    const std::uint64_t now = sketch.current_epoch;
    const std::uint64_t half_life = sketch.config.decay_half_life;
    const std::size_t value_chains = chain_count(sketch.value_sketch, sketch.value_layout);
    const std::size_t presence_chains = chain_count(sketch.presence_sketch, sketch.presence_layout);
    allocating([&] { w.chain_scores.resize(scoring ? value_chains + presence_chains : 0); });
    const std::span<double> scores(w.chain_scores);
    const auto value_scores = scoring ? scores.first(value_chains) : std::span<double>();
    const auto presence_scores = scoring ? scores.last(presence_chains) : std::span<double>();
    visit_chains(sketch.value_sketch, sketch.value_layout, w.value_cells, 0, value_chains, now, half_life,
                 value_scores);
    visit_chains(sketch.presence_sketch, sketch.presence_layout, w.presence_cells, 0, presence_chains, now,
                 half_life, presence_scores);
    sketch.current_epoch = now + 1;
    sketch.entries_seen += 1;
    if (!scoring) return 0.0;
    return (mean_in_order(value_scores) + mean_in_order(presence_scores)) * 0.5;
}

std::string count(std::uint64_t n) { return std::to_string(n); }

std::optional<std::string> layout_problem(const ChainLayout& layout, const char* name, const FeatureSketchConfig& config,
                                          std::uint64_t coordinates) {
    const std::string label = name;
    if (layout.chain_depth != config.chain_depth)
        return label + " has chain_depth " + count(layout.chain_depth) + ", expected " + count(config.chain_depth);
    const std::uint64_t level_count = config.chains_per_ensemble * config.chain_depth;
    if (layout.levels.size() != level_count)
        return label + " has " + count(layout.levels.size()) + " levels, expected " + count(level_count);
    for (std::size_t i = 0; i < layout.levels.size(); ++i) {
        if (layout.levels[i].dimension >= coordinates)
            return label + " level " + count(i) + " reads dimension " + count(layout.levels[i].dimension) +
                   " of a vector of length " + count(coordinates);
    }
    return std::nullopt;
}

std::optional<std::string> ensemble_problem(const EnsembleSketch& ensemble, const char* name,
                                            const FeatureSketchConfig& config) {
    const std::string label = name;
    const std::uint64_t level_count = config.chains_per_ensemble * config.chain_depth;
    if (ensemble.levels.size() != level_count)
        return label + " has " + count(ensemble.levels.size()) + " levels, expected " + count(level_count);
    if (ensemble.reference_masses.size() != level_count)
        return label + " has " + count(ensemble.reference_masses.size()) + " reference_masses, expected " +
               count(level_count);
    const std::uint64_t cell_count = config.sketch_rows * config.sketch_buckets;
    for (std::size_t i = 0; i < ensemble.levels.size(); ++i) {
        const LevelSketch& level = ensemble.levels[i];
        const std::string at = label + " level " + count(i);
        if (level.rows != config.sketch_rows)
            return at + " has rows " + count(level.rows) + ", expected " + count(config.sketch_rows);
        if (level.buckets != config.sketch_buckets)
            return at + " has buckets " + count(level.buckets) + ", expected " + count(config.sketch_buckets);
        if (level.row_hash_seeds.seeds.size() != level.rows)
            return at + " has " + count(level.row_hash_seeds.seeds.size()) + " row hash seeds, expected " +
                   count(level.rows);
        if (level.cells.size() != cell_count)
            return at + " has " + count(level.cells.size()) + " cells, expected " + count(cell_count);
    }
    return std::nullopt;
}

// The first way in which a parsed document's layouts and sketches disagree
// with its (already validated) configuration.
std::optional<std::string> shape_problem(const FeatureSketch& s) {
    const FeatureSketchConfig& c = s.config;
    if (auto p = layout_problem(s.value_layout, "value_layout", c, c.value_projection_dims)) return p;
    if (auto p = layout_problem(s.presence_layout, "presence_layout", c, c.presence_projection_dims + 1)) return p;
    if (auto p = ensemble_problem(s.value_sketch, "value_sketch", c)) return p;
    if (auto p = ensemble_problem(s.presence_sketch, "presence_sketch", c)) return p;
    return std::nullopt;
}

// Draws everything in its fixed order from one generator, which is then
// discarded.
FeatureSketch build(const FeatureSketchConfig& config, std::uint64_t resolved_seed) {
    auto rng = Xoshiro256PlusPlus::seed_from_u64(resolved_seed);
    FeatureSketch s;
    s.config = config;
    for (Seed4* seed : {&s.projection_seeds.value, &s.projection_seeds.presence, &s.projection_seeds.feature_lo,
                        &s.projection_seeds.feature_hi}) {
        for (auto& word : seed->words) word = rng.next_u64();
    }
    s.value_layout =
        build_layout(config.chains_per_ensemble, config.chain_depth, config.value_projection_dims, false, rng);
    s.presence_layout =
        build_layout(config.chains_per_ensemble, config.chain_depth, config.presence_projection_dims, true, rng);
    const std::uint64_t level_count = config.chains_per_ensemble * config.chain_depth;
    s.value_sketch = build_ensemble(config.sketch_rows, config.sketch_buckets, level_count, rng);
    s.presence_sketch = build_ensemble(config.sketch_rows, config.sketch_buckets, level_count, rng);
    return s;
}

}  // namespace

Result<void> FeatureSketchConfig::validate() const {
    const FeatureSketchConfig& c = *this;
    if (c.value_projection_dims == 0) return invalid("value_projection_dims must be > 0");
    if (c.presence_projection_dims == 0) return invalid("presence_projection_dims must be > 0");
    if (c.chains_per_ensemble == 0) return invalid("chains_per_ensemble must be > 0");
    if (c.chain_depth == 0) return invalid("chain_depth must be > 0");
    // 2^k stays finite for k <= 1023, so every level's width stays positive.
    if (c.chain_depth > max_chain_depth) return invalid("chain_depth is too large to keep chain bin widths positive");
    if (c.sketch_rows == 0) return invalid("sketch_rows must be > 0");
    if (c.sketch_buckets < 2) return invalid("sketch_buckets must be >= 2");
    if (c.decay_half_life == 0) return invalid("decay_half_life must be > 0");
    if (c.presence_projection_dims == std::numeric_limits<std::uint64_t>::max())
        return invalid("presence_projection_dims plus the feature-count signal must fit in usize");
    std::uint64_t levels = 0;
    if (__builtin_mul_overflow(c.chains_per_ensemble, c.chain_depth, &levels))
        return invalid("chains_per_ensemble * chain_depth must fit in usize");
    std::uint64_t cells_per_level = 0;
    if (__builtin_mul_overflow(c.sketch_rows, c.sketch_buckets, &cells_per_level))
        return invalid("sketch_rows * sketch_buckets must fit in usize");
    std::uint64_t total = 0;
    if (__builtin_mul_overflow(levels, cells_per_level, &total) ||
        total > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return invalid("total FeatureSketch sketch cells must fit in usize");
    return {};
}

ByteCount memory_need(const FeatureSketchConfig& c) {
    const std::uint64_t levels = c.chains_per_ensemble * c.chain_depth;  // validated: no overflow
    const ByteCount level = ByteCount::of<DecayedValue>(c.sketch_rows) * c.sketch_buckets +
                            ByteCount::of<Seed4>(c.sketch_rows) +
                            ByteCount::of(1, sizeof(LevelSketch) + sizeof(DecayedValue) + sizeof(ChainLevel));
    // One event's vectors and the cells it touches in both ensembles.
    const ByteCount call = ByteCount::of<double>(c.value_projection_dims) +
                           ByteCount::of<double>(c.presence_projection_dims) + ByteCount::of<double>(1) +
                           ByteCount::of<std::uint64_t>(levels) * c.sketch_rows * 2;
    return level * levels * 2 + call;
}

std::uint64_t memory_bytes(const FeatureSketch& sketch) {
    std::uint64_t bytes = sizeof(FeatureSketch) + held(sketch.value_layout.levels) + held(sketch.presence_layout.levels);
    for (const EnsembleSketch* e : {&sketch.value_sketch, &sketch.presence_sketch}) {
        bytes += held(e->levels) + held(e->reference_masses);
        for (const LevelSketch& level : e->levels) bytes += held(level.row_hash_seeds.seeds) + held(level.cells);
    }
    return bytes;
}

Result<FeatureSketch> FeatureSketch::create(const FeatureSketchConfig& config, std::uint64_t resolved_seed) {
    if (auto valid = config.validate(); !valid) return std::unexpected(valid.error());
    return allocating([&] { return build(config, resolved_seed); });
}

Result<double> score(const FeatureSketch& sketch, const KeyValueLike& event) {
    EventScratch& w = event_scratch;
    const auto release = w.release_when_done();
    if (auto prepared = prepare(sketch, event, w); !prepared) return std::unexpected(prepared.error());
    return score_prepared(sketch, w);
}

Result<void> update(FeatureSketch& sketch, const KeyValueLike& event) {
    EventScratch& w = event_scratch;
    const auto release = w.release_when_done();
    if (auto prepared = prepare(sketch, event, w); !prepared) return prepared;
    if (auto countable = check_countable(sketch); !countable) return countable;
    count_prepared(sketch, w, false);
    return {};
}

Result<double> update_and_score(FeatureSketch& sketch, const KeyValueLike& event) {
    EventScratch& w = event_scratch;
    const auto release = w.release_when_done();
    if (auto prepared = prepare(sketch, event, w); !prepared) return std::unexpected(prepared.error());
    if (auto countable = check_countable(sketch); !countable) return std::unexpected(countable.error());
    return count_prepared(sketch, w, true);
}

std::string to_json(const FeatureSketch& sketch) { return json::write(sketch); }

Result<FeatureSketch> from_json(std::string_view text, std::uint64_t memory) {
    const std::string prefix = "invalid FeatureSketch JSON: ";
    const auto unsupported = [&] { return std::unexpected(Error::invalid_argument(prefix + "unsupported format version")); };
    // The version is judged before the configuration it may describe differently.
    if (auto version = json::read_field<std::uint32_t, FeatureSketch>(text, "format_version"); version && *version != 1)
        return unsupported();
    // The configuration's messages go unprefixed, as the constructor's do.
    const auto check = [](const FeatureSketchConfig& c) { return c.validate(); };
    auto parsed = read_document<FeatureSketch>(text, prefix, "FeatureSketch", check, memory);
    if (!parsed) return std::unexpected(parsed.error());
    if (parsed->format_version != 1) return unsupported();
    if (auto problem = shape_problem(*parsed)) return std::unexpected(Error::invalid_argument(prefix + *problem));
    return std::move(*parsed);
}

std::string repr(const FeatureSketch& sketch) {
    const FeatureSketchConfig& c = sketch.config;
    return "FeatureSketch(value_projection_dims=" + count(c.value_projection_dims) +
           ", presence_projection_dims=" + count(c.presence_projection_dims) +
           ", chains_per_ensemble=" + count(c.chains_per_ensemble) + ", chain_depth=" + count(c.chain_depth) +
           ", sketch_rows=" + count(c.sketch_rows) + ", sketch_buckets=" + count(c.sketch_buckets) +
           ", decay_half_life=" + count(c.decay_half_life) + ", entries_seen=" + count(sketch.entries_seen) + ")";
}

}  // namespace morvik3::featuresketch
