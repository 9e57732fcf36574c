// The JSON form of every detector state: one declaration of a record's fields
// drives both the compact writer and the reader.
//
//     struct Leaf {
//         std::uint64_t point_idx = 0;
//         std::uint64_t mass = 0;
//         static constexpr std::string_view json_name = "Leaf";
//         static constexpr auto json_fields() {
//             return std::tuple{json::field("point_idx", &Leaf::point_idx), json::field("mass", &Leaf::mass)};
//         }
//     };
//
// Records are written as objects with keys in declaration order and read from
// objects (keys in any order, unknown keys skipped) or from arrays of field
// values.  A field whose document form is not its member's value is declared
// with `json::form_field<Form>("name")`, Form writing it from the whole
// record and reading it into the record.  Optional extras on a record:
//   `static constexpr bool json_tuple_struct = true;`  written and read as a bare
//       array of its field values (a std::array field contributes its elements);
//   `static constexpr std::string_view json_enum_name = "Node";`  names the
//       std::variant it is an alternative of, for error messages.
//
// Leaf types: u64, u32, i64, bool, double, float, std::vector, LargeArray, std::optional,
// std::unique_ptr (null when empty), std::array, NdArray, NullAsPosInf /
// NullAsNegInf, std::variant of records (externally tagged).  Another leaf type
// is added by specialising `json::Codec<T>` with `write` and `read` like the
// ones below.
//
// Reader messages and their " at line L column C" suffix follow serde_json, the
// reader these documents were first designed with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "frame/excerpt.hpp"
#include "frame/large_array.hpp"

namespace morvik3::json {

// ---------------------------------------------------------------------------
// Declarations

class Reader;
template <class T>
struct Codec;

template <class C, class M>
struct Field {
    std::string_view name;
    M C::*member;
    using Class = C;
    using Member = M;

    void write(std::string& out, const C& record) const { Codec<M>::write(out, record.*member); }
    [[nodiscard]] bool read(Reader& r, C& record) const { return Codec<M>::read(r, record.*member); }
};

template <class C, class M>
constexpr Field<C, M> field(std::string_view name, M C::*member) {
    return {name, member};
}

// A field of record `Form::Record` written by `Form::write(out, record)` and
// read by `Form::read(reader, record)`; it is never optional.
template <class Form>
struct FormField {
    std::string_view name;
    using Class = typename Form::Record;

    void write(std::string& out, const Class& record) const { Form::write(out, record); }
    [[nodiscard]] bool read(Reader& r, Class& record) const { return Form::read(r, record); }
};

template <class Form>
constexpr FormField<Form> form_field(std::string_view name) {
    return {name};
}

// An n-dimensional array: axis lengths outermost first, elements row-major,
// held in a vector or, for a table sized by a configuration, a LargeArray.
template <class T, std::size_t N, class Storage = std::vector<T>>
struct NdArray {
    std::array<std::uint64_t, N> dim{};
    Storage data;

    friend bool operator==(const NdArray&, const NdArray&) = default;
};

// A float that a document may hold as `null`, read back as +infinity
// (Sign > 0) or -infinity (Sign < 0); the writer writes every non-finite
// float as `null`.
template <class F, int Sign>
struct NullAsInf {
    F value{};
    constexpr NullAsInf() = default;
    constexpr NullAsInf(F v) : value(v) {}  // NOLINT: a number in every other respect
    constexpr operator F() const { return value; }
    friend bool operator==(const NullAsInf&, const NullAsInf&) = default;
};
template <class F>
using NullAsPosInf = NullAsInf<F, 1>;
template <class F>
using NullAsNegInf = NullAsInf<F, -1>;

template <class T>
concept Record = requires {
    { T::json_name } -> std::convertible_to<std::string_view>;
    T::json_fields();
};

template <class T>
constexpr bool is_tuple_struct() {
    if constexpr (requires { T::json_tuple_struct; }) {
        return T::json_tuple_struct;
    } else {
        return false;
    }
}

// ---------------------------------------------------------------------------
// Writer primitives

void write_u64(std::string& out, std::uint64_t v);
void write_i64(std::string& out, std::int64_t v);
// Shortest round-trip decimal, always with a point or an exponent; `null` for
// NaN and infinities.
void write_f64(std::string& out, double v);
void write_f32(std::string& out, float v);

// ---------------------------------------------------------------------------
// Reader

// The most arrays and objects the reader accepts nested in one another.
inline constexpr int max_nesting = 127;

// A single forward pass over the document.  Every operation that can fail
// records its error and returns false; callers then return false at once.
class Reader {
public:
    static constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();

    // `allowance`: the bytes the values read may take between them (see charge).
    explicit Reader(std::string_view text, std::uint64_t allowance = unlimited) : text_(text), allowance_(allowance) {}

    enum class NumberKind { u64, i64, f64 };
    struct Number {
        NumberKind kind = NumberKind::u64;
        std::uint64_t u = 0;
        std::int64_t i = 0;
        double f = 0.0;
    };

    // Skips whitespace; the next byte, or -1 at the end of the input.
    [[nodiscard]] int peek();
    void eat() { ++pos_; }

    // Scalars.  `expecting` names the wanted type in messages ("u64", "f32").
    [[nodiscard]] bool read_number(Number& n, std::string_view expecting);
    [[nodiscard]] bool read_u64(std::uint64_t& v, std::string_view expecting = "u64");
    [[nodiscard]] bool read_bounded_unsigned(std::uint64_t& v, std::uint64_t max, std::string_view expecting);
    [[nodiscard]] bool read_i64(std::int64_t& v);
    [[nodiscard]] bool read_bool(bool& v);
    [[nodiscard]] bool read_f64(double& v, std::string_view expecting = "f64");
    [[nodiscard]] bool read_f32(float& v);
    // `null` (true) or not (false, nothing consumed).
    [[nodiscard]] bool read_null_or_not(bool& is_null);

    // Arrays: open (or `enter` and `eat` the bracket), then `next_element`
    // before each element until it reports no more, then `close_array`, which
    // also leaves the nesting level.
    [[nodiscard]] bool open_array(std::string_view expecting);
    [[nodiscard]] bool next_element(bool& first, bool& more);
    [[nodiscard]] bool close_array();

    // Objects: `enter` and `eat` the brace, then `next_key` until it reports no
    // more (the brace stays for `close_object`, which leaves the nesting
    // level); after each key, `colon` then the value.
    [[nodiscard]] bool next_key(bool& first, std::string_view& key, bool& more);
    [[nodiscard]] bool colon();
    [[nodiscard]] bool close_object();

    // Nesting accounting for every array and object entered.
    [[nodiscard]] bool enter();
    void leave() { ++depth_left_; }

    // A whole value, syntax-checked and discarded.
    [[nodiscard]] bool skip_value();

    // Reads a quoted string (current byte is the opening quote); the view may
    // point into a buffer that the next string read reuses.
    [[nodiscard]] bool read_string(std::string_view& s);

    // Errors.  `fail` reports at the scan position, `fail_peek` at the next byte.
    [[nodiscard]] bool fail(std::string message);
    [[nodiscard]] bool fail_peek(std::string message);
    // "invalid type: <what is next>, expected <expecting>", consuming the value.
    [[nodiscard]] bool invalid_type(std::string_view expecting);
    [[nodiscard]] bool invalid_length(std::size_t n, std::string_view expecting);
    [[nodiscard]] bool eof_value() { return fail_peek("EOF while parsing a value"); }

    // The document must end here (trailing whitespace allowed).
    [[nodiscard]] bool finish();

    // Takes `bytes` for one more element or box from the allowance; once it
    // is spent, fails naming the field being read.
    [[nodiscard]] bool charge(std::size_t bytes) {
        if (bytes <= allowance_) {
            allowance_ -= bytes;
            return true;
        }
        return over_allowance();
    }
    // The record field whose value is being read, for that message.
    void enter_field(std::string_view name) {
        if (fields_ < field_names_.size()) field_names_[fields_] = name;
        ++fields_;
    }
    void leave_field() { --fields_; }

    [[nodiscard]] const std::string& error() const { return error_; }

private:
    [[nodiscard]] bool ident(std::string_view rest);
    [[nodiscard]] bool scan_number(Number* n);
    [[nodiscard]] bool scan_string(bool decode, std::string_view* out);
    [[nodiscard]] bool scan_escape(bool decode);
    [[nodiscard]] bool hex4(std::uint32_t& v);
    [[nodiscard]] bool fail_at(std::size_t index, std::string message);
    [[nodiscard]] bool number_mismatch(const Number& n, bool as_type, std::string_view expecting);
    [[nodiscard]] bool over_allowance();

    std::string_view text_;
    std::size_t pos_ = 0;
    int depth_left_ = max_nesting + 1;
    std::string scratch_;  // decoded strings that held escapes
    std::string error_;
    std::uint64_t allowance_;
    // Fields are nested no deeper than containers are.
    std::array<std::string_view, max_nesting + 2> field_names_{};
    std::size_t fields_ = 0;
};

// ---------------------------------------------------------------------------
// Codecs

template <class T>
struct Codec;

template <>
struct Codec<std::uint64_t> {
    static void write(std::string& out, std::uint64_t v) { write_u64(out, v); }
    [[nodiscard]] static bool read(Reader& r, std::uint64_t& v) { return r.read_u64(v); }
};

// An unsigned integer narrower than 64 bits: read wide, refused beyond its range
// under its type's name ("u32", "u8").
template <class U, const char* TypeName>
struct NarrowUnsignedCodec {
    static void write(std::string& out, U v) { write_u64(out, v); }
    [[nodiscard]] static bool read(Reader& r, U& v) {
        std::uint64_t wide = 0;
        if (!r.read_bounded_unsigned(wide, std::numeric_limits<U>::max(), TypeName)) return false;
        v = static_cast<U>(wide);
        return true;
    }
};

inline constexpr char u32_name[] = "u32";
inline constexpr char u8_name[] = "u8";

template <>
struct Codec<std::uint32_t> : NarrowUnsignedCodec<std::uint32_t, u32_name> {};

template <>
struct Codec<std::uint8_t> : NarrowUnsignedCodec<std::uint8_t, u8_name> {};

template <>
struct Codec<std::int64_t> {
    static void write(std::string& out, std::int64_t v) { write_i64(out, v); }
    [[nodiscard]] static bool read(Reader& r, std::int64_t& v) { return r.read_i64(v); }
};

template <>
struct Codec<bool> {
    static void write(std::string& out, bool v) { out.append(v ? "true" : "false"); }
    [[nodiscard]] static bool read(Reader& r, bool& v) { return r.read_bool(v); }
};

template <>
struct Codec<double> {
    static void write(std::string& out, double v) { write_f64(out, v); }
    [[nodiscard]] static bool read(Reader& r, double& v) { return r.read_f64(v); }
};

template <>
struct Codec<float> {
    static void write(std::string& out, float v) { write_f32(out, v); }
    [[nodiscard]] static bool read(Reader& r, float& v) { return r.read_f32(v); }
};

namespace detail {

template <class F>
void write_float(std::string& out, F v) {
    if constexpr (std::is_same_v<F, float>) {
        write_f32(out, v);
    } else {
        write_f64(out, v);
    }
}

template <class F>
[[nodiscard]] bool read_float_or_null(Reader& r, F& v, F if_null) {
    bool is_null = false;
    if (!r.read_null_or_not(is_null)) return false;
    if (is_null) {
        v = if_null;
        return true;
    }
    return Codec<F>::read(r, v);
}

}  // namespace detail

template <class F, int Sign>
struct Codec<NullAsInf<F, Sign>> {
    static void write(std::string& out, const NullAsInf<F, Sign>& v) { detail::write_float(out, v.value); }
    [[nodiscard]] static bool read(Reader& r, NullAsInf<F, Sign>& v) {
        return detail::read_float_or_null(r, v.value, Sign * std::numeric_limits<F>::infinity());
    }
};

// A value that may be absent, held in `Holder` (an optional or a box): an
// empty holder is `null`. `fill` makes the holder full and returns the value.
template <class T, class Holder>
struct NullableCodec {
    static void write(std::string& out, const Holder& v) {
        if (v) {
            Codec<T>::write(out, *v);
        } else {
            out.append("null");
        }
    }
    template <class Fill>
    [[nodiscard]] static bool read(Reader& r, Holder& v, Fill fill) {
        bool is_null = false;
        if (!r.read_null_or_not(is_null)) return false;
        if (is_null) {
            v.reset();
            return true;
        }
        return Codec<T>::read(r, fill(v));
    }
};

template <class T>
struct Codec<std::optional<T>> : NullableCodec<T, std::optional<T>> {
    [[nodiscard]] static bool read(Reader& r, std::optional<T>& v) {
        return NullableCodec<T, std::optional<T>>::read(r, v, [](std::optional<T>& o) -> T& { return o.emplace(); });
    }
};

// A boxed value (recursive records); an empty pointer is `null`.
template <class T>
struct Codec<std::unique_ptr<T>> : NullableCodec<T, std::unique_ptr<T>> {
    [[nodiscard]] static bool read(Reader& r, std::unique_ptr<T>& v) {
        if (!r.charge(sizeof(T))) return false;
        return NullableCodec<T, std::unique_ptr<T>>::read(r, v, [](std::unique_ptr<T>& b) -> T& {
            b = std::make_unique<T>();
            return *b;
        });
    }
};

// A JSON array read element by element: each is charged and read as a T,
// then handed to `take`.
template <class T, class Take>
[[nodiscard]] bool read_elements(Reader& r, Take&& take) {
    if (!r.open_array("a sequence")) return false;
    bool first = true;
    bool more = false;
    for (;;) {
        if (!r.next_element(first, more)) return false;
        if (!more) break;
        if (!r.charge(sizeof(T))) return false;
        T e{};
        if (!Codec<T>::read(r, e)) return false;
        take(std::move(e));
    }
    return r.close_array();
}

// A JSON array of the elements of a growable sequence of T.
template <class T, class Sequence>
struct SequenceCodec {
    static void write(std::string& out, const Sequence& v) {
        out.push_back('[');
        bool first = true;
        for (const auto& e : v) {
            if (!first) out.push_back(',');
            first = false;
            Codec<T>::write(out, e);
        }
        out.push_back(']');
    }
    [[nodiscard]] static bool read(Reader& r, Sequence& v) {
        v.clear();
        return read_elements<T>(r, [&](T&& e) { v.push_back(std::move(e)); });
    }
};

template <class T, class A>
struct Codec<std::vector<T, A>> : SequenceCodec<T, std::vector<T, A>> {};

template <class T>
struct Codec<LargeArray<T>> : SequenceCodec<T, LargeArray<T>> {};

namespace detail {

inline std::string array_expecting(std::size_t n) {
    return "an array of length " + std::to_string(n);
}

// Reads the N elements of a fixed-length run inside an already opened array;
// `index` counts the elements of the whole array for the length message.
template <class T, std::size_t N, class Expecting>
[[nodiscard]] bool read_array_elements(Reader& r, std::array<T, N>& v, bool& first, std::size_t& index,
                                       const Expecting& expecting) {
    for (auto& e : v) {
        bool more = false;
        if (!r.next_element(first, more)) return false;
        if (!more) {
            // The closing bracket is consumed before the length is reported.
            (void)r.close_array();
            return r.invalid_length(index, expecting());
        }
        if (!Codec<T>::read(r, e)) return false;
        ++index;
    }
    return true;
}

}  // namespace detail

template <class T, std::size_t N>
struct Codec<std::array<T, N>> {
    static void write(std::string& out, const std::array<T, N>& v) {
        out.push_back('[');
        for (std::size_t i = 0; i < N; ++i) {
            if (i != 0) out.push_back(',');
            Codec<T>::write(out, v[i]);
        }
        out.push_back(']');
    }
    [[nodiscard]] static bool read(Reader& r, std::array<T, N>& v) {
        if (!r.open_array(detail::array_expecting(N))) return false;
        bool first = true;
        std::size_t index = 0;
        if (!detail::read_array_elements(r, v, first, index, [] { return detail::array_expecting(N); })) {
            return false;
        }
        return r.close_array();
    }
};

// The form of an NdArray whose axes and elements a record holds apart.
template <std::size_t N, class Storage>
void write_ndarray(std::string& out, const std::array<std::uint64_t, N>& dim, const Storage& data) {
    out.append("{\"v\":1,\"dim\":");
    Codec<std::array<std::uint64_t, N>>::write(out, dim);
    out.append(",\"data\":");
    Codec<Storage>::write(out, data);
    out.push_back('}');
}

template <class T, std::size_t N, class Storage>
struct Codec<NdArray<T, N, Storage>> {
    static void write(std::string& out, const NdArray<T, N, Storage>& v) { write_ndarray(out, v.dim, v.data); }

    [[nodiscard]] static bool read(Reader& r, NdArray<T, N, Storage>& v) {
        static constexpr std::string_view expecting = "ndarray representation";
        const int c = r.peek();
        if (c < 0) return r.eof_value();
        if (c == '{') {
            if (!r.enter()) return false;
            r.eat();
            bool have_v = false, have_dim = false, have_data = false;
            bool first = true;
            for (;;) {
                std::string_view key;
                bool more = false;
                if (!r.next_key(first, key, more)) return false;
                if (!more) break;
                if (key == "v") {
                    if (!r.colon() || !read_version(r)) return false;
                    have_v = true;
                } else if (key == "dim") {
                    if (!r.colon() || !Codec<std::array<std::uint64_t, N>>::read(r, v.dim)) return false;
                    have_dim = true;
                } else if (key == "data") {
                    if (!r.colon() || !Codec<Storage>::read(r, v.data)) return false;
                    have_data = true;
                } else {
                    return r.fail("unknown field `" + excerpt(key) + "`, expected one of `v`, `dim`, `data`");
                }
            }
            if (!r.close_object()) return false;
            if (!have_v) return r.fail("missing field `v`");
            if (!have_data) return r.fail("missing field `data`");
            if (!have_dim) return r.fail("missing field `dim`");
            return check_size(r, v);
        }
        if (c == '[') {
            if (!r.enter()) return false;
            r.eat();
            bool first = true;
            for (int element = 0; element < 3; ++element) {
                bool more = false;
                if (!r.next_element(first, more)) return false;
                if (!more) {
                    (void)r.close_array();
                    return r.invalid_length(static_cast<std::size_t>(element), expecting);
                }
                const bool ok = element == 0   ? read_version(r)
                                : element == 1 ? Codec<std::array<std::uint64_t, N>>::read(r, v.dim)
                                               : Codec<Storage>::read(r, v.data);
                if (!ok) return false;
            }
            const bool closed = r.close_array();
            if (!sizes_match(v)) return r.fail("data and dimension must match in size");
            return closed;
        }
        return r.invalid_type(expecting);
    }

private:
    [[nodiscard]] static bool read_version(Reader& r) {
        std::uint8_t version = 0;
        if (!Codec<std::uint8_t>::read(r, version)) return false;
        if (version != 1) return r.fail("unknown array version: " + std::to_string(version));
        return true;
    }

    // The element count the axes describe, without overflow: zero-length axes
    // make the array empty whatever the others say, but the rest must still
    // multiply to something addressable.
    [[nodiscard]] static bool sizes_match(const NdArray<T, N, Storage>& v) {
        std::uint64_t nonzero = 1;
        bool empty = false;
        for (std::uint64_t d : v.dim) {
            if (d == 0) {
                empty = true;
                continue;
            }
            if (nonzero > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / d) return false;
            nonzero *= d;
        }
        return (empty ? 0 : nonzero) == v.data.size();
    }

    [[nodiscard]] static bool check_size(Reader& r, const NdArray<T, N, Storage>& v) {
        if (!sizes_match(v)) return r.fail("data and dimension must match in size");
        return true;
    }
};

// ---------------------------------------------------------------------------
// Records

namespace detail {

template <class T>
struct IsNullable : std::false_type {};
template <class T>
struct IsNullable<std::optional<T>> : std::true_type {};
template <class T>
struct IsNullable<std::unique_ptr<T>> : std::true_type {};

template <class T>
struct IsStdArray : std::false_type {};
template <class T, std::size_t N>
struct IsStdArray<std::array<T, N>> : std::true_type {};

// The member type of a plain field; void for a field with its own form.
template <class F>
struct MemberOf {
    using type = void;
};
template <class C, class M>
struct MemberOf<Field<C, M>> {
    using type = M;
};
template <class F>
using member_of = typename MemberOf<F>::type;

template <class T>
constexpr std::size_t field_count() {
    return std::tuple_size_v<decltype(T::json_fields())>;
}

constexpr bool plain_key(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') return false;
    }
    return true;
}

// Field names are written without escaping and looked up by exact match.
template <class T>
constexpr bool valid_field_names() {
    constexpr auto fields = T::json_fields();
    bool ok = true;
    std::apply(
        [&](const auto&... f) {
            const std::string_view names[] = {f.name...};
            for (std::size_t i = 0; i < sizeof...(f); ++i) {
                if (!plain_key(names[i])) ok = false;
                for (std::size_t j = 0; j < i; ++j) {
                    if (names[i] == names[j]) ok = false;
                }
            }
        },
        fields);
    return ok;
}

template <class T>
std::string record_expecting() {
    std::string s;
    if constexpr (is_tuple_struct<T>()) {
        s = "tuple struct ";
    } else if constexpr (requires { T::json_enum_name; }) {
        s.append("struct variant ").append(T::json_enum_name).append("::");
    } else {
        s = "struct ";
    }
    s.append(T::json_name);
    return s;
}

template <class T>
constexpr std::size_t element_count() {
    if constexpr (is_tuple_struct<T>()) {
        constexpr auto fields = T::json_fields();
        return std::apply(
            [](const auto&... f) {
                return (std::size_t{0} + ... +
                        [&] {
                            using M = member_of<std::remove_cvref_t<decltype(f)>>;
                            if constexpr (IsStdArray<M>::value) {
                                return std::tuple_size_v<M>;
                            } else {
                                return std::size_t{1};
                            }
                        }());
            },
            fields);
    } else {
        return field_count<T>();
    }
}

template <class T>
std::string record_length_expecting() {
    const std::size_t n = element_count<T>();
    return record_expecting<T>() + " with " + std::to_string(n) + (n == 1 ? " element" : " elements");
}

}  // namespace detail

template <Record T>
struct Codec<T> {
    static_assert(detail::field_count<T>() <= 64, "a record holds at most 64 fields");
    static_assert(detail::valid_field_names<T>(), "field names must be distinct printable ASCII without quotes");

    static void write(std::string& out, const T& v) {
        constexpr auto fields = T::json_fields();
        if constexpr (is_tuple_struct<T>()) {
            out.push_back('[');
            bool first = true;
            std::apply(
                [&](const auto&... f) {
                    (write_tuple_element(out, v.*(f.member), first), ...);
                },
                fields);
            out.push_back(']');
        } else {
            out.push_back('{');
            bool first = true;
            std::apply(
                [&](const auto&... f) {
                    ((out.append(first ? "\"" : ",\""), first = false, out.append(f.name), out.append("\":"),
                      f.write(out, v)),
                     ...);
                },
                fields);
            out.push_back('}');
        }
    }

    [[nodiscard]] static bool read(Reader& r, T& v) {
        const int c = r.peek();
        if (c < 0) return r.eof_value();
        if (c == '[') {
            if (!r.enter()) return false;
            r.eat();
            return read_elements(r, v) && r.close_array();
        }
        if (c == '{' && !is_tuple_struct<T>()) {
            if (!r.enter()) return false;
            r.eat();
            return read_members(r, v);
        }
        return r.invalid_type(detail::record_expecting<T>());
    }

private:
    template <class M>
    static void write_tuple_element(std::string& out, const M& m, bool& first) {
        if constexpr (detail::IsStdArray<M>::value) {
            for (const auto& e : m) {
                if (!first) out.push_back(',');
                first = false;
                Codec<typename M::value_type>::write(out, e);
            }
        } else {
            if (!first) out.push_back(',');
            first = false;
            Codec<M>::write(out, m);
        }
    }

    // Fields in declaration order; a short array reports its length.
    [[nodiscard]] static bool read_elements(Reader& r, T& v) {
        constexpr auto fields = T::json_fields();
        bool first = true;
        std::size_t index = 0;
        const auto expecting = [] { return detail::record_length_expecting<T>(); };
        return std::apply(
            [&](const auto&... f) {
                return (((r.enter_field(f.name), read_element(r, v, f, first, index, expecting)) &&
                         (r.leave_field(), true)) &&
                        ...);
            },
            fields);
    }

    template <class F, class Expecting>
    [[nodiscard]] static bool read_element(Reader& r, T& v, const F& f, bool& first, std::size_t& index,
                                           const Expecting& expecting) {
        if constexpr (is_tuple_struct<T>() && detail::IsStdArray<detail::member_of<F>>::value) {
            return detail::read_array_elements(r, v.*(f.member), first, index, expecting);
        } else {
            bool more = false;
            if (!r.next_element(first, more)) return false;
            if (!more) {
                (void)r.close_array();
                return r.invalid_length(index, expecting());
            }
            ++index;
            return f.read(r, v);
        }
    }

    template <class F>
    [[nodiscard]] static bool read_field_value(Reader& r, const F& f, T& v) {
        r.enter_field(f.name);
        const bool ok = f.read(r, v);
        r.leave_field();
        return ok;
    }

    [[nodiscard]] static bool read_members(Reader& r, T& v) {
        constexpr auto fields = T::json_fields();
        constexpr std::size_t count = detail::field_count<T>();
        std::uint64_t seen = 0;
        bool first = true;
        for (;;) {
            std::string_view key;
            bool more = false;
            if (!r.next_key(first, key, more)) return false;
            if (!more) break;
            std::size_t index = count;
            std::apply(
                [&](const auto&... f) {
                    std::size_t i = 0;
                    ((index == count && f.name == key ? (void)(index = i) : (void)0, ++i), ...);
                },
                fields);
            if (index == count) {
                if (!r.colon() || !r.skip_value()) return false;
                continue;
            }
            const std::uint64_t bit = std::uint64_t{1} << index;
            if (seen & bit) return r.fail("duplicate field `" + std::string(key) + "`");
            seen |= bit;
            if (!r.colon()) return false;
            bool ok = true;
            std::apply(
                [&](const auto&... f) {
                    std::size_t i = 0;
                    ((i++ == index ? (void)(ok = read_field_value(r, f, v)) : (void)0), ...);
                },
                fields);
            if (!ok) return false;
        }
        if (!r.close_object()) return false;
        // Absent nullable fields read as absent; any other absence is an error,
        // reported in declaration order.
        bool ok = true;
        std::apply(
            [&](const auto&... f) {
                std::size_t i = 0;
                (
                    [&] {
                        using M = detail::member_of<std::remove_cvref_t<decltype(f)>>;
                        const bool present = (seen >> i++) & 1;
                        if (!ok || present) return;
                        if constexpr (detail::IsNullable<M>::value) {
                            (v.*(f.member)).reset();
                        } else {
                            ok = r.fail("missing field `" + std::string(f.name) + "`");
                        }
                    }(),
                    ...);
            },
            fields);
        return ok;
    }
};

// ---------------------------------------------------------------------------
// Externally tagged unions: {"Leaf":{...}}.  The alternatives' order gives the
// order of the names in the unknown-variant message.

// One alternative as a union holding it is written.
template <Record A>
void write_tagged(std::string& out, const A& alt) {
    out.append("{\"");
    out.append(A::json_name);
    out.append("\":");
    Codec<A>::write(out, alt);
    out.push_back('}');
}

template <Record... Alts>
struct Codec<std::variant<Alts...>> {
    static void write(std::string& out, const std::variant<Alts...>& v) {
        std::visit([&](const auto& alt) { write_tagged(out, alt); }, v);
    }

    [[nodiscard]] static bool read(Reader& r, std::variant<Alts...>& v) {
        const int c = r.peek();
        if (c < 0) return r.eof_value();
        if (c == '"') {
            std::size_t index = 0;
            if (!read_tag(r, index)) return false;
            return r.fail("invalid type: unit variant, expected struct variant");
        }
        if (c != '{') return r.fail_peek("expected value");
        if (!r.enter()) return false;
        r.eat();
        const int t = r.peek();
        if (t != '"') return r.invalid_type("variant identifier");
        std::size_t index = 0;
        if (!read_tag(r, index) || !r.colon()) return false;
        bool ok = false;
        read_alternative(r, v, index, ok, std::index_sequence_for<Alts...>{});
        if (!ok) return false;
        r.leave();
        const int e = r.peek();
        if (e == '}') {
            r.eat();
            return true;
        }
        return r.fail(e < 0 ? "EOF while parsing an object" : "expected value");
    }

private:
    [[nodiscard]] static bool read_tag(Reader& r, std::size_t& index) {
        std::string_view tag;
        if (!r.read_string(tag)) return false;
        static constexpr std::string_view names[] = {Alts::json_name...};
        for (index = 0; index < sizeof...(Alts); ++index) {
            if (names[index] == tag) return true;
        }
        std::string message = "unknown variant `" + excerpt(tag) + "`, expected ";
        if constexpr (sizeof...(Alts) == 1) {
            message.append("`").append(names[0]).append("`");
        } else if constexpr (sizeof...(Alts) == 2) {
            message.append("`").append(names[0]).append("` or `").append(names[1]).append("`");
        } else {
            message.append("one of ");
            for (std::size_t i = 0; i < sizeof...(Alts); ++i) {
                if (i != 0) message.append(", ");
                message.append("`").append(names[i]).append("`");
            }
        }
        return r.fail(std::move(message));
    }

    template <std::size_t... I>
    static void read_alternative(Reader& r, std::variant<Alts...>& v, std::size_t index, bool& ok,
                                 std::index_sequence<I...>) {
        ((index == I ? (void)(ok = Codec<std::variant_alternative_t<I, std::variant<Alts...>>>::read(
                                  r, v.template emplace<I>()))
                     : (void)0),
         ...);
    }
};

// ---------------------------------------------------------------------------
// Entry points

template <class T>
void write_to(std::string& out, const T& value) {
    Codec<T>::write(out, value);
}

template <class T>
[[nodiscard]] std::string write(const T& value) {
    std::string out;
    Codec<T>::write(out, value);
    return out;
}

// Parses the whole document; the error is the reader's message with its
// " at line L column C" suffix.  The elements of its sequences and its boxed
// records may take `allowance` bytes between them (Reader::charge).
template <class T>
[[nodiscard]] std::expected<T, std::string> read(std::string_view text, std::uint64_t allowance = Reader::unlimited) {
    T value{};
    Reader r(text, allowance);
    if (!Codec<T>::read(r, value) || !r.finish()) return std::unexpected(r.error());
    return value;
}

// The value of the field `name` of a document of record type T, read alone:
// the fields before it are only scanned, and nothing after it is read, so
// that what it says can bound the reading of the rest.  Errors are those of
// reading the whole document up to there.
template <class M, Record T>
[[nodiscard]] std::expected<M, std::string> read_field(std::string_view text, std::string_view name) {
    constexpr auto fields = T::json_fields();
    std::size_t index = 0;
    std::apply([&](const auto&... f) { (void)((f.name == name || (++index, false)) || ...); }, fields);
    M value{};
    Reader r(text);
    // Every failure has recorded its message: return it.
    const auto fail = [&](bool) { return std::unexpected(r.error()); };
    const int c = r.peek();
    if (c < 0) return fail(r.eof_value());
    if (c == '{' && !is_tuple_struct<T>()) {
        if (!r.enter()) return fail(false);
        r.eat();
        bool first = true;
        for (;;) {
            std::string_view key;
            bool more = false;
            if (!r.next_key(first, key, more)) return fail(false);
            if (!more) break;
            const bool wanted = key == name;
            if (!r.colon()) return fail(false);
            if (!wanted) {
                if (!r.skip_value()) return fail(false);
                continue;
            }
            if (!Codec<M>::read(r, value)) return fail(false);
            return value;
        }
        if (!r.close_object()) return fail(false);
        return fail(r.fail("missing field `" + std::string(name) + "`"));
    }
    if (c == '[') {
        if (!r.enter()) return fail(false);
        r.eat();
        bool first = true;
        for (std::size_t i = 0;; ++i) {
            bool more = false;
            if (!r.next_element(first, more)) return fail(false);
            if (!more) {
                (void)r.close_array();
                return fail(r.invalid_length(i, detail::record_length_expecting<T>()));
            }
            if (i == index) {
                if (!Codec<M>::read(r, value)) return fail(false);
                return value;
            }
            if (!r.skip_value()) return fail(false);
        }
    }
    return fail(r.invalid_type(detail::record_expecting<T>()));
}

}  // namespace morvik3::json
