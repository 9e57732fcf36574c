// The ScoreCalibrator class: argument conversion and method entries over the
// score calibrator core.
#include "classes.hpp"
#include "object_protocol.hpp"

#include <span>

#include "calibrator/calibrator.hpp"

namespace morvik3::py {
namespace {

namespace core = morvik3::calibrator;

struct ScoreCalibratorClass {
    using State = core::ScoreCalibrator;
    using Config = core::ScoreCalibratorConfig;
    static constexpr const char* name = "ScoreCalibrator";
    static constexpr ClassSlot slot = ClassSlot::score_calibrator;
    static constexpr const char* summary =
        "Streaming calibration of anomaly scores into [0, 1].\n\n"
        "Each score is answered with where it ranks among the last `window` scores\n"
        "seen before it: the fraction of them strictly below it plus half the\n"
        "fraction equal to it (0.5 while none has been seen). The answer means the\n"
        "same for every detector and every series, so one threshold (say 0.99)\n"
        "fits them all. +inf ranks above every finite score, -inf below; NaN is\n"
        "refused with ValueError and changes nothing.";
    static constexpr DefaultsStyle defaults_style = DefaultsStyle::in_type;
    static constexpr auto parameters = std::tuple{
        optional("window", &Config::window, "Number of most recent scores a score is ranked against."),
        optional("warmup", &Config::warmup, "Number of scores to see before `is_ready()` answers True."),
    };
    static constexpr std::size_t new_arguments = 2;
    static constexpr DocumentDocs documents = {
        "Serialize the calibrator state to JSON.",
        "Deserialize calibrator state from a JSON string previously written by `to_json()`.",
        "Serialize the calibrator state to a JSON file.",
        "Deserialize calibrator state from a JSON file previously written by `save_json()`.",
    };
    static constexpr const char* doc_is_ready = "Return True once `warmup` scores have been seen.";
    static constexpr const char* doc_entries_seen = "Return the number of scores seen.";
    static constexpr const char* doc_memory_bytes =
        "Bytes this calibrator holds now.\n\n"
        "The nodes of its window: sized by `window`, but the machine gives a large\n"
        "window memory only for the pages scores have reached, so it grows until\n"
        "the window is full.";

    static Result<State> from_json(std::string_view text) { return core::from_json(text); }

    static std::span<const PyMethodDef> methods();

    struct Batch {
        using Columns = std::tuple<ValueColumn>;
        static constexpr std::array<const char*, 1> arguments = {"scores"};
        static constexpr std::array<const char*, 1> row_arguments = {"score"};
        static constexpr const char* rows_doc =
            "`scores` is a 1-D array of any numeric dtype, read in place through the\n"
            "buffer protocol, or any iterable of numbers converted as the single call\n"
            "converts one.";
        static constexpr bool update_answers = true;
        static constexpr auto update = core::update;
        static constexpr auto score = core::score;
    };
};

using P = Protocol<ScoreCalibratorClass>;

constexpr char score_arg[] = "score";

template <const char* QualName, Access A, auto Call>
constexpr auto score_method = unary_method<ScoreCalibratorClass, QualName, score_arg, to_f64, A, Call>;

constexpr char update_name[] = "ScoreCalibrator.update()";
constexpr char score_name[] = "ScoreCalibrator.score()";

constexpr int kw = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef calibrator_methods[] = {
    {"update", as_method<score_method<update_name, Access::exclusive, core::update>>(), kw,
     "update($self, score)\n--\n\n"
     "Calibrate `score` against the window, then add it to the window.\n\n"
     "Returns the fraction of the last `window` scores strictly below `score` plus\n"
     "half the fraction equal to it, a float in [0, 1] (0.5 while the window is\n"
     "empty). The oldest score leaves once the window is full."},
    {"score", as_method<score_method<score_name, Access::shared, core::score>>(), kw,
     "score($self, score)\n--\n\n"
     "Calibrate `score` as `update()` would, without adding it to the window."},
};

std::span<const PyMethodDef> ScoreCalibratorClass::methods() { return calibrator_methods; }

}  // namespace

PyObject* create_calibrator_type(PyObject* module) { return Protocol<ScoreCalibratorClass>::create_type(module); }

}  // namespace morvik3::py
