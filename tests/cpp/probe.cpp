// Exposes core primitives on stdin/stdout so the Python tests can check them
// against plain-Python oracles.
//
// One command per input line, tokens separated by white space; one output line
// per command.  Integers are decimal; doubles are written in their shortest
// round-trip form, and a float result is written as the double of equal value.
// A line that cannot be run answers "error <what>"; an internal failure of the
// core answers "internal_error <what>".
//
// To add commands, write handlers in a section of your own and list them in
// `commands` at the bottom, under a comment naming the section.
#include <array>
#include <charconv>
#include <cstdint>
#include <iostream>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "frame/error.hpp"
#include "featuresketch/detector.hpp"
#include "frame/rng.hpp"

namespace {

using Args = std::span<const std::string_view>;

// A malformed command line, as opposed to a failure inside the core.
struct BadCommand {
    std::string what;
};

// The answer to one command: tokens joined by single spaces.
struct Line {
    std::string text;

    void add(std::string_view token) {
        if (!text.empty()) text += ' ';
        text += token;
    }
    void add(std::uint64_t v) {
        std::array<char, 24> buf{};
        add(std::string_view(buf.data(), std::to_chars(buf.data(), buf.data() + buf.size(), v).ptr));
    }
    void add(double v) {
        std::array<char, 32> buf{};
        add(std::string_view(buf.data(), std::to_chars(buf.data(), buf.data() + buf.size(), v).ptr));
    }
};

template <class T>
T parse(std::string_view token) {
    T value{};
    const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (ec != std::errc{} || end != token.data() + token.size()) {
        throw BadCommand{"cannot parse '" + std::string(token) + "'"};
    }
    return value;
}

std::uint64_t u64_arg(Args args, std::size_t i) {
    if (i >= args.size()) throw BadCommand{"missing argument"};
    return parse<std::uint64_t>(args[i]);
}

double f64_arg(Args args, std::size_t i) {
    if (i >= args.size()) throw BadCommand{"missing argument"};
    return parse<double>(args[i]);
}

void expect_count(Args args, std::size_t n) {
    if (args.size() != n) throw BadCommand{"expected " + std::to_string(n) + " arguments"};
}

// ---------------------------------------------------------------------------
// Random numbers

void add_state(const morvik3::Xoshiro256PlusPlus& rng, Line& out) {
    for (const std::uint64_t w : rng.s) out.add(w);
}

// args: KIND N [ARGS...]; N successive draws of KIND from rng.
void draws(morvik3::Xoshiro256PlusPlus rng, Args args, Line& out) {
    if (args.size() < 2) throw BadCommand{"expected KIND N"};
    const std::string_view kind = args[0];
    const std::uint64_t n = u64_arg(args, 1);
    const Args extra = args.subspan(2);
    if (kind == "next_u64") {
        expect_count(extra, 0);
        for (std::uint64_t k = 0; k < n; ++k) out.add(rng.next_u64());
    } else if (kind == "unit_f64") {
        expect_count(extra, 0);
        for (std::uint64_t k = 0; k < n; ++k) out.add(rng.unit_f64());
    } else if (kind == "range_f64") {
        expect_count(extra, 2);
        const double low = f64_arg(extra, 0), high = f64_arg(extra, 1);
        for (std::uint64_t k = 0; k < n; ++k) out.add(rng.range_f64(low, high));
    } else if (kind == "range_f32") {
        expect_count(extra, 2);
        const auto low = static_cast<float>(f64_arg(extra, 0)), high = static_cast<float>(f64_arg(extra, 1));
        for (std::uint64_t k = 0; k < n; ++k) out.add(static_cast<double>(rng.range_f32(low, high)));
    } else if (kind == "range_index") {
        expect_count(extra, 1);
        const std::uint64_t bound = u64_arg(extra, 0);
        for (std::uint64_t k = 0; k < n; ++k) out.add(rng.range_index(bound));
    } else if (kind == "mod_index") {
        expect_count(extra, 1);
        const std::uint64_t bound = u64_arg(extra, 0);
        for (std::uint64_t k = 0; k < n; ++k) out.add(rng.mod_index(bound));
    } else if (kind == "standard_normal") {
        expect_count(extra, 0);
        for (std::uint64_t k = 0; k < n; ++k) out.add(rng.standard_normal());
    } else {
        throw BadCommand{"unknown draw kind '" + std::string(kind) + "'"};
    }
}

// rng_seed_u64 X -> s0 s1 s2 s3
void rng_seed_u64(Args args, Line& out) {
    expect_count(args, 1);
    add_state(morvik3::Xoshiro256PlusPlus::seed_from_u64(u64_arg(args, 0)), out);
}

// rng_seed_bytes HEX64 (byte 0 first) -> s0 s1 s2 s3
void rng_seed_bytes(Args args, Line& out) {
    expect_count(args, 1);
    const std::string_view hex = args[0];
    if (hex.size() != 64) throw BadCommand{"expected 64 hexadecimal digits"};
    std::array<std::uint8_t, 32> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto [end, ec] = std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, bytes[i], 16);
        if (ec != std::errc{} || end != hex.data() + 2 * i + 2) throw BadCommand{"bad hexadecimal digits"};
    }
    add_state(morvik3::Xoshiro256PlusPlus::seed_from_bytes(bytes), out);
}

// rng_draw SEED KIND N [ARGS...] -> N draws from seed_from_u64(SEED)
void rng_draw(Args args, Line& out) {
    const auto rng = morvik3::Xoshiro256PlusPlus::seed_from_u64(u64_arg(args, 0));
    draws(rng, args.subspan(1), out);
}

// rng_state S0 S1 S2 S3 KIND N [ARGS...] -> N draws from that state
void rng_state(Args args, Line& out) {
    morvik3::Xoshiro256PlusPlus rng;
    for (std::size_t k = 0; k < 4; ++k) rng.s[k] = u64_arg(args, k);
    draws(rng, args.subspan(4), out);
}

// ---------------------------------------------------------------------------
// FeatureSketch
//
// A name travels as "x" followed by its bytes in hexadecimal ("x" alone is
// the empty name).  An event is a count N followed by N name/value pairs.  A
// core error answers "failed " + its message.

namespace fsk = morvik3::featuresketch;

std::string name_arg(Args args, std::size_t i) {
    if (i >= args.size()) throw BadCommand{"missing argument"};
    const std::string_view token = args[i];
    if (token.empty() || token[0] != 'x' || token.size() % 2 == 0) throw BadCommand{"expected x and hex bytes"};
    std::string bytes;
    for (std::size_t k = 1; k < token.size(); k += 2) {
        std::uint8_t b = 0;
        const auto [end, ec] = std::from_chars(token.data() + k, token.data() + k + 2, b, 16);
        if (ec != std::errc{} || end != token.data() + k + 2) throw BadCommand{"bad hexadecimal digits"};
        bytes.push_back(static_cast<char>(b));
    }
    return bytes;
}

morvik3::Seed4 seed4_arg(Args args, std::size_t i) {
    morvik3::Seed4 seed;
    for (std::size_t k = 0; k < 4; ++k) seed.words[k] = u64_arg(args, i + k);
    return seed;
}

// Reads the event starting at args[i] and moves i past it.
morvik3::KeyValueLike event_arg(Args args, std::size_t& i, morvik3::KeyValueLike::Kind kind) {
    const std::uint64_t n = u64_arg(args, i++);
    morvik3::KeyValueLike event{kind, {}};
    for (std::uint64_t k = 0; k < n; ++k, i += 2) event.entries.emplace_back(name_arg(args, i), f64_arg(args, i + 1));
    return event;
}

// SEED V P CHAINS DEPTH ROWS BUCKETS HALF_LIFE, from args[i]
fsk::FeatureSketch sketch_arg(Args args, std::size_t i) {
    fsk::FeatureSketchConfig c;
    c.value_projection_dims = u64_arg(args, i + 1);
    c.presence_projection_dims = u64_arg(args, i + 2);
    c.chains_per_ensemble = u64_arg(args, i + 3);
    c.chain_depth = u64_arg(args, i + 4);
    c.sketch_rows = u64_arg(args, i + 5);
    c.sketch_buckets = u64_arg(args, i + 6);
    c.decay_half_life = u64_arg(args, i + 7);
    auto created = fsk::FeatureSketch::create(c, u64_arg(args, i));
    if (!created) throw BadCommand{created.error().display()};
    return std::move(*created);
}

void failed(const morvik3::Error& error, Line& out) {
    out.text.clear();
    out.add("failed");
    out.add(error.display());
}

// fs_hash_name S0 S1 S2 S3 xNAME -> hash
void fs_hash_name(Args args, Line& out) {
    expect_count(args, 5);
    out.add(fsk::hash_name(seed4_arg(args, 0), name_arg(args, 4)));
}

// fs_hash_words S0 S1 S2 S3 W1 W2 W3 -> hash
void fs_hash_words(Args args, Line& out) {
    expect_count(args, 7);
    out.add(fsk::hash_words(seed4_arg(args, 0), u64_arg(args, 4), u64_arg(args, 5), u64_arg(args, 6)));
}

// fs_bucket S0 S1 S2 S3 BUCKETS ROW BIN -> cell index of that row's bucket
void fs_bucket(Args args, Line& out) {
    expect_count(args, 7);
    fsk::LevelSketch level;
    level.buckets = u64_arg(args, 4);
    const std::uint64_t row = u64_arg(args, 5);
    level.rows = row + 1;
    level.row_hash_seeds.seeds.assign(row + 1, seed4_arg(args, 0));
    level.cells.resize(level.rows * level.buckets);
    out.add(fsk::bucket_of(level, row, parse<std::int64_t>(args[6])));
}

// fs_project pairs|dict V P S×16 EVENT -> v[0..V-1] p[0..P]
void fs_project(Args args, Line& out) {
    if (args.size() < 19) throw BadCommand{"expected KIND V P, 16 seed words and an event"};
    const auto kind = args[0] == "dict" ? morvik3::KeyValueLike::Kind::dict : morvik3::KeyValueLike::Kind::pairs;
    const std::uint64_t v = u64_arg(args, 1), p = u64_arg(args, 2);
    const fsk::ProjectionSeeds seeds{seed4_arg(args, 3), seed4_arg(args, 7), seed4_arg(args, 11), seed4_arg(args, 15)};
    std::size_t i = 19;
    const morvik3::KeyValueLike event = event_arg(args, i, kind);
    if (i != args.size()) throw BadCommand{"trailing arguments"};
    fsk::NormaliseScratch scratch;
    std::vector<fsk::NormalisedFeature> features;
    if (auto normalised = fsk::normalise(event, scratch, features); !normalised) return failed(normalised.error(), out);
    std::vector<double> value(v), presence(p + 1);
    fsk::project(features, seeds, value, presence);
    for (const double x : value) out.add(x);
    for (const double x : presence) out.add(x);
}

// fs_layout SEED CHAINS DEPTH DIMS COUNT_SIGNAL(0|1) -> per level: dimension
// width offset bin_volume_ratio; then the generator's four state words
void fs_layout(Args args, Line& out) {
    expect_count(args, 5);
    auto rng = morvik3::Xoshiro256PlusPlus::seed_from_u64(u64_arg(args, 0));
    const fsk::ChainLayout layout =
        fsk::build_layout(u64_arg(args, 1), u64_arg(args, 2), u64_arg(args, 3), u64_arg(args, 4) != 0, rng);
    for (const fsk::ChainLevel& level : layout.levels) {
        out.add(level.dimension);
        out.add(level.width);
        out.add(level.offset);
        out.add(level.bin_volume_ratio);
    }
    add_state(rng, out);
}

// fs_stream SEED V P CHAINS DEPTH ROWS BUCKETS HALF_LIFE COUNT EVENT... ->
// score and update_and_score of each event, then the final document
void fs_stream(Args args, Line& out) {
    fsk::FeatureSketch sketch = sketch_arg(args, 0);
    const std::uint64_t count = u64_arg(args, 8);
    std::size_t i = 9;
    for (std::uint64_t k = 0; k < count; ++k) {
        const morvik3::KeyValueLike event = event_arg(args, i, morvik3::KeyValueLike::Kind::pairs);
        const auto previewed = fsk::score(sketch, event);
        if (!previewed) return failed(previewed.error(), out);
        const auto scored = fsk::update_and_score(sketch, event);
        if (!scored) return failed(scored.error(), out);
        out.add(*previewed);
        out.add(*scored);
    }
    if (i != args.size()) throw BadCommand{"trailing arguments"};
    out.add(fsk::to_json(sketch));
}

// ---------------------------------------------------------------------------
// Command table

struct Command {
    std::string_view name;
    void (*run)(Args, Line&);
};

constexpr Command commands[] = {
    // Random numbers
    {"rng_seed_u64", rng_seed_u64},
    {"rng_seed_bytes", rng_seed_bytes},
    {"rng_draw", rng_draw},
    {"rng_state", rng_state},
    // FeatureSketch
    {"fs_hash_name", fs_hash_name},
    {"fs_hash_words", fs_hash_words},
    {"fs_bucket", fs_bucket},
    {"fs_project", fs_project},
    {"fs_layout", fs_layout},
    {"fs_stream", fs_stream},
};

std::vector<std::string_view> split(std::string_view line) {
    std::vector<std::string_view> tokens;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        std::size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
        if (j > i) tokens.push_back(line.substr(i, j - i));
        i = j;
    }
    return tokens;
}

std::string run(std::string_view line) {
    const std::vector<std::string_view> tokens = split(line);
    if (tokens.empty()) return "error empty command";
    for (const Command& command : commands) {
        if (command.name != tokens[0]) continue;
        Line out;
        try {
            command.run(Args(tokens).subspan(1), out);
        } catch (const BadCommand& e) {
            return "error " + e.what;
        } catch (const morvik3::InternalError& e) {
            return std::string("internal_error ") + e.what();
        }
        return out.text;
    }
    return "error unknown command '" + std::string(tokens[0]) + "'";
}

}  // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) std::cout << run(line) << std::endl;  // flushed: callers wait per line
    return 0;
}
