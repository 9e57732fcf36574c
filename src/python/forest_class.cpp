// The Forest class: argument conversion and method entries over the Random
// Cut Forest core.
#include "classes.hpp"
#include "object_protocol.hpp"

#include <span>

#include "morvik/forest/document.hpp"
#include "morvik/forest/mod.hpp"
#include "morvik/forest/query.hpp"
#include "morvik/forest/update.hpp"
#include "rng.hpp"

namespace morvik3::py {
namespace {

namespace core = morvik3::morvik;

struct ForestClass {
    using State = core::Forest;
    static constexpr const char* name = "Forest";
    static constexpr const char* doc =
        "Forest(input_dim, shingle_size=1, num_trees=50, capacity=256, time_decay=0.0, output_after=0, "
        "internal_shingling=True, initial_accept_fraction=0.125, seed=None)\n--\n\n"
        "A Random Cut Forest: an ensemble of Random Cut Trees sharing point storage.\n\n"
        "Parameters\n"
        "----------\n"
        "input_dim : int\n"
        "    Number of features of one base observation.\n"
        "shingle_size : int, default 1\n"
        "    Number of consecutive base observations that form one point.\n"
        "num_trees : int, default 50\n"
        "    Number of trees in the ensemble.\n"
        "capacity : int, default 256\n"
        "    Number of points each tree's sampler keeps.\n"
        "time_decay : float, default 0.0\n"
        "    Decay rate of the sampler weights; 0.0 means 0.1 / capacity.\n"
        "output_after : int, default 0\n"
        "    Observations before the forest reports ready; 0 means capacity / 4 + 1.\n"
        "internal_shingling : bool, default True\n"
        "    Pass one base observation per call and let the forest keep the shingle.\n"
        "initial_accept_fraction : float, default 0.125\n"
        "    Warm-up acceptance parameter of the samplers, in [0.0, 1.0].\n"
        "seed : int or None, default None\n"
        "    Random seed; None draws one from the operating system.";
    static constexpr const char* doc_to_json = "Serialize the entire forest state to a JSON string.";
    static constexpr const char* doc_from_json =
        "Deserialize a forest from a JSON string previously written by `to_json()`.";
    static constexpr const char* doc_save_json = "Serialize the entire forest state to a JSON file.";
    static constexpr const char* doc_load_json =
        "Deserialize a forest from a JSON file previously written by `save_json()`.";
    static constexpr const char* doc_is_ready = "Return True once scoring functions return meaningful values.";
    static constexpr const char* doc_entries_seen = "Number of observations processed so far.";
    static constexpr bool has_getnewargs = true;

    static PyObject* getnewargs(const State& s) {
        return Py_BuildValue("(K)", static_cast<unsigned long long>(s.config.input_dim));
    }
    static std::string to_json(const State& s) { return core::to_json(s); }
    static Result<State> from_json(std::string_view text) { return core::from_json(text); }
    static std::string repr(const State& s) { return core::repr(s); }
    static bool is_ready(const State& s) { return core::is_ready(s); }
    static std::uint64_t entries_seen(const State& s) { return core::entries_seen(s); }

    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
    static std::span<const PyMethodDef> methods();

    struct Batch {
        using Columns = std::tuple<PointRows>;
        static constexpr std::array<const char*, 1> arguments = {"points"};
        static constexpr std::array<const char*, 1> row_arguments = {"point"};
        static constexpr const char* rows_doc =
            "`points` is a 2-D array of any numeric dtype, read in place through the\n"
            "buffer protocol (C- or Fortran-ordered or strided), or any iterable of point\n"
            "sequences converted as the single call converts one point.";
        static constexpr auto update = core::update;
        static constexpr auto score = core::score;
        static constexpr auto update_and_score = core::update_and_score;
    };
};

using P = Protocol<ForestClass>;

constexpr char point_arg[] = "point";

PyObject* ForestClass::tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature sig("Forest.__new__()",
                               {"input_dim", "shingle_size", "num_trees", "capacity", "time_decay", "output_after",
                                "internal_shingling", "initial_accept_fraction", "seed"},
                               1);
    PyObject* a[9];
    if (!sig.parse(args, kwargs, a)) return nullptr;
    std::uint64_t input_dim = 0, shingle_size = 1, num_trees = 50, capacity = 256, output_after = 0;
    double time_decay = 0.0, initial_accept_fraction = 0.125;
    bool internal_shingling = true;
    std::optional<std::uint64_t> seed;
    if (!to_u64(a[0], "input_dim", input_dim)) return nullptr;
    if (a[1] && !to_u64(a[1], "shingle_size", shingle_size)) return nullptr;
    if (a[2] && !to_u64(a[2], "num_trees", num_trees)) return nullptr;
    if (a[3] && !to_u64(a[3], "capacity", capacity)) return nullptr;
    if (a[4] && !to_f64(a[4], "time_decay", time_decay)) return nullptr;
    if (a[5] && !to_u64(a[5], "output_after", output_after)) return nullptr;
    if (a[6] && !to_bool(a[6], "internal_shingling", internal_shingling)) return nullptr;
    if (a[7] && !to_f64(a[7], "initial_accept_fraction", initial_accept_fraction)) return nullptr;
    if (!to_seed(a[8], "seed", seed)) return nullptr;

    return P::construct(type, seed, [&](std::uint64_t resolved) -> Result<core::Forest> {
        Result<core::MorvikConfig> config =
            core::MorvikConfig::build(input_dim, shingle_size, capacity, num_trees, time_decay, output_after,
                                      internal_shingling, initial_accept_fraction);
        if (!config) return std::unexpected(config.error());
        return core::Forest::create(*config, resolved);
    });
}

// Methods taking one `point`, narrowed to 32-bit floats.
template <const char* QualName, Access A, auto Call>
constexpr auto point_method = unary_method<ForestClass, QualName, point_arg, to_f32_vector, A, Call>;

constexpr char update_name[] = "Forest.update()";
constexpr char update_and_score_name[] = "Forest.update_and_score()";
constexpr char score_name[] = "Forest.score()";
constexpr char displacement_score_name[] = "Forest.displacement_score()";
constexpr char density_name[] = "Forest.density()";
constexpr char attribution_name[] = "Forest.attribution()";

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

PyObject* num_trees(PyObject* self, PyObject*) {
    return P::read(self, [](const core::Forest& f) { return core::num_trees(f); });
}

constexpr int kw = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef forest_methods[] = {
    {"update", as_method(point_method<update_name, Access::exclusive, core::update>), kw,
     "update($self, point)\n--\n\nIncorporate a new observation into the forest.\n\n"
     "When `internal_shingling` is True, pass one base observation of length\n"
     "`input_dim`. Otherwise pass the full shingled vector of length\n"
     "`input_dim * shingle_size`."},
    {"update_and_score", as_method(point_method<update_and_score_name, Access::exclusive, core::update_and_score>), kw,
     "update_and_score($self, point)\n--\n\nIngest an observation and return its anomaly score.\n\n"
     "This has the same behavior as calling `score(point)` first and then\n"
     "`update(point)` with the same observation."},
    {"score", as_method(point_method<score_name, Access::shared, core::score>), kw,
     "score($self, point)\n--\n\nAnomaly score for `point`. Higher means more anomalous."},
    {"displacement_score", as_method(point_method<displacement_score_name, Access::shared, core::displacement_score>),
     kw, "displacement_score($self, point)\n--\n\nDisplacement-based anomaly score."},
    {"attribution", as_method(attribution), kw,
     "attribution($self, point)\n--\n\nPer-dimension attribution of the anomaly score.\n\n"
     "Returns a list of length `input_dim * shingle_size`."},
    {"density", as_method(point_method<density_name, Access::shared, core::density>), kw,
     "density($self, point)\n--\n\nDensity estimate at `point`. Higher means a denser neighbourhood."},
    {"num_trees", num_trees, METH_NOARGS, "num_trees($self)\n--\n\nNumber of trees in the ensemble."},
};

std::span<const PyMethodDef> ForestClass::methods() { return forest_methods; }

}  // namespace

PyObject* create_forest_type(PyObject* module) { return Protocol<ForestClass>::create_type(module); }

}  // namespace morvik3::py
