// The OnlineIForest class: argument conversion and method entries over the
// Online Isolation Forest core.
#include "classes.hpp"
#include "object_protocol.hpp"

#include <span>

#include "onlineiforest/batch.hpp"
#include "onlineiforest/detector.hpp"
#include "frame/rng.hpp"

namespace morvik3::py {
namespace {

namespace core = morvik3::onlineiforest;

struct OnlineIForestClass {
    using State = core::OnlineIForest;
    using Config = core::OnlineIForestConfig;
    static constexpr const char* name = "OnlineIForest";
    static constexpr ClassSlot slot = ClassSlot::online_iforest;
    static constexpr const char* summary =
        "Online Isolation Forest detector for numerical streams.\n\n"
        "Use `update()` or `update_and_score()` to ingest observations. Use\n"
        "`score()` to preview the current anomaly score for a point without mutating\n"
        "detector state.";
    static constexpr DefaultsStyle defaults_style = DefaultsStyle::in_text;
    static constexpr auto parameters = std::tuple{
        required("input_dim", &Config::input_dim, "Number of numerical features in each point."),
        optional("num_trees", &Config::num_trees, "Number of trees in the ensemble.").without_property(),
        optional("window_size", &Config::window_size, "Number of recent points retained by the sliding window."),
        optional("max_leaf_samples", &Config::max_leaf_samples, "Base leaf-splitting threshold."),
    };
    static constexpr SeedParameter seed{"Random seed for deterministic trees."};
    static constexpr std::size_t new_arguments = 1;
    static constexpr DocumentDocs documents = {
        "Serialize detector state to JSON.",
        "Deserialize detector state from JSON previously written by `to_json()`.",
        "Serialize detector state to a JSON file.",
        "Deserialize detector state from a JSON file previously written by `save_json()`.",
    };
    static constexpr const char* doc_is_ready = "Return True once at least one point has been processed.";
    static constexpr const char* doc_entries_seen = "Number of points processed so far.";
    static constexpr const char* doc_memory_bytes =
        "Bytes this detector holds now.\n\n"
        "The points of its window and every tree's nodes and their supports, as\n"
        "allocated: both grow with the window until it is full. Working memory of\n"
        "a call belongs to the calling thread and is not counted.";

    static Result<State> from_json(std::string_view text) { return core::from_json(text); }

    static std::span<const PyMethodDef> methods();

    using Batch =
        PointBatch<core::update, core::score, core::update_and_score, core::learn_rows, core::score_rows>;
};

using P = Protocol<OnlineIForestClass>;

constexpr char point_arg[] = "point";

// Methods taking one `point`, narrowed to 32-bit floats.
template <const char* QualName, Access A, auto Call>
constexpr auto point_method = unary_method<OnlineIForestClass, QualName, point_arg, to_f32_vector, A, Call>;

constexpr char update_name[] = "OnlineIForest.update()";
constexpr char score_name[] = "OnlineIForest.score()";
constexpr char update_and_score_name[] = "OnlineIForest.update_and_score()";

PyObject* num_trees(PyObject* self, PyObject*) {
    return P::read(self, [](const core::OnlineIForest& f) { return core::num_trees(f); });
}

constexpr int kw = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef onlineiforest_methods[] = {
    {"update", as_method<point_method<update_name, Access::exclusive, core::update>>(), kw,
     "update($self, point)\n--\n\nIngest a point without returning its score."},
    {"score", as_method<point_method<score_name, Access::shared, core::score>>(), kw,
     "score($self, point)\n--\n\n"
     "Preview the current anomaly score for `point` without mutating state.\n\n"
     "This can differ from `update_and_score()` because the preview is computed\n"
     "before `point` is learned by the forest, unlike the preview-style scoring\n"
     "semantics used by the other detectors. By contrast,\n"
     "`update_and_score(point)` returns the same value as calling `update(point)`\n"
     "and then `score(point)`.\n\n"
     "Calling this before `is_ready()` is allowed, but the value is not a stable\n"
     "anomaly estimate yet."},
    {"update_and_score", as_method<point_method<update_and_score_name, Access::exclusive, core::update_and_score>>(),
     kw,
     "update_and_score($self, point)\n--\n\n"
     "Ingest a point and return its anomaly score under the updated forest.\n\n"
     "This has the same behavior as calling `update(point)` first and then\n"
     "`score(point)` with the same point. This update-then-score order is\n"
     "specific to Online Isolation Forest."},
    {"num_trees", as_method<num_trees>(), METH_NOARGS, "num_trees($self)\n--\n\nNumber of trees in the ensemble."},
};

std::span<const PyMethodDef> OnlineIForestClass::methods() { return onlineiforest_methods; }

}  // namespace

PyObject* create_onlineiforest_type(PyObject* module) { return Protocol<OnlineIForestClass>::create_type(module); }

}  // namespace morvik3::py
