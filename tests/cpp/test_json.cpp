#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "frame/json.hpp"
#include "frame/rng.hpp"

namespace {

using namespace morvik3;

struct Pair {
    std::uint64_t a = 0;
    double b = 0.0;
    static constexpr std::string_view json_name = "Pair";
    static constexpr auto json_fields() { return std::tuple{json::field("a", &Pair::a), json::field("b", &Pair::b)}; }
    friend bool operator==(const Pair&, const Pair&) = default;
};

struct One {
    std::uint32_t x = 0;
    static constexpr std::string_view json_name = "One";
    static constexpr auto json_fields() { return std::tuple{json::field("x", &One::x)}; }
};

struct Leaf {
    std::uint64_t point_idx = 0;
    std::uint64_t mass = 0;
    static constexpr std::string_view json_name = "Leaf";
    static constexpr std::string_view json_enum_name = "Node";
    static constexpr auto json_fields() {
        return std::tuple{json::field("point_idx", &Leaf::point_idx), json::field("mass", &Leaf::mass)};
    }
    friend bool operator==(const Leaf&, const Leaf&) = default;
};

struct Internal {
    std::uint64_t left = 0;
    float cut_val = 0.0f;
    std::vector<float> min;
    static constexpr std::string_view json_name = "Internal";
    static constexpr std::string_view json_enum_name = "Node";
    static constexpr auto json_fields() {
        return std::tuple{json::field("left", &Internal::left), json::field("cut_val", &Internal::cut_val),
                          json::field("min", &Internal::min)};
    }
    friend bool operator==(const Internal&, const Internal&) = default;
};

using Node = std::variant<Internal, Leaf>;

// One field of every supported kind, to drive whole-document round trips.
struct Everything {
    std::uint64_t u = 0;
    std::uint32_t w = 0;
    std::int64_t i = 0;
    bool flag = false;
    double d = 0.0;
    float f = 0.0f;
    std::vector<bool> occupied;
    std::optional<std::uint64_t> maybe;
    std::vector<std::optional<Node>> nodes;
    json::NdArray<float, 2> store;
    json::NdArray<std::uint64_t, 1> counts;
    Xoshiro256PlusPlus rng;
    Seed4 seed;
    json::NullAsPosInf<double> lo;
    json::NullAsNegInf<double> hi;
    Pair nested;
    static constexpr std::string_view json_name = "Everything";
    static constexpr auto json_fields() {
        using E = Everything;
        return std::tuple{json::field("u", &E::u), json::field("w", &E::w), json::field("i", &E::i),
                          json::field("flag", &E::flag), json::field("d", &E::d), json::field("f", &E::f),
                          json::field("occupied", &E::occupied), json::field("maybe", &E::maybe),
                          json::field("nodes", &E::nodes), json::field("store", &E::store),
                          json::field("counts", &E::counts), json::field("rng", &E::rng), json::field("seed", &E::seed),
                          json::field("lo", &E::lo), json::field("hi", &E::hi), json::field("nested", &E::nested)};
    }
    friend bool operator==(const Everything&, const Everything&) = default;
};

// A recursive record: each level is one more object.
struct Chain {
    std::unique_ptr<Chain> next;
    static constexpr std::string_view json_name = "Chain";
    static constexpr auto json_fields() { return std::tuple{json::field("next", &Chain::next)}; }
};

template <class T>
std::string error_of(std::string_view text) {
    const auto r = json::read<T>(text);
    return r ? std::string("<parsed>") : r.error();
}

std::string nested(std::size_t depth, std::string_view open, std::string_view inner, std::string_view close) {
    std::string s;
    for (std::size_t i = 0; i < depth; ++i) s += open;
    s += inner;
    for (std::size_t i = 0; i < depth; ++i) s += close;
    return s;
}

// ---------------------------------------------------------------------------

struct FloatCase {
    double value;
    const char* f64;
    const char* f32;  // nullptr where the value is not a float test
};

TEST(JsonNumberFormat, MatchesShortestDisplayTable) {
    const double inf = std::numeric_limits<double>::infinity();
    const FloatCase cases[] = {
        {0.0, "0.0", "0.0"},
        {-0.0, "-0.0", "-0.0"},
        {1.0, "1.0", "1.0"},
        {-2.5, "-2.5", "-2.5"},
        {0.125, "0.125", "0.125"},
        {2048.0, "2048.0", "2048.0"},
        {12.34, "12.34", nullptr},
        {0.0001, "0.0001", nullptr},
        {0.00001, "0.00001", nullptr},
        {1e-6, "1e-6", nullptr},
        {1e-7, "1e-7", nullptr},
        {1e15, "1000000000000000.0", nullptr},
        {1234567890123456.0, "1234567890123456.0", nullptr},
        {1e16, "1e16", nullptr},
        {12345678901234568.0, "1.2345678901234568e16", nullptr},
        {1.5e300, "1.5e300", nullptr},
        {1.234e33, "1.234e33", nullptr},
        {5e-324, "5e-324", nullptr},
        {std::numeric_limits<double>::max(), "1.7976931348623157e308", nullptr},
        {0.1, "0.1", "0.1"},
        {1e12, "1000000000000.0", "1000000000000.0"},
        {1e13, "10000000000000.0", "1e13"},
        {1e14, "100000000000000.0", "1e14"},
        {1e-6, "1e-6", "0.000001"},
        {1e-7, "1e-7", "1e-7"},
        {16777216.0, "16777216.0", "16777216.0"},
        {static_cast<double>(std::numeric_limits<float>::max()), "3.4028234663852886e38", "3.4028235e38"},
        {std::nan(""), "null", "null"},
        {inf, "null", "null"},
        {-inf, "null", "null"},
    };
    for (const auto& c : cases) {
        std::string s;
        json::write_f64(s, c.value);
        EXPECT_EQ(s, c.f64) << "double " << c.value;
        if (c.f32 != nullptr) {
            std::string t;
            json::write_f32(t, static_cast<float>(c.value));
            EXPECT_EQ(t, c.f32) << "float " << c.value;
        }
    }
    EXPECT_EQ(json::write(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(json::write(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(json::write(std::uint64_t{2048}), "2048");
}

// The digits must be the fewest that read back (checked against the C
// library's parser and printf rounding, not the writer's own machinery).
TEST(JsonNumberFormat, DigitsAreShortestAndExact) {
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> decade(-8.0, 19.0);
    for (int k = 0; k < 40000; ++k) {
        // Alternate raw bit patterns with values around the plain-decimal range.
        const double v = k % 2 ? std::bit_cast<double>(gen()) : std::pow(10.0, decade(gen));
        if (!std::isfinite(v) || v == 0) continue;
        std::string s;
        json::write_f64(s, v);
        ASSERT_EQ(std::strtod(s.c_str(), nullptr), v) << s;
        int digits = 0;
        bool leading = true;
        for (char c : s.substr(0, s.find('e'))) {
            if (c < '0' || c > '9') continue;
            if (c != '0') leading = false;
            if (!leading) ++digits;
        }
        if (s.find('e') == std::string::npos) {
            while (s.back() == '0' || s.back() == '.') {
                if (s.back() == '0') --digits;
                s.pop_back();
            }
        }
        if (digits > 1) {
            char shorter[64];
            std::snprintf(shorter, sizeof shorter, "%.*e", digits - 2, v);
            EXPECT_NE(std::strtod(shorter, nullptr), v) << s << " is not the shortest form";
        }
    }
}

TEST(JsonRoundTrip, RandomBitPatternsAreStableByteForByte) {
    std::mt19937_64 gen(12345);
    for (int k = 0; k < 200000; ++k) {
        const std::uint64_t bits = gen();
        const double d = std::bit_cast<double>(bits);
        if (std::isfinite(d)) {
            const std::string s = json::write(d);
            const auto back = json::read<double>(s);
            ASSERT_TRUE(back.has_value()) << s << ": " << back.error();
            ASSERT_EQ(std::bit_cast<std::uint64_t>(*back), bits) << s;
            ASSERT_EQ(json::write(*back), s);
        }
        const float f = std::bit_cast<float>(static_cast<std::uint32_t>(bits >> 32));
        if (std::isfinite(f)) {
            const std::string s = json::write(f);
            const auto back = json::read<float>(s);
            ASSERT_TRUE(back.has_value()) << s << ": " << back.error();
            ASSERT_EQ(std::bit_cast<std::uint32_t>(*back), std::bit_cast<std::uint32_t>(f)) << s;
            ASSERT_EQ(json::write(*back), s);
        }
    }
}

Everything sample_document() {
    return {std::numeric_limits<std::uint64_t>::max(), 4294967295u, std::numeric_limits<std::int64_t>::min(), true,
            -1.5e-300, 0.1f, {true, false, true}, 7,
            {Node{Leaf{3, 1}}, std::nullopt, Node{Internal{0, -0.0f, {1.0f, 2.5f}}}},
            {{2, 3}, {1, 2, 3, 4, 5, 6}}, {{2}, {0, 18446744073709551615ull}}, {{1, 2, 3, 4}}, {{9, 8, 7, 6}},
            {std::numeric_limits<double>::infinity()}, {2.0}, {5, 0.25}};
}

TEST(JsonRoundTrip, RecordWithEveryFieldKind) {
    const std::string expected =
        R"({"u":18446744073709551615,"w":4294967295,"i":-9223372036854775808,"flag":true,"d":-1.5e-300,)"
        R"("f":0.1,"occupied":[true,false,true],"maybe":7,"nodes":[{"Leaf":{"point_idx":3,"mass":1}},null,)"
        R"({"Internal":{"left":0,"cut_val":-0.0,"min":[1.0,2.5]}}],"store":{"v":1,"dim":[2,3],)"
        R"("data":[1.0,2.0,3.0,4.0,5.0,6.0]},"counts":{"v":1,"dim":[2],"data":[0,18446744073709551615]},)"
        R"("rng":{"s":[1,2,3,4]},"seed":[9,8,7,6],"lo":null,"hi":2.0,"nested":{"a":5,"b":0.25}})";
    const Everything e = sample_document();
    std::string out = "prefix:";
    json::write_to(out, e);
    EXPECT_EQ(out, "prefix:" + expected);
    const auto back = json::read<Everything>(expected);
    ASSERT_TRUE(back.has_value()) << back.error();
    EXPECT_EQ(*back, e);
    EXPECT_EQ(json::write(*back), expected);
}

struct ErrorCase {
    const char* text;
    const char* message;
};

void expect_errors(const std::vector<ErrorCase>& cases, std::string (*read)(std::string_view)) {
    for (const auto& c : cases) EXPECT_EQ(read(c.text), c.message) << "input: " << c.text;
}

TEST(JsonReaderErrors, SyntaxMessagesAndPositions) {
    expect_errors(
        {
            {"", "EOF while parsing a value at line 1 column 0"},
            {"   ", "EOF while parsing a value at line 1 column 3"},
            {R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
            {R"({"a)", "EOF while parsing a string at line 1 column 3"},
            {R"({"a":)", "EOF while parsing a value at line 1 column 5"},
            {R"({"a" 1})", "expected `:` at line 1 column 6"},
            {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
            {R"({"a":nul})", "expected ident at line 1 column 9"},
            {R"({"a":tru)", "EOF while parsing a value at line 1 column 8"},
            {R"({"a":x})", "expected value at line 1 column 6"},
            {R"({"\q":1})", "invalid escape at line 1 column 4"},
            {R"({"\u12g4":1})", "invalid escape at line 1 column 8"},
            {R"({"\u00)", "EOF while parsing a string at line 1 column 6"},
            {R"({"a":01})", "invalid number at line 1 column 7"},
            {R"({"a":1.})", "invalid number at line 1 column 8"},
            {R"({"a":-})", "invalid number at line 1 column 7"},
            {R"({"a":1e})", "invalid number at line 1 column 8"},
            {R"({"a":1,"b":1e400})", "number out of range at line 1 column 16"},
            {R"({"a":1,"b":-1e400})", "number out of range at line 1 column 17"},
            {"{\"\xff\":1}", "invalid unicode code point at line 1 column 4"},
            {"{\"\xed\xa0\x80\":1}", "invalid unicode code point at line 1 column 6"},
            {"{\"x\":1,\"skip\":\"\xc3\x28\",\"a\":1}", "invalid unicode code point at line 1 column 18"},
            {"{\"a\x01\":1}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
            {R"({1:2})", "key must be a string at line 1 column 2"},
            {R"({"\udc00":1})", "lone leading surrogate in hex escape at line 1 column 8"},
            {R"({"\ud800\u0041":1})", "lone leading surrogate in hex escape at line 1 column 14"},
            {R"({"\ud800x":1})", "unexpected end of hex escape at line 1 column 9"},
            {R"({"a":1,})", "trailing comma at line 1 column 8"},
            {R"({"a":1,"b":2.0} x)", "trailing characters at line 1 column 17"},
            {R"([1,2.0,3])", "trailing characters at line 1 column 8"},
            {R"([1,2.0,])", "trailing comma at line 1 column 8"},
            {R"([1 2.0])", "expected `,` or `]` at line 1 column 4"},
            {R"([1,)", "EOF while parsing a value at line 1 column 3"},
            {R"([1)", "EOF while parsing a list at line 1 column 2"},
            {"{\n  \"a\": 1,\n  \"b\": x\n}", "expected value at line 3 column 8"},
            // Skipped values keep their own checks.
            {R"({"z":[1,],"a":1,"b":2})", "expected value at line 1 column 9"},
            {R"({"z":{"k":1,},"a":1,"b":2})", "key must be a string at line 1 column 13"},
            {R"({"z":[1 2]})", "expected `,` or `]` at line 1 column 9"},
            {R"({"z":{"k" 1}})", "expected `:` at line 1 column 11"},
            {R"({"z":"\x"})", "invalid escape at line 1 column 8"},
            {R"({"z":[)", "EOF while parsing a list at line 1 column 6"},
            {R"({"z":{)", "EOF while parsing an object at line 1 column 6"},
        },
        error_of<Pair>);
    // A string that decodes to a valid name matches the field.
    const auto escaped = json::read<Pair>(R"({"\u0061":1,"\u0062":2})");
    ASSERT_TRUE(escaped.has_value()) << escaped.error();
    EXPECT_EQ(*escaped, (Pair{1, 2.0}));
    // Paired surrogates and raw multi-byte characters are accepted in skipped keys.
    EXPECT_TRUE(json::read<Pair>("{\"\\ud83d\\ude00\xf0\x9f\x98\x80\":0,\"a\":1,\"b\":2}").has_value());
}

TEST(JsonReaderErrors, StructureMessages) {
    expect_errors(
        {
            {R"({"a":1})", "missing field `b` at line 1 column 7"},
            {R"({"b":1.0})", "missing field `a` at line 1 column 9"},
            {R"({"a":1,"a":2})", "duplicate field `a` at line 1 column 10"},
            {R"([1])", "invalid length 1, expected struct Pair with 2 elements at line 1 column 3"},
            {R"(5)", "invalid type: integer `5`, expected struct Pair at line 1 column 1"},
            {R"(null)", "invalid type: null, expected struct Pair at line 1 column 4"},
            {R"("ab\"c\n")", R"(invalid type: string "ab\"c\n", expected struct Pair at line 1 column 9)"},
        },
        error_of<Pair>);
    EXPECT_EQ(error_of<One>("[]"), "invalid length 0, expected struct One with 1 element at line 1 column 2");
    EXPECT_EQ(error_of<Seed4>("[1,2]"), "invalid length 2, expected tuple struct Seed4 with 4 elements at line 1 column 5");
    EXPECT_EQ(error_of<Seed4>("[1,2,3,4,5]"), "trailing characters at line 1 column 10");
    EXPECT_EQ(error_of<Seed4>(R"({"0":1})"), "invalid type: map, expected tuple struct Seed4 at line 1 column 0");
    EXPECT_EQ(error_of<Xoshiro256PlusPlus>(R"({"s":[1,2,3]})"),
              "invalid length 3, expected an array of length 4 at line 1 column 12");
    EXPECT_EQ(error_of<Xoshiro256PlusPlus>(R"({"s":{}})"),
              "invalid type: map, expected an array of length 4 at line 1 column 5");
    EXPECT_EQ(error_of<std::vector<std::uint64_t>>(R"("x")"),
              R"(invalid type: string "x", expected a sequence at line 1 column 3)");
    EXPECT_EQ(error_of<std::vector<bool>>("[true,1]"), "invalid type: integer `1`, expected a boolean at line 1 column 7");
}

TEST(JsonNumbers, IntegerRangeAndTypeErrors) {
    using U64 = std::uint64_t;
    const std::pair<const char*, const char*> u64_cases[] = {
        {"1.5", "invalid type: floating point `1.5`, expected u64 at line 1 column 3"},
        {"1000.0", "invalid type: floating point `1000.0`, expected u64 at line 1 column 6"},
        {"1e20", "invalid type: floating point `1e20`, expected u64 at line 1 column 4"},
        {"-0", "invalid type: floating point `-0.0`, expected u64 at line 1 column 2"},
        {"18446744073709551616", "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 column 20"},
        {"-1", "invalid value: integer `-1`, expected u64 at line 1 column 2"},
        {"true", "invalid type: boolean `true`, expected u64 at line 1 column 4"},
        {"[1]", "invalid type: sequence, expected u64 at line 1 column 0"},
        {"{}", "invalid type: map, expected u64 at line 1 column 0"},
        {"null", "invalid type: null, expected u64 at line 1 column 4"},
    };
    for (const auto& [text, message] : u64_cases) EXPECT_EQ(error_of<U64>(text), message) << text;

    EXPECT_EQ(json::read<U64>("18446744073709551615").value(), std::numeric_limits<U64>::max());
    EXPECT_EQ(json::read<std::uint32_t>("4294967295").value(), 4294967295u);
    EXPECT_EQ(error_of<std::uint32_t>("4294967296"),
              "invalid value: integer `4294967296`, expected u32 at line 1 column 10");
    EXPECT_EQ(error_of<std::uint32_t>("-5"), "invalid value: integer `-5`, expected u32 at line 1 column 2");
    EXPECT_EQ(json::read<std::int64_t>("-9223372036854775808").value(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(json::read<std::int64_t>("9223372036854775807").value(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(error_of<std::int64_t>("9223372036854775808"),
              "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 19");
    EXPECT_EQ(error_of<std::int64_t>("-9223372036854775809"),
              "invalid type: floating point `-9.223372036854776e18`, expected i64 at line 1 column 20");
    EXPECT_EQ(error_of<bool>("5"), "invalid type: integer `5`, expected a boolean at line 1 column 1");
}

TEST(JsonNumbers, FloatsAcceptEveryNumber) {
    const std::pair<const char*, double> doubles[] = {
        {"3", 3.0},           {"-3", -3.0},         {"-0", -0.0},
        {"1e-400", 0.0},      {"-1e-400", -0.0},    {"18446744073709551616", 18446744073709551616.0},
        {"2.5E+3", 2500.0},   {"0.1", 0.1},         {"0.0e99999999999999999999", 0.0},
        {"1e-99999999999999999999", 0.0},
    };
    for (const auto& [text, want] : doubles) {
        const auto got = json::read<double>(text);
        ASSERT_TRUE(got.has_value()) << text << ": " << got.error();
        EXPECT_EQ(std::bit_cast<std::uint64_t>(*got), std::bit_cast<std::uint64_t>(want)) << text;
    }
    EXPECT_EQ(error_of<double>("1e99999999999999999999"), "number out of range at line 1 column 22");
    EXPECT_EQ(json::read<float>("0.1").value(), 0.1f);
    EXPECT_EQ(json::read<float>("16777217").value(), 16777216.0f);
    EXPECT_EQ(json::read<float>("1e300").value(), std::numeric_limits<float>::infinity());
    EXPECT_EQ(json::read<float>("-1e300").value(), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(error_of<double>("null"), "invalid type: null, expected f64 at line 1 column 4");
    EXPECT_EQ(error_of<float>("null"), "invalid type: null, expected f32 at line 1 column 4");
    EXPECT_EQ(error_of<double>(R"("1.5")"), R"(invalid type: string "1.5", expected f64 at line 1 column 5)");
}

TEST(JsonNull, OptionalAndInfinityFields) {
    EXPECT_EQ(json::read<std::optional<double>>("null").value(), std::nullopt);
    EXPECT_EQ(json::read<std::optional<double>>(" 2 ").value(), 2.0);
    EXPECT_EQ(error_of<std::optional<double>>("nil"), "expected ident at line 1 column 2");
    EXPECT_EQ(error_of<std::optional<double>>("true"), "invalid type: boolean `true`, expected f64 at line 1 column 4");

    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(json::read<json::NullAsPosInf<double>>("null").value().value, inf);
    EXPECT_EQ(json::read<json::NullAsNegInf<double>>("null").value().value, -inf);
    EXPECT_EQ(json::read<json::NullAsNegInf<float>>("null").value().value, -std::numeric_limits<float>::infinity());
    EXPECT_EQ(json::read<json::NullAsPosInf<double>>("-4.5").value().value, -4.5);
    EXPECT_EQ(json::write(json::NullAsNegInf<double>{-inf}), "null");
    EXPECT_EQ(json::write(json::NullAsPosInf<float>{0.1f}), "0.1");
    EXPECT_EQ(error_of<json::NullAsPosInf<double>>("[]"), "invalid type: sequence, expected f64 at line 1 column 0");

    // An absent nullable field reads as absent; a present null too.
    const auto e = json::read<Everything>(
        R"({"u":1,"w":2,"i":3,"flag":true,"d":1,"f":1,"occupied":[],"nodes":[null],)"
        R"("store":[1,[0,0],[]],"counts":{"v":1,"dim":[0],"data":[]},"rng":[[1,2,3,4]],"seed":[1,2,3,4],)"
        R"("lo":null,"hi":null,"nested":{"a":1,"b":2}})");
    ASSERT_TRUE(e.has_value()) << e.error();
    EXPECT_EQ(e->maybe, std::nullopt);
    EXPECT_EQ(e->nodes.size(), 1u);
    EXPECT_FALSE(e->nodes[0].has_value());
    EXPECT_EQ(e->lo.value, inf);
    EXPECT_EQ(e->hi.value, -inf);
}

TEST(JsonNdArray, VersionAxesAndSize) {
    using M = json::NdArray<float, 2>;
    expect_errors(
        {
            {R"({"v":2,"dim":[1,1],"data":[1]})", "unknown array version: 2 at line 1 column 6"},
            {R"({"v":256,"dim":[1,1],"data":[1]})", "invalid value: integer `256`, expected u8 at line 1 column 8"},
            {R"({"v":1,"dim":[2,2],"data":[1,2,3]})", "data and dimension must match in size at line 1 column 34"},
            {R"({"v":1,"dim":[2],"data":[1,2]})", "invalid length 1, expected an array of length 2 at line 1 column 16"},
            {R"({"v":1,"dim":[1,2,1],"data":[1,2]})", "trailing characters at line 1 column 19"},
            {R"({"v":1,"dim":[1000000000000000000,1000000000000000000],"data":[]})",
             "data and dimension must match in size at line 1 column 65"},
            {R"({"v":1,"dim":[4294967296,4294967296],"data":[1]})",
             "data and dimension must match in size at line 1 column 48"},
            {R"({"v":1,"dim":[1,1]})", "missing field `data` at line 1 column 19"},
            {R"({"dim":[1,1],"data":[1]})", "missing field `v` at line 1 column 24"},
            {R"({"v":1,"dim":[1,1],"data":[1],"x":0})", "unknown field `x`, expected one of `v`, `dim`, `data` at line 1 column 33"},
            {R"([1,[1,1]])", "invalid length 2, expected ndarray representation at line 1 column 9"},
            {R"([1,[1,2],[1]])", "data and dimension must match in size at line 1 column 13"},
            {R"(7)", "invalid type: integer `7`, expected ndarray representation at line 1 column 1"},
            {R"({"v":1,"dim":[1,1],"data":[null]})", "invalid type: null, expected f32 at line 1 column 31"},
        },
        [](std::string_view t) { return error_of<M>(t); });
    const auto ok = json::read<M>(R"({"data":[1,2,3,4,5,6],"v":1,"dim":[3,2]})");
    ASSERT_TRUE(ok.has_value()) << ok.error();
    EXPECT_EQ(ok->dim, (std::array<std::uint64_t, 2>{3, 2}));
    EXPECT_EQ(ok->data.size(), 6u);
    const auto empty = json::read<M>(R"({"v":1,"dim":[0,1000000000000000000],"data":[]})");
    EXPECT_TRUE(empty.has_value());
}

TEST(JsonVariant, ExternallyTaggedUnion) {
    using Slot = std::optional<Node>;
    expect_errors(
        {
            {R"({"Lef":{}})", "unknown variant `Lef`, expected `Internal` or `Leaf` at line 1 column 6"},
            {R"("Leaf")", "invalid type: unit variant, expected struct variant at line 1 column 6"},
            {R"({"Leaf":{"point_idx":1,"mass":1},"x":1})", "expected value at line 1 column 32"},
            {R"({"Leaf":{"point_idx":1,"mass":1})", "EOF while parsing an object at line 1 column 32"},
            {R"({"Leaf":5})", "invalid type: integer `5`, expected struct variant Node::Leaf at line 1 column 9"},
            {R"({"Leaf":[1]})", "invalid length 1, expected struct variant Node::Leaf with 2 elements at line 1 column 11"},
            {R"({"Leaf" {}})", "expected `:` at line 1 column 9"},
            {R"({})", "expected value at line 1 column 2"},
            {R"(5)", "expected value at line 1 column 1"},
        },
        [](std::string_view t) { return error_of<Slot>(t); });
    const auto internal = json::read<Slot>(R"({ "Internal" : [4, 0.5, [1]] })");
    ASSERT_TRUE(internal.has_value()) << internal.error();
    EXPECT_EQ(std::get<Internal>(**internal), (Internal{4, 0.5f, {1.0f}}));
}

TEST(JsonDepth, HundredTwentySeventhLevelIsTheLast) {
    auto skip = [](const std::string& text) {
        json::Reader r(text);
        return r.skip_value() && r.finish() ? std::string("ok") : r.error();
    };
    EXPECT_EQ(skip(nested(127, "[", "", "]")), "ok");
    EXPECT_EQ(skip(nested(128, "[", "", "]")), "recursion limit exceeded at line 1 column 128");
    EXPECT_EQ(skip(nested(127, "{\"k\":", "1", "}")), "ok");
    EXPECT_EQ(skip(std::string(100000, '[')), "recursion limit exceeded at line 1 column 128");

    // Typed and skipped levels count alike.
    EXPECT_EQ(error_of<Chain>(nested(127, "{\"next\":", "null", "}")), "<parsed>");
    EXPECT_EQ(error_of<Chain>(nested(128, "{\"next\":", "null", "}")),
              "recursion limit exceeded at line 1 column 1017");
    EXPECT_EQ(error_of<Pair>(R"({"a":1,"b":2,"z":)" + nested(126, "[", "", "]") + "}"), "<parsed>");
    EXPECT_NE(error_of<Pair>(R"({"a":1,"b":2,"z":)" + nested(127, "[", "", "]") + "}").find("recursion limit"),
              std::string::npos);
}

}  // namespace
