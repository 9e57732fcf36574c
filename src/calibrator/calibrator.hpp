// The score calibrator: turns the raw scores of any detector into where each
// one ranks among the scores that came just before it, a value in [0, 1]
// that means the same for every detector and every series.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include "calibrator/ranked_window.hpp"
#include "frame/error.hpp"
#include "frame/json.hpp"
#include "frame/memory_budget.hpp"

namespace morvik3::calibrator {

struct ScoreCalibratorConfig {
    std::uint64_t window = 10000;
    std::uint64_t warmup = 100;

    static constexpr std::string_view json_name = "ScoreCalibratorConfig";
    static constexpr auto json_fields() {
        using C = ScoreCalibratorConfig;
        return std::tuple{json::field("window", &C::window), json::field("warmup", &C::warmup)};
    }

    // The constructor's checks, in its order.  Any warmup is valid: it counts
    // scores seen, so one above the window waits for more scores than it keeps.
    [[nodiscard]] Result<void> validate() const;

    friend bool operator==(const ScoreCalibratorConfig&, const ScoreCalibratorConfig&) = default;
};

struct ScoreCalibrator {
    ScoreCalibratorConfig config;
    std::uint64_t entries_seen = 0;
    RankedWindow window;  // the last config.window scores

    [[nodiscard]] static Result<ScoreCalibrator> create(const ScoreCalibratorConfig& config);
};

// The window's nodes at full size.
[[nodiscard]] ByteCount memory_need(const ScoreCalibratorConfig& config);
// What the calibrator holds now: the record and the window's nodes used so far.
[[nodiscard]] std::uint64_t memory_bytes(const ScoreCalibrator& calibrator);

// The mid-rank of `score` among the window's scores: the fraction strictly
// below it plus half the fraction equal to it, 0.5 for an empty window.
// NaN is refused; infinities rank beyond every finite score.
[[nodiscard]] Result<double> score(const ScoreCalibrator& calibrator, double score);
// score(), then `score` joins the window, the oldest score leaving when full.
// A failed update changes nothing.
[[nodiscard]] Result<double> update(ScoreCalibrator& calibrator, double score);

[[nodiscard]] inline bool is_ready(const ScoreCalibrator& c) { return c.entries_seen >= c.config.warmup; }
[[nodiscard]] inline std::uint64_t entries_seen(const ScoreCalibrator& c) { return c.entries_seen; }

// {"config":{...},"entries_seen":N,"scores":[oldest, ..., newest]}, where an
// infinite score is written as the string "inf" or "-inf".
[[nodiscard]] std::string to_json(const ScoreCalibrator& calibrator);
// invalid_argument "invalid ScoreCalibrator JSON: " + what is wrong.
// A configuration needing more than `memory` bytes (the machine's physical
// memory; 0 checks nothing) is refused with out_of_memory before the rest of
// the document is read (frame/document.hpp).
[[nodiscard]] Result<ScoreCalibrator> from_json(std::string_view text, std::uint64_t memory = physical_memory());

// "ScoreCalibrator(window=10000, warmup=100, entries_seen=0)"
[[nodiscard]] std::string repr(const ScoreCalibrator& calibrator);

}  // namespace morvik3::calibrator
