// The MStream class: argument conversion and method entries over the MStream
// detector core.
#include "classes.hpp"
#include "object_protocol.hpp"

#include <span>

#include "mstream/detector.hpp"
#include "frame/rng.hpp"

namespace morvik3::py {
namespace {

namespace core = morvik3::mstream;

struct MStreamClass {
    using State = core::MStream;
    using Config = core::MStreamConfig;
    static constexpr const char* name = "MStream";
    static constexpr ClassSlot slot = ClassSlot::mstream;
    static constexpr const char* summary =
        "mStream detector for mixed numerical/categorical records.\n\n"
        "`timestamp` is interpreted as a logical time tick, not as wall-clock time.\n"
        "Scores are invariant to adding a constant offset to all timestamps, while a\n"
        "gap of `k` ticks applies the temporal decay factor `alpha` exactly `k` times.";
    static constexpr DefaultsStyle defaults_style = DefaultsStyle::in_text;
    static constexpr auto parameters = std::tuple{
        required("numeric_dim", &Config::numeric_dim, "Number of numerical features in each record."),
        required("categorical_dim", &Config::categorical_dim, "Number of categorical features in each record."),
        optional("num_rows", &Config::num_rows, "Number of hash rows."),
        optional("num_buckets", &Config::num_buckets, "Number of buckets per hash row."),
        optional("alpha", &Config::alpha, "Temporal decay factor in `(0, 1)`."),
    };
    static constexpr SeedParameter seed{"Random seed for deterministic hashing."};
    static constexpr std::size_t new_arguments = 2;
    static constexpr DocumentDocs documents = detector_state_docs;
    static constexpr const char* doc_is_ready = "Return True once the detector has processed at least one record.";
    static constexpr const char* doc_entries_seen = "Return the number of processed records.";
    static constexpr const char* doc_memory_bytes =
        "Bytes this detector holds now.\n\n"
        "The hash parameters of every sketch, the normaliser's ranges and the\n"
        "counts: each count table is sized by `num_rows` and `num_buckets`, but the\n"
        "machine gives a large one memory only for the pages records have reached.\n"
        "Working memory of a call belongs to the calling thread and is not counted.";

    static Result<State> from_json(std::string_view text) { return core::from_json(text); }

    static std::span<const PyMethodDef> methods();

    struct Batch {
        using Columns = std::tuple<FloatRows, IntegerRows, IndexColumn>;
        static constexpr std::array<const char*, 3> arguments = {"numeric", "categorical", "timestamps"};
        static constexpr std::array<const char*, 3> row_arguments = {"numeric", "categorical", "timestamp"};
        static constexpr const char* rows_doc =
            "Row i of `numeric` (a 2-D array of numbers), of `categorical` (a 2-D array\n"
            "of integers) and of `timestamps` (a 1-D array of ticks) make record i. Each\n"
            "is read in place through the buffer protocol, or is any iterable of rows\n"
            "converted as the single call converts that argument; all three hold the\n"
            "same number of rows.";
        static constexpr auto update = core::update;
        static constexpr auto score = core::score;
        static constexpr auto update_and_score = core::update_and_score;
    };
};

using P = Protocol<MStreamClass>;

// {"total": float, "record": float, "numeric_features": [...], "categorical_features": [...]}
PyObject* detailed_to_py(const core::DetailedScore& d) {
    Ref numeric(to_py(d.numeric_features));
    if (!numeric) return nullptr;
    Ref categorical(to_py(d.categorical_features));
    if (!categorical) return nullptr;
    return Py_BuildValue("{s:d,s:d,s:O,s:O}", "total", d.total, "record", d.record, "numeric_features",
                         numeric.get(), "categorical_features", categorical.get());
}

PyObject* current_time(PyObject* self, PyObject*) {
    return P::shared(
        self, [](const core::MStream& m) { return core::current_time(m); },
        [](const std::optional<std::uint64_t>& t) { return t ? to_py(*t) : Py_NewRef(Py_None); }, false);
}

constexpr char numeric_arg[] = "numeric";
constexpr char categorical_arg[] = "categorical";
constexpr char timestamp_arg[] = "timestamp";

// Methods taking one record: (numeric, categorical, timestamp).
template <const char* QualName, Access A, auto Call, auto ToPy = nullptr>
constexpr auto record_method = method<MStreamClass, QualName, A, Call, ToPy, Param<numeric_arg, to_f64_vector>,
                                      Param<categorical_arg, to_i64_vector>, Param<timestamp_arg, to_u64>>;

constexpr char update_name[] = "MStream.update()";
constexpr char score_name[] = "MStream.score()";
constexpr char update_and_score_name[] = "MStream.update_and_score()";
constexpr char score_detailed_name[] = "MStream.score_detailed()";
constexpr char update_and_score_detailed_name[] = "MStream.update_and_score_detailed()";

constexpr int kw = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef mstream_methods[] = {
    {"update", as_method<record_method<update_name, Access::exclusive, core::update>>(), kw,
     "update($self, numeric, categorical, timestamp)\n--\n\nIngest a record without returning its score."},
    {"score", as_method<record_method<score_name, Access::shared, core::score>>(), kw,
     "score($self, numeric, categorical, timestamp)\n--\n\n"
     "Preview the anomaly score for a record without mutating detector state.\n\n"
     "The preview answers what this record would score if it were ingested next,\n"
     "using the same timestamp semantics as `update_and_score()`."},
    {"update_and_score", as_method<record_method<update_and_score_name, Access::exclusive, core::update_and_score>>(),
     kw,
     "update_and_score($self, numeric, categorical, timestamp)\n--\n\n"
     "Ingest a record and return its anomaly score.\n\n"
     "This has the same behavior as calling `score(numeric, categorical, timestamp)`\n"
     "first and then `update(numeric, categorical, timestamp)` with the same record\n"
     "and timestamp.\n\n"
     "`timestamp` must be a monotonically non-decreasing tick index. Only tick\n"
     "differences matter: shifting all timestamps by the same constant does not\n"
     "change the scores."},
    {"score_detailed",
     as_method<record_method<score_detailed_name, Access::shared, core::score_detailed, detailed_to_py>>(), kw,
     "score_detailed($self, numeric, categorical, timestamp)\n--\n\n"
     "Preview the decomposed anomaly score without mutating detector state."},
    {"update_and_score_detailed",
     as_method<record_method<update_and_score_detailed_name, Access::exclusive, core::update_and_score_detailed,
                             detailed_to_py>>(),
     kw,
     "update_and_score_detailed($self, numeric, categorical, timestamp)\n--\n\n"
     "Ingest a record and return the decomposed score used to form the final anomaly score.\n\n"
     "This has the same score-then-update behavior as `update_and_score()`, but\n"
     "returns the decomposed score instead of only the total."},
    {"current_time", as_method<current_time>(), METH_NOARGS,
     "current_time($self)\n--\n\nReturn the last timestamp observed by the detector."},
};

std::span<const PyMethodDef> MStreamClass::methods() { return mstream_methods; }

}  // namespace

PyObject* create_mstream_type(PyObject* module) { return Protocol<MStreamClass>::create_type(module); }

}  // namespace morvik3::py
