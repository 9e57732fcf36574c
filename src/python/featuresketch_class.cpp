// The FeatureSketch class: argument conversion and method entries over the
// FeatureSketch detector core.
#include "classes.hpp"
#include "object_protocol.hpp"

#include <span>

#include "featuresketch/batch.hpp"
#include "featuresketch/detector.hpp"
#include "frame/rng.hpp"

namespace morvik3::py {
namespace {

namespace core = morvik3::featuresketch;

struct FeatureSketchClass {
    using State = core::FeatureSketch;
    using Config = core::FeatureSketchConfig;
    static constexpr const char* name = "FeatureSketch";
    static constexpr ClassSlot slot = ClassSlot::feature_sketch;
    static constexpr const char* summary =
        "FeatureSketch detector for sparse, schema-evolving feature streams.\n\n"
        "A feature event is a mapping from feature name to value, or a sequence of\n"
        "`(name, value)` pairs; names need not be declared in advance. Duplicate\n"
        "names are combined (their values summed) before scoring, and every value\n"
        "must be finite.";
    static constexpr DefaultsStyle defaults_style = DefaultsStyle::in_type;
    static constexpr auto parameters = std::tuple{
        optional("value_projection_dims", &Config::value_projection_dims,
                 "Length of the random projection of the feature values."),
        optional("presence_projection_dims", &Config::presence_projection_dims,
                 "Length of the random projection of which features are present."),
        optional("chains_per_ensemble", &Config::chains_per_ensemble,
                 "Number of chains in each of the value and presence ensembles."),
        optional("chain_depth", &Config::chain_depth, "Number of levels per chain; each level halves the bin width.")
            .read_back_as("Number of levels per chain."),
        optional("sketch_rows", &Config::sketch_rows, "Number of count-min rows per chain level."),
        optional("sketch_buckets", &Config::sketch_buckets, "Number of buckets per count-min row."),
        optional("decay_half_life", &Config::decay_half_life, "Half-life of all counts, in events."),
    };
    static constexpr SeedParameter seed{"Random seed for deterministic projections, chains, and sketches."};
    static constexpr std::size_t new_arguments = 0;
    static constexpr DocumentDocs documents = detector_state_docs;
    static constexpr const char* doc_is_ready = "Return True once the detector has processed at least one event.";
    static constexpr const char* doc_entries_seen = "Return the number of processed events.";
    static constexpr const char* doc_memory_bytes =
        "Bytes this detector holds now.\n\n"
        "Its chains, its hash seeds and the cells of its count-min sketches that\n"
        "events have reached: the cells are sized by the configuration, but the\n"
        "machine gives them memory a page at a time, as events first fall there.\n"
        "Working memory of a call belongs to the calling thread and is not counted.";

    static Result<State> from_json(std::string_view text) { return core::from_json(text); }

    static std::span<const PyMethodDef> methods();

    struct Batch;
};

using P = Protocol<FeatureSketchClass>;

constexpr char feature_arg[] = "feature";

// Methods taking one feature event.
template <const char* QualName, Access A, auto Call>
constexpr auto feature_method = unary_method<FeatureSketchClass, QualName, feature_arg, to_key_value, A, Call>;

constexpr char update_name[] = "FeatureSketch.update()";
constexpr char score_name[] = "FeatureSketch.score()";
constexpr char update_and_score_name[] = "FeatureSketch.update_and_score()";

Result<void> update(core::FeatureSketch& s, const KeyValueLike& event) { return core::update(s, event); }
Result<double> score(const core::FeatureSketch& s, const KeyValueLike& event) { return core::score(s, event); }
Result<double> update_and_score(core::FeatureSketch& s, const KeyValueLike& event) {
    return core::update_and_score(s, event);
}

struct FeatureSketchClass::Batch {
    using Columns = std::tuple<EventRows>;
    static constexpr std::array<const char*, 1> arguments = {"events"};
    static constexpr std::array<const char*, 1> row_arguments = {feature_arg};
    static constexpr const char* rows_doc =
        "`events` is any iterable of feature events, each converted as the single\n"
        "call converts one `feature`.";
    static constexpr const char* threads_doc =
        "`threads` (keyword only) shares the chains out among that many threads of\n"
        "a pool the module keeps (0: one for each core the process may run on), and\n"
        "the events' projections too; the results are the same bit for bit for every\n"
        "value. A call that finds the pool busy with another runs on the calling\n"
        "thread alone.";
    static constexpr auto update = py::update;
    static constexpr auto score = py::score;
    static constexpr auto update_and_score = py::update_and_score;

    template <BatchCall Call, class S>
    static Result<void> run(S& state, Columns& columns, std::size_t rows, std::span<double> scores,
                            std::size_t threads, std::size_t& done) {
        const std::span<const KeyValueLike> events = std::get<0>(columns).events().first(rows);
        if constexpr (Call == BatchCall::score) {
            return core::score_events(state, events, scores, threads, done);
        } else {
            return core::learn_events(state, events, scores, threads, done);
        }
    }
};

constexpr int kw = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef featuresketch_methods[] = {
    {"update", as_method<feature_method<update_name, Access::exclusive, update>>(), kw,
     "update($self, feature)\n--\n\nIngest a feature event without returning its score."},
    {"score", as_method<feature_method<score_name, Access::shared, score>>(), kw,
     "score($self, feature)\n--\n\n"
     "Preview the current anomaly score for a feature event without mutating state.\n\n"
     "This is the same pre-ingest score that `update_and_score()` would return\n"
     "if called next. It is computed against the current sketches and does not\n"
     "advance the decay epoch or `entries_seen()`."},
    {"update_and_score", as_method<feature_method<update_and_score_name, Access::exclusive, update_and_score>>(), kw,
     "update_and_score($self, feature)\n--\n\n"
     "Ingest a feature event and return its anomaly score.\n\n"
     "This has the same behavior as calling `score(feature)` first and then\n"
     "`update(feature)` with the same event. Unlike a literal two-call\n"
     "sequence, this method normalizes and projects the input once."},
};

std::span<const PyMethodDef> FeatureSketchClass::methods() { return featuresketch_methods; }

}  // namespace

PyObject* create_featuresketch_type(PyObject* module) { return Protocol<FeatureSketchClass>::create_type(module); }

}  // namespace morvik3::py
