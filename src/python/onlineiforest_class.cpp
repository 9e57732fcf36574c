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
    static constexpr const char* doc =
        "OnlineIForest(input_dim, num_trees=32, window_size=2048, max_leaf_samples=32, seed=None)\n--\n\n"
        "Online Isolation Forest detector for numerical streams.\n\n"
        "Use `update()` or `update_and_score()` to ingest observations. Use\n"
        "`score()` to preview the current anomaly score for a point without mutating\n"
        "detector state.\n\n"
        "Parameters\n"
        "----------\n"
        "input_dim : int\n"
        "    Number of numerical features in each point.\n"
        "num_trees : int, optional\n"
        "    Number of trees in the ensemble (default 32).\n"
        "window_size : int, optional\n"
        "    Number of recent points retained by the sliding window (default 2048).\n"
        "max_leaf_samples : int, optional\n"
        "    Base leaf-splitting threshold (default 32).\n"
        "seed : int, optional\n"
        "    Random seed for deterministic trees.";
    static constexpr const char* doc_to_json = "Serialize detector state to JSON.";
    static constexpr const char* doc_from_json =
        "Deserialize detector state from JSON previously written by `to_json()`.";
    static constexpr const char* doc_save_json = "Serialize detector state to a JSON file.";
    static constexpr const char* doc_load_json =
        "Deserialize detector state from a JSON file previously written by `save_json()`.";
    static constexpr const char* doc_is_ready = "Return True once at least one point has been processed.";
    static constexpr const char* doc_entries_seen = "Number of points processed so far.";
    static constexpr bool has_getnewargs = true;

    static constexpr const char* doc_memory_bytes =
        "Bytes this detector holds now.\n\n"
        "The points of its window and every tree's nodes and their supports, as\n"
        "allocated: both grow with the window until it is full. Working memory of\n"
        "a call belongs to the calling thread and is not counted.";

    static constexpr auto properties() {
        return std::tuple{
            Property{"input_dim", &Config::input_dim, "Number of numerical features in each point."},
            Property{"window_size", &Config::window_size, "Number of recent points retained by the sliding window."},
            Property{"max_leaf_samples", &Config::max_leaf_samples, "Base leaf-splitting threshold."},
        };
    }
    static PyObject* getnewargs(const State& s) {
        return Py_BuildValue("(K)", static_cast<unsigned long long>(s.config.input_dim));
    }
    static Result<State> from_json(std::string_view text) { return core::from_json(text); }

    static int tp_init(PyObject* self, PyObject* args, PyObject* kwargs);
    static std::span<const PyMethodDef> methods();

    using Batch =
        PointBatch<core::update, core::score, core::update_and_score, core::learn_rows, core::score_rows>;
};

using P = Protocol<OnlineIForestClass>;

int OnlineIForestClass::tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Signature sig("OnlineIForest.__new__()",
                               {"input_dim", "num_trees", "window_size", "max_leaf_samples", "seed"}, 1);
    PyObject* a[5];
    if (!sig.parse(args, kwargs, a)) return -1;
    core::OnlineIForestConfig config;
    std::optional<std::uint64_t> seed;
    if (!to_u64(a[0], "input_dim", config.input_dim)) return -1;
    if (a[1] && !to_u64(a[1], "num_trees", config.num_trees)) return -1;
    if (a[2] && !to_u64(a[2], "window_size", config.window_size)) return -1;
    if (a[3] && !to_u64(a[3], "max_leaf_samples", config.max_leaf_samples)) return -1;
    if (!to_seed(a[4], "seed", seed)) return -1;

    return P::construct(self, seed, checked_config(config, config.validate()), core::OnlineIForest::create);
}

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
