#include "calibrator/calibrator.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "frame/excerpt.hpp"
#include "frame/document.hpp"

namespace morvik3::calibrator {

namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
constexpr double infinity = std::numeric_limits<double>::infinity();

Result<void> invalid(std::string message) { return std::unexpected(Error::invalid_argument(std::move(message))); }

std::string count(std::uint64_t n) { return std::to_string(n); }

// One correctly rounded division of exact integers (at most 2^33, far below
// 2^53), so that the value is the same on every machine.
double mid_rank(const RankedWindow& window, double score) {
    const std::uint64_t n = window.size();
    if (n == 0) return 0.5;
    const RankCounts c = window.counts(score);
    return static_cast<double>(2 * c.below + c.equal) / static_cast<double>(2 * n);
}

Result<void> check_score(double score) {
    if (std::isnan(score)) return invalid("score must not be NaN");
    return {};
}

}  // namespace

Result<void> ScoreCalibratorConfig::validate() const {
    if (window == 0) return invalid("window must be > 0");
    if (window > RankedWindow::max_capacity)
        return invalid("window must be <= " + count(RankedWindow::max_capacity));
    return {};
}

ByteCount memory_need(const ScoreCalibratorConfig& c) { return ByteCount::of<RankNode>(c.window + 1); }

std::uint64_t memory_bytes(const ScoreCalibrator& c) { return sizeof(ScoreCalibrator) + c.window.held_bytes(); }

Result<ScoreCalibrator> ScoreCalibrator::create(const ScoreCalibratorConfig& config) {
    if (auto valid = config.validate(); !valid) return std::unexpected(valid.error());
    return ScoreCalibrator{config, 0, RankedWindow(config.window)};
}

Result<double> score(const ScoreCalibrator& c, double score) {
    if (auto ok = check_score(score); !ok) return std::unexpected(ok.error());
    return mid_rank(c.window, score);
}

Result<double> update(ScoreCalibrator& c, double score) {
    if (auto ok = check_score(score); !ok) return std::unexpected(ok.error());
    if (c.entries_seen == u64_max) return std::unexpected(Error::overflow("entries_seen overflows u64"));
    const double calibrated = mid_rank(c.window, score);
    c.window.push(score);
    ++c.entries_seen;
    return calibrated;
}

// ---------------------------------------------------------------------------
// The state document

namespace doc {

// A score as the document holds it: a JSON number, or the string "inf" or
// "-inf" (a JSON number cannot be infinite, and the writer's `null` would not
// tell the two apart).
struct Score {
    double value = 0.0;
};

struct ScoreCalibrator {
    ScoreCalibratorConfig config;
    std::uint64_t entries_seen = 0;
    std::vector<Score> scores;  // oldest first

    static constexpr std::string_view json_name = "ScoreCalibrator";
    static constexpr auto json_fields() {
        using S = ScoreCalibrator;
        return std::tuple{json::field("config", &S::config), json::field("entries_seen", &S::entries_seen),
                          json::field("scores", &S::scores)};
    }
};

}  // namespace doc

}  // namespace morvik3::calibrator

namespace morvik3::json {

template <>
struct Codec<calibrator::doc::Score> {
    static constexpr std::string_view expecting = "a number, \"inf\" or \"-inf\"";

    static void write(std::string& out, const calibrator::doc::Score& s) {
        if (std::isinf(s.value)) {
            out.append(s.value > 0 ? "\"inf\"" : "\"-inf\"");
        } else {
            write_f64(out, s.value);
        }
    }
    [[nodiscard]] static bool read(Reader& r, calibrator::doc::Score& s) {
        if (r.peek() != '"') return r.read_f64(s.value, expecting);
        std::string_view text;
        if (!r.read_string(text)) return false;
        if (text == "inf" || text == "-inf") {
            s.value = text == "inf" ? calibrator::infinity : -calibrator::infinity;
            return true;
        }
        return r.fail("invalid value: string \"" + excerpt(text) + "\", expected " + std::string(expecting));
    }
};

}  // namespace morvik3::json

namespace morvik3::calibrator {

std::string to_json(const ScoreCalibrator& c) {
    doc::ScoreCalibrator d{c.config, c.entries_seen, {}};
    const std::uint64_t n = c.window.size();
    d.scores.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) d.scores.push_back({c.window.at(i)});
    return json::write(d);
}

Result<ScoreCalibrator> from_json(std::string_view text, std::uint64_t memory) {
    constexpr std::string_view prefix = "invalid ScoreCalibrator JSON: ";
    auto parsed = read_document<doc::ScoreCalibrator>(text, prefix, "ScoreCalibrator", memory);
    if (!parsed) return std::unexpected(parsed.error());
    const doc::ScoreCalibrator& d = *parsed;
    // The window holds the last scores seen: all of them until it is full.
    const std::uint64_t held = std::min(d.entries_seen, d.config.window);
    if (d.scores.size() != held)
        return std::unexpected(Error::invalid_argument(
            std::string(prefix) + "scores must hold the last " + count(held) + " scores (the lesser of entries_seen " +
            count(d.entries_seen) + " and window " + count(d.config.window) + "), not " + count(d.scores.size())));
    ScoreCalibrator c{d.config, d.entries_seen, RankedWindow(d.config.window)};
    for (const doc::Score& s : d.scores) c.window.push(s.value);
    return c;
}

std::string repr(const ScoreCalibrator& c) {
    return "ScoreCalibrator(window=" + count(c.config.window) + ", warmup=" + count(c.config.warmup) +
           ", entries_seen=" + count(c.entries_seen) + ")";
}

}  // namespace morvik3::calibrator
