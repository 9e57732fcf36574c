#include "mstream/detector.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "frame/scratch.hpp"
#include "frame/document.hpp"

namespace morvik3::mstream {

namespace {

Result<void> invalid(std::string message) { return std::unexpected(Error::invalid_argument(std::move(message))); }

// ---------------------------------------------------------------------------
// Records

// Where one record falls in every sketch.  Previews and ingests share it, so
// the hyperplane signs and hashes are computed once per record; cells index
// the flat count arrays (row * B + bucket).
struct RecordScratch {
    std::vector<double> transformed;             // asinh of each numeric value
    std::vector<double> normalized;              // in [0, 1]
    std::vector<std::uint64_t> numeric_cells;    // per numeric feature
    std::vector<std::uint64_t> record_cells;     // per row
    std::vector<std::uint64_t> categorical_cells;  // per categorical feature, then row

    // What one wide record or configuration grew goes back when the call ends.
    [[nodiscard]] auto release_when_done() {
        return ScratchRelease(transformed, normalized, numeric_cells, record_cells, categorical_cells);
    }
};

// Previews run on several threads at once over one detector; steady-state
// calls reuse the capacity.
thread_local RecordScratch record_scratch;

Result<ClockStep> check_record(const MStream& m, std::span<const double> numeric,
                               std::span<const std::int64_t> categorical, std::uint64_t timestamp) {
    if (numeric.size() != m.config.numeric_dim)
        return std::unexpected(Error::dimension_mismatch(m.config.numeric_dim, numeric.size()));
    if (categorical.size() != m.config.categorical_dim)
        return std::unexpected(Error::dimension_mismatch(m.config.categorical_dim, categorical.size()));
    return step(m.clock, timestamp);
}

bool all_finite(std::span<const double> values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

Error not_finite() { return Error::invalid_argument("numeric values must be finite"); }

double logical_time(const ClockStep& step) { return static_cast<double>(std::max<std::uint64_t>(step.tick, 1)); }

void locate(const MStream& m, std::span<const double> numeric, std::span<const std::int64_t> categorical,
            RecordScratch& w) {
    const std::uint64_t rows = m.config.num_rows;
    const std::uint64_t buckets = m.config.num_buckets;
    w.transformed.resize(numeric.size());
    w.normalized.resize(numeric.size());
    w.numeric_cells.resize(numeric.size());
    w.record_cells.resize(rows);
    w.categorical_cells.resize(categorical.size() * rows);

    std::transform(numeric.begin(), numeric.end(), w.transformed.begin(), [](double x) { return std::asinh(x); });
    normalize_preview(m.numeric_normalizer, w.transformed, m.entries_seen == 0, w.normalized);
    for (std::size_t i = 0; i < numeric.size(); ++i) w.numeric_cells[i] = numeric_bucket(buckets, w.normalized[i]);
    for (std::uint64_t r = 0; r < rows; ++r) {
        w.record_cells[r] = r * buckets + record_bucket(m.record_counts.current, r, w.normalized, categorical);
    }
    for (std::size_t j = 0; j < categorical.size(); ++j) {
        const CategoricalSketch& sketch = m.categorical_counts[j].current;
        for (std::uint64_t r = 0; r < rows; ++r) {
            w.categorical_cells[j * rows + r] = r * buckets + categorical_bucket(sketch, r, categorical[j]);
        }
    }
}

// Count-min estimate: the least of the record's cells over the rows.
double estimate(std::span<const double> counts, std::span<const std::uint64_t> cells) {
    double least = std::numeric_limits<double>::infinity();
    for (const std::uint64_t cell : cells) least = std::min(least, counts[cell]);
    return least;
}

// Scores a located record.  `adjust` maps a pair's current and total
// estimates to the counts its statistic compares: a preview adds the record
// to decayed counts, an ingest reads the counts it has just updated.
template <class Adjust>
double score_located(const MStream& m, const RecordScratch& w, double t, Adjust adjust, DetailedScore* detail) {
    double numeric_sum = 0.0;
    for (std::size_t i = 0; i < w.numeric_cells.size(); ++i) {
        const SketchCounts<NumericSketch>& pair = m.numeric_counts[i];
        const std::uint64_t cell = w.numeric_cells[i];
        const auto [a, s] = adjust(pair.current.count.data[cell], pair.total.count.data[cell]);
        const double v = count_score(a, s, t);
        if (detail != nullptr) detail->numeric_features[i] = v;
        numeric_sum += v;
    }
    const auto [record_a, record_s] = adjust(estimate(m.record_counts.current.count.data, w.record_cells),
                                             estimate(m.record_counts.total.count.data, w.record_cells));
    const double record = count_score(record_a, record_s, t);
    double categorical_sum = 0.0;
    const std::span<const std::uint64_t> categorical_cells = w.categorical_cells;
    const std::uint64_t rows = m.config.num_rows;
    for (std::size_t j = 0; j < m.categorical_counts.size(); ++j) {
        const SketchCounts<CategoricalSketch>& pair = m.categorical_counts[j];
        const auto cells = categorical_cells.subspan(j * rows, rows);
        const auto [a, s] = adjust(estimate(pair.current.count.data, cells), estimate(pair.total.count.data, cells));
        const double v = count_score(a, s, t);
        if (detail != nullptr) detail->categorical_features[j] = v;
        categorical_sum += v;
    }
    const double total = (numeric_sum + record) + categorical_sum;
    if (detail != nullptr) {
        detail->total = total;
        detail->record = record;
    }
    return total;
}

void decay_current(MStream& m, double factor) {
    decay(m.record_counts.current.count.data, factor);
    for (SketchCounts<NumericSketch>& pair : m.numeric_counts) decay(pair.current.count.data, factor);
    for (SketchCounts<CategoricalSketch>& pair : m.categorical_counts) decay(pair.current.count.data, factor);
}

void add_one(std::span<double> current, std::span<double> total, std::span<const std::uint64_t> cells) {
    for (const std::uint64_t cell : cells) {
        current[cell] += 1.0;
        total[cell] += 1.0;
    }
}

void count_located(MStream& m, const RecordScratch& w) {
    widen_ranges(m.numeric_normalizer, w.transformed, m.entries_seen == 0);
    for (std::size_t i = 0; i < w.numeric_cells.size(); ++i) {
        SketchCounts<NumericSketch>& pair = m.numeric_counts[i];
        pair.current.count.data[w.numeric_cells[i]] += 1.0;
        pair.total.count.data[w.numeric_cells[i]] += 1.0;
    }
    add_one(m.record_counts.current.count.data, m.record_counts.total.count.data, w.record_cells);
    const std::uint64_t rows = m.config.num_rows;
    for (std::size_t j = 0; j < m.categorical_counts.size(); ++j) {
        add_one(m.categorical_counts[j].current.count.data, m.categorical_counts[j].total.count.data,
                std::span(w.categorical_cells).subspan(j * rows, rows));
    }
    m.entries_seen += 1;
}

// Checks and locates a record without changing anything.
Result<ClockStep> prepare(const MStream& m, std::span<const double> numeric, std::span<const std::int64_t> categorical,
                          std::uint64_t timestamp, RecordScratch& w) {
    const Result<ClockStep> step = check_record(m, numeric, categorical, timestamp);
    if (!step) return step;
    if (!all_finite(numeric)) return std::unexpected(not_finite());
    locate(m, numeric, categorical, w);
    return step;
}

// The score of a located record if it were counted next.
double score_preview(const MStream& m, const RecordScratch& w, const ClockStep& step, DetailedScore* detail) {
    const double factor = std::pow(m.config.alpha, static_cast<double>(step.gap));
    const auto with_record = [factor](double current, double total) {
        return std::pair{current * factor + 1.0, total + 1.0};
    };
    return score_located(m, w, logical_time(step), with_record, detail);
}

// Checks, locates and counts a record; `w` keeps where it fell.
Result<ClockStep> ingest(MStream& m, std::span<const double> numeric, std::span<const std::int64_t> categorical,
                         std::uint64_t timestamp, RecordScratch& w) {
    const Result<ClockStep> step = check_record(m, numeric, categorical, timestamp);
    if (!step) return step;
    if (m.entries_seen == std::numeric_limits<std::uint64_t>::max())
        return std::unexpected(Error::overflow("MStream entries_seen overflow"));
    // Locating may allocate, so it comes before the first change.
    const bool finite = all_finite(numeric);
    if (finite) locate(m, numeric, categorical, w);

    // The time of a record is an observation even when its values are refused.
    commit(m.clock, timestamp, step->tick);
    if (step->gap > 0) decay_current(m, std::pow(m.config.alpha, static_cast<double>(step->gap)));
    if (!finite) return std::unexpected(not_finite());
    count_located(m, w);
    return step;
}

// The score of the record just counted.
double score_counted(const MStream& m, const RecordScratch& w, const ClockStep& step, DetailedScore* detail) {
    const auto as_counted = [](double current, double total) { return std::pair{current, total}; };
    return score_located(m, w, logical_time(step), as_counted, detail);
}

// Sized before the record is counted, so that a failed allocation changes nothing.
DetailedScore sized_detail(const MStreamConfig& config) {
    DetailedScore detail;
    detail.numeric_features.resize(config.numeric_dim);
    detail.categorical_features.resize(config.categorical_dim);
    return detail;
}

// ---------------------------------------------------------------------------
// Construction and documents

// Draws in the fixed order from one generator, which is then discarded.
MStream build(const MStreamConfig& c, std::uint64_t resolved_seed) {
    auto rng = Xoshiro256PlusPlus::seed_from_u64(resolved_seed);
    MStream m;
    m.config = c;
    m.record_counts = pair_of(build_record_sketch(c.num_rows, c.num_buckets, c.numeric_dim, c.categorical_dim, rng));
    m.numeric_counts.assign(c.numeric_dim, pair_of(build_numeric_sketch(c.num_buckets)));
    m.categorical_counts.reserve(c.categorical_dim);
    for (std::uint64_t j = 0; j < c.categorical_dim; ++j) {
        m.categorical_counts.push_back(pair_of(build_categorical_sketch(c.num_rows, c.num_buckets, rng)));
    }
    m.numeric_normalizer = NumericRangeNormalizer::create(c.numeric_dim);
    return m;
}

std::string count(std::uint64_t n) { return std::to_string(n); }

template <std::size_t N>
std::string dims_text(const std::array<std::uint64_t, N>& dims) {
    std::string s = "[";
    for (std::size_t i = 0; i < N; ++i) s += (i == 0 ? "" : ", ") + count(dims[i]);
    return s + "]";
}

// The first disagreement of a parsed document with its validated
// configuration; every later access relies on these shapes.
class ShapeCheck {
  public:
    explicit ShapeCheck(const MStreamConfig& c) : c_(c) {}

    std::optional<std::string> problem;

    void size(const std::string& what, std::uint64_t got, std::uint64_t expected) {
        if (!problem && got != expected) problem = what + " is " + count(got) + ", expected " + count(expected);
    }

    template <class T, std::size_t N, class Storage>
    void dims(const std::string& what, const json::NdArray<T, N, Storage>& a,
              const std::array<std::uint64_t, N>& expected) {
        if (!problem && a.dim != expected)
            problem = what + " has dimensions " + dims_text(a.dim) + ", expected " + dims_text(expected);
    }

    void sketch(const std::string& what, const RecordSketch& s) {
        size(what + ".num_rows", s.num_rows, c_.num_rows);
        size(what + ".num_buckets", s.num_buckets, c_.num_buckets);
        size(what + ".numeric_dim", s.numeric_dim, c_.numeric_dim);
        size(what + ".categorical_dim", s.categorical_dim, c_.categorical_dim);
        dims(what + ".numeric_planes", s.numeric_planes,
             {c_.num_rows, hyperplanes_per_row(c_.num_buckets), c_.numeric_dim});
        dims(what + ".categorical_coeffs", s.categorical_coeffs, {c_.num_rows, c_.categorical_dim});
        dims(what + ".count", s.count, {c_.num_rows, c_.num_buckets});
    }

    void sketch(const std::string& what, const NumericSketch& s) {
        size(what + ".num_buckets", s.num_buckets, c_.num_buckets);
        dims(what + ".count", s.count, {c_.num_buckets});
    }

    void sketch(const std::string& what, const CategoricalSketch& s) {
        size(what + ".num_rows", s.num_rows, c_.num_rows);
        size(what + ".num_buckets", s.num_buckets, c_.num_buckets);
        dims(what + ".hash_a", s.hash_a, {c_.num_rows});
        dims(what + ".hash_b", s.hash_b, {c_.num_rows});
        dims(what + ".count", s.count, {c_.num_rows, c_.num_buckets});
    }

    template <class S>
    void pair(const std::string& what, const SketchCounts<S>& p) {
        sketch(what + ".current", p.current);
        sketch(what + ".total", p.total);
    }

    template <class S>
    void pairs(const std::string& what, const std::vector<SketchCounts<S>>& list, std::uint64_t expected) {
        size("length of " + what, list.size(), expected);
        for (std::size_t i = 0; i < list.size() && !problem; ++i) pair(what + "[" + count(i) + "]", list[i]);
    }

  private:
    const MStreamConfig& c_;
};

std::optional<std::string> shape_problem(const MStream& m) {
    const MStreamConfig& c = m.config;
    ShapeCheck check(c);
    check.pair("record_counts", m.record_counts);
    check.pairs("numeric_counts", m.numeric_counts, c.numeric_dim);
    check.pairs("categorical_counts", m.categorical_counts, c.categorical_dim);
    check.size("length of numeric_normalizer.min_numeric", m.numeric_normalizer.min_numeric.size(), c.numeric_dim);
    check.size("length of numeric_normalizer.max_numeric", m.numeric_normalizer.max_numeric.size(), c.numeric_dim);
    return check.problem;
}

// Shortest decimal that reads back exactly, never in exponent form.
std::string plain_decimal(double v) {
    std::array<char, 512> buf{};
    const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed);
    return std::string(buf.data(), res.ptr);
}

}  // namespace

Result<void> MStreamConfig::validate() const {
    const MStreamConfig& c = *this;
    if (c.numeric_dim == 0 && c.categorical_dim == 0)
        return invalid("at least one of numeric_dim or categorical_dim must be > 0");
    if (c.num_rows == 0) return invalid("num_rows must be > 0");
    if (c.num_buckets < 2) return invalid("num_buckets must be >= 2");
    if (!(c.alpha > 0.0 && c.alpha < 1.0)) return invalid("alpha must be in range (0, 1)");
    // Every table's element count, the largest included, must be addressable.
    std::uint64_t cells = 0, row_planes = 0, planes = 0, coeffs = 0;
    if (__builtin_mul_overflow(c.num_rows, c.num_buckets, &cells) ||
        __builtin_mul_overflow(c.num_rows, hyperplanes_per_row(c.num_buckets), &row_planes) ||
        __builtin_mul_overflow(row_planes, c.numeric_dim, &planes) ||
        __builtin_mul_overflow(c.num_rows, c.categorical_dim, &coeffs))
        return invalid("num_rows * num_buckets must fit in usize");
    return {};
}

ByteCount memory_need(const MStreamConfig& c) {
    const std::uint64_t rows = c.num_rows;
    const ByteCount counts = ByteCount::of<double>(rows) * c.num_buckets;
    // Each pair holds two copies of its sketch, parameters included.
    const ByteCount record = ByteCount::of<double>(rows) * hyperplanes_per_row(c.num_buckets) * c.numeric_dim +
                             ByteCount::of<std::uint64_t>(rows) * c.categorical_dim + counts;
    const ByteCount numeric = ByteCount::of<double>(c.num_buckets) + ByteCount::of<NumericSketch>(1);
    const ByteCount categorical = ByteCount::of<std::uint64_t>(rows) * 2 + counts + ByteCount::of<CategoricalSketch>(1);
    const ByteCount normalizer = ByteCount::of<double>(c.numeric_dim) * 2;
    // The record as converted, its scratch and a detailed score.
    const ByteCount call = ByteCount::of<double>(c.numeric_dim) * 5 + ByteCount::of<std::uint64_t>(rows) +
                           ByteCount::of<std::uint64_t>(c.categorical_dim) * (rows + 2);
    return (record + numeric * c.numeric_dim + categorical * c.categorical_dim) * 2 + normalizer + call;
}

std::uint64_t memory_bytes(const MStream& m) {
    std::uint64_t bytes = sizeof(MStream) + held(m.numeric_counts) + held(m.categorical_counts) +
                          held(m.numeric_normalizer.min_numeric) + held(m.numeric_normalizer.max_numeric);
    for (const RecordSketch* s : {&m.record_counts.current, &m.record_counts.total})
        bytes += held(s->numeric_planes.data) + held(s->categorical_coeffs.data) + held(s->count.data);
    for (const auto& pair : m.numeric_counts) bytes += held(pair.current.count.data) + held(pair.total.count.data);
    for (const auto& pair : m.categorical_counts) {
        for (const CategoricalSketch* s : {&pair.current, &pair.total})
            bytes += held(s->hash_a.data) + held(s->hash_b.data) + held(s->count.data);
    }
    return bytes;
}

Result<MStream> MStream::create(const MStreamConfig& config, std::uint64_t resolved_seed) {
    if (auto valid = config.validate(); !valid) return std::unexpected(valid.error());
    return allocating([&] { return build(config, resolved_seed); });
}

Result<double> score(const MStream& m, std::span<const double> numeric, std::span<const std::int64_t> categorical,
                     std::uint64_t timestamp) {
    RecordScratch& w = record_scratch;
    const auto release = w.release_when_done();
    const Result<ClockStep> step = prepare(m, numeric, categorical, timestamp, w);
    if (!step) return std::unexpected(step.error());
    return score_preview(m, w, *step, nullptr);
}

Result<DetailedScore> score_detailed(const MStream& m, std::span<const double> numeric,
                                     std::span<const std::int64_t> categorical, std::uint64_t timestamp) {
    RecordScratch& w = record_scratch;
    const auto release = w.release_when_done();
    const Result<ClockStep> step = prepare(m, numeric, categorical, timestamp, w);
    if (!step) return std::unexpected(step.error());
    DetailedScore detail = sized_detail(m.config);
    score_preview(m, w, *step, &detail);
    return detail;
}

Result<void> update(MStream& m, std::span<const double> numeric, std::span<const std::int64_t> categorical,
                    std::uint64_t timestamp) {
    RecordScratch& w = record_scratch;
    const auto release = w.release_when_done();
    const Result<ClockStep> step = ingest(m, numeric, categorical, timestamp, w);
    if (!step) return std::unexpected(step.error());
    return {};
}

Result<double> update_and_score(MStream& m, std::span<const double> numeric, std::span<const std::int64_t> categorical,
                                std::uint64_t timestamp) {
    RecordScratch& w = record_scratch;
    const auto release = w.release_when_done();
    const Result<ClockStep> step = ingest(m, numeric, categorical, timestamp, w);
    if (!step) return std::unexpected(step.error());
    return score_counted(m, w, *step, nullptr);
}

Result<DetailedScore> update_and_score_detailed(MStream& m, std::span<const double> numeric,
                                                std::span<const std::int64_t> categorical, std::uint64_t timestamp) {
    DetailedScore detail = sized_detail(m.config);
    RecordScratch& w = record_scratch;
    const auto release = w.release_when_done();
    const Result<ClockStep> step = ingest(m, numeric, categorical, timestamp, w);
    if (!step) return std::unexpected(step.error());
    score_counted(m, w, *step, &detail);
    return detail;
}

std::string to_json(const MStream& m) { return json::write(m); }

Result<MStream> from_json(std::string_view text, std::uint64_t memory) {
    const std::string prefix = "invalid MStream JSON: ";
    auto parsed = read_document<MStream>(text, prefix, "MStream", memory);
    if (!parsed) return std::unexpected(parsed.error());
    if (auto problem = shape_problem(*parsed)) return std::unexpected(Error::invalid_argument(prefix + *problem));
    // A clock this module kept never ticks past its timestamp, so the next
    // tick cannot wrap; a document that says otherwise was edited.
    const StreamClock& clock = parsed->clock;
    if (clock.current_time && clock.current_tick > *clock.current_time)
        return std::unexpected(Error::invalid_argument(prefix + "clock current_tick " + count(clock.current_tick) +
                                                       " exceeds current_time " + count(*clock.current_time)));
    return std::move(*parsed);
}

std::string repr(const MStream& m) {
    const MStreamConfig& c = m.config;
    return "MStream(numeric_dim=" + count(c.numeric_dim) + ", categorical_dim=" + count(c.categorical_dim) +
           ", num_rows=" + count(c.num_rows) + ", num_buckets=" + count(c.num_buckets) +
           ", alpha=" + plain_decimal(c.alpha) + ", entries_seen=" + count(m.entries_seen) + ")";
}

}  // namespace morvik3::mstream
