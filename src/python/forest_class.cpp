// The Forest class: argument conversion and method entries over the Random
// Cut Forest core.
#include "classes.hpp"
#include "object_protocol.hpp"

#include <span>

#include "morvik/forest/batch.hpp"
#include "morvik/forest/document.hpp"
#include "morvik/forest/impute.hpp"
#include "morvik/forest/mod.hpp"
#include "morvik/forest/query.hpp"
#include "morvik/forest/update.hpp"
#include "frame/rng.hpp"

namespace morvik3::py {
namespace {

namespace core = morvik3::morvik;

struct ForestClass {
    using State = core::Forest;
    using Config = core::MorvikConfig;
    static constexpr const char* name = "Forest";
    static constexpr ClassSlot slot = ClassSlot::forest;
    static constexpr const char* summary =
        "A Random Cut Forest: an ensemble of Random Cut Trees sharing point storage.";
    static constexpr DefaultsStyle defaults_style = DefaultsStyle::in_type;
    // The properties read the arguments as the configuration holds them: an
    // automatic value stays 0, as it reads back from a document.
    static constexpr auto parameters = std::tuple{
        required("input_dim", &Config::input_dim, "Number of features of one base observation."),
        optional("shingle_size", &Config::shingle_size, "Number of consecutive base observations that form one point."),
        optional("num_trees", &Config::num_trees, "Number of trees in the ensemble.").without_property(),
        optional("capacity", &Config::capacity, "Number of points each tree's sampler keeps."),
        optional("time_decay", &Config::time_decay, "Decay rate of the sampler weights; 0.0 means 0.1 / capacity.")
            .read_back_as("Decay rate of the sampler weights as given; 0.0 means 0.1 / capacity."),
        optional("output_after", &Config::output_after,
                 "Observations before the forest reports ready; 0 means capacity / 4 + 1.")
            .read_back_as("Observations before the forest reports ready as given; 0 means capacity / 4 + 1."),
        optional("internal_shingling", &Config::internal_shingling,
                 "Pass one base observation per call and let the forest keep the shingle.")
            .read_back_as("Whether the forest keeps the shingle and takes one base observation per call."),
        optional("initial_accept_fraction", &Config::initial_accept_fraction,
                 "Warm-up acceptance parameter of the samplers, in [0.0, 1.0]."),
    };
    static constexpr SeedParameter seed{"Random seed; None draws one from the operating system."};
    static constexpr std::size_t new_arguments = 1;
    static constexpr DocumentDocs documents = {
        "Serialize the entire forest state to a JSON string.",
        "Deserialize a forest from a JSON string previously written by `to_json()`.",
        "Serialize the entire forest state to a JSON file.",
        "Deserialize a forest from a JSON file previously written by `save_json()`.",
    };
    static constexpr const char* doc_is_ready = "Return True once scoring functions return meaningful values.";
    static constexpr const char* doc_entries_seen = "Number of observations processed so far.";
    static constexpr const char* doc_memory_bytes =
        "Bytes this forest holds now.\n\n"
        "Its trees' nodes and boxes, its samplers, the shingle and the rows of the\n"
        "shared point store written so far: the store is sized for every sampler's\n"
        "points, but the machine gives it memory only as rows are used. Working\n"
        "memory of a call belongs to the calling thread and is not counted.";

    static Result<State> from_json(std::string_view text) { return core::from_json(text); }
    static std::span<const PyMethodDef> methods();

    using Batch =
        PointBatch<core::update, core::score, core::update_and_score, core::learn_rows, core::score_rows>;
};

using P = Protocol<ForestClass>;

constexpr char point_arg[] = "point";

// Methods taking one `point`, narrowed to 32-bit floats.
template <const char* QualName, Access A, auto Call>
constexpr auto point_method = unary_method<ForestClass, QualName, point_arg, to_f32_vector, A, Call>;

constexpr char update_name[] = "Forest.update()";
constexpr char update_and_score_name[] = "Forest.update_and_score()";
constexpr char score_name[] = "Forest.score()";
constexpr char displacement_score_name[] = "Forest.displacement_score()";
constexpr char density_name[] = "Forest.density()";
constexpr char attribution_name[] = "Forest.attribution()";
constexpr char near_neighbors_name[] = "Forest.near_neighbors()";
constexpr char impute_name[] = "Forest.impute()";
constexpr char extrapolate_name[] = "Forest.extrapolate()";
constexpr char look_ahead_arg[] = "look_ahead";

// attribution(): a list of {"below": float, "above": float}, one per dimension.
PyObject* attribution_to_py(const std::vector<core::Attribution>& rows) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyObject* d = Py_BuildValue("{s:d,s:d}", "below", rows[i].below, "above", rows[i].above);
        if (d == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d);
    }
    return list.release();
}

PyObject* attribution(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig(attribution_name, {point_arg}, 1);
    PyObject* a[1];
    if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
    std::vector<float> point;
    if (!to_f32_vector(a[0], point_arg, point)) return nullptr;
    return P::shared(
        self, [&](const core::Forest& f) { return core::attribution(f, point); }, attribution_to_py);
}

// near_neighbors(): a list of {"score": float, "point": [float], "distance": float}.
PyObject* neighbors_to_py(const std::vector<core::Neighbor>& found) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < found.size(); ++k) {
        Ref point(to_py(found[k].point));
        if (!point) return nullptr;
        PyObject* d = Py_BuildValue("{s:d,s:O,s:d}", "score", found[k].score, "point", point.get(), "distance",
                                    found[k].distance);
        if (d == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), d);
    }
    return list.release();
}

PyObject* near_neighbors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig(near_neighbors_name, {point_arg, "top_k", "percentile"}, 1);
    PyObject* a[3];
    if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
    std::vector<float> point;
    std::uint64_t top_k = 10, percentile = 50;
    if (!to_f32_vector(a[0], point_arg, point)) return nullptr;
    if (a[1] && !to_u64(a[1], "top_k", top_k)) return nullptr;
    if (a[2] && !to_u64(a[2], "percentile", percentile)) return nullptr;
    return P::shared(
        self, [&](const core::Forest& f) { return core::near_neighbors(f, point, top_k, percentile); },
        neighbors_to_py);
}

PyObject* impute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig(impute_name, {point_arg, "missing", "centrality"}, 2);
    PyObject* a[3];
    if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
    std::vector<float> point;
    std::vector<std::uint64_t> missing;
    double centrality = 1.0;
    if (!to_f32_vector(a[0], point_arg, point)) return nullptr;
    if (!to_index_list(a[1], "missing", missing)) return nullptr;
    if (a[2] && !to_f64(a[2], "centrality", centrality)) return nullptr;
    return P::shared(self, [&](const core::Forest& f) { return core::impute(f, point, missing, centrality); });
}

PyObject* num_trees(PyObject* self, PyObject*) {
    return P::read(self, [](const core::Forest& f) { return core::num_trees(f); });
}

constexpr int kw = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef forest_methods[] = {
    {"update", as_method<point_method<update_name, Access::exclusive, core::update>>(), kw,
     "update($self, point)\n--\n\nIncorporate a new observation into the forest.\n\n"
     "When `internal_shingling` is True, pass one base observation of length\n"
     "`input_dim`. Otherwise pass the full shingled vector of length\n"
     "`input_dim * shingle_size`."},
    {"update_and_score", as_method<point_method<update_and_score_name, Access::exclusive, core::update_and_score>>(), kw,
     "update_and_score($self, point)\n--\n\nIngest an observation and return its anomaly score.\n\n"
     "This has the same behavior as calling `score(point)` first and then\n"
     "`update(point)` with the same observation."},
    {"score", as_method<point_method<score_name, Access::shared, core::score>>(), kw,
     "score($self, point)\n--\n\nAnomaly score for `point`. Higher means more anomalous."},
    {"displacement_score", as_method<point_method<displacement_score_name, Access::shared, core::displacement_score>>(),
     kw, "displacement_score($self, point)\n--\n\nDisplacement-based anomaly score."},
    {"attribution", as_method<attribution>(), kw,
     "attribution($self, point)\n--\n\nPer-dimension attribution of the anomaly score.\n\n"
     "Returns a list of length `input_dim * shingle_size`."},
    {"density", as_method<point_method<density_name, Access::shared, core::density>>(), kw,
     "density($self, point)\n--\n\nDensity estimate at `point`. Higher means a denser neighbourhood.\n\n"
     "Each tree routes `point` to a leaf and counts the copies of that leaf's\n"
     "sample per unit of L1 distance: the distance from `point` to the sample,\n"
     "or the spread of the box of the leaf's parent when that is larger (a\n"
     "tree holding one distinct point answers infinity at that point). The\n"
     "result is the average over all trees. It falls as `point` moves away\n"
     "from the data, and scaling the data and `point` by c divides it by c."},
    {"near_neighbors", as_method<near_neighbors>(), kw,
     "near_neighbors($self, point, top_k=10, percentile=50)\n--\n\n"
     "Find approximate near-neighbours of `point`.\n\n"
     "`percentile` controls per-tree traversal aggressiveness in `[0, 100]`;\n"
     "lower values visit more branches and usually return more candidates.\n"
     "Returns a list sorted by distance, with duplicate points across trees\n"
     "merged by point index. At most `top_k` results are returned."},
    {"impute", as_method<impute>(), kw,
     "impute($self, point, missing, centrality=1.0)\n--\n\nImpute the `missing` positions of `point`.\n\n"
     "`point` must have the full dimensionality (`input_dim * shingle_size`).\n"
     "Values at `missing` indices are ignored; the returned list fills them\n"
     "with the median of the nearest-neighbour estimates across all trees.\n"
     "When `centrality = 1.0`, the nearest neighbour in each tree is selected\n"
     "deterministically; lower values introduce randomness."},
    {"extrapolate",
     as_method<unary_method<ForestClass, extrapolate_name, look_ahead_arg, to_u64, Access::shared, core::extrapolate>>(),
     kw, "extrapolate($self, look_ahead)\n--\n\n"
     "Predict the next `look_ahead` base observations beyond the current shingle buffer.\n\n"
     "Requires `internal_shingling = True`, `shingle_size > 1`, and\n"
     "`look_ahead <= shingle_size`. Returns a list of length\n"
     "`look_ahead * input_dim`."},
    {"num_trees", as_method<num_trees>(), METH_NOARGS, "num_trees($self)\n--\n\nNumber of trees in the ensemble."},
};

std::span<const PyMethodDef> ForestClass::methods() { return forest_methods; }

}  // namespace

PyObject* create_forest_type(PyObject* module) { return Protocol<ForestClass>::create_type(module); }

}  // namespace morvik3::py
