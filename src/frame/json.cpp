#include "frame/json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace morvik3::json {

// ---------------------------------------------------------------------------
// Writer

void write_u64(std::string& out, std::uint64_t v) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

void write_i64(std::string& out, std::int64_t v) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

namespace {

// Lays out the shortest round-trip digits of a finite nonzero value: plain
// decimal while the point falls within `max_point` digits of the first one
// (or fewer than `-min_point` zeros after it), exponent form beyond.
template <class F>
std::size_t format_float(char* buf, F v, int max_point, int min_point) {
    char sci[40];
    const auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    const char* p = sci;
    const char* const end = res.ptr;
    std::size_t n_out = 0;
    if (*p == '-') {
        buf[n_out++] = '-';
        ++p;
    }
    char digits[20];
    int n = 0;
    digits[n++] = *p++;
    if (*p == '.') {
        ++p;
        while (*p != 'e') digits[n++] = *p++;
    }
    ++p;  // 'e'
    const bool negative_exponent = *p == '-';
    ++p;  // sign
    int exponent = 0;
    for (; p != end; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative_exponent) exponent = -exponent;

    const int kk = exponent + 1;  // value = 0.d1d2...dn * 10^kk
    if (n <= kk && kk <= max_point) {
        std::memcpy(buf + n_out, digits, static_cast<std::size_t>(n));
        n_out += static_cast<std::size_t>(n);
        for (int i = n; i < kk; ++i) buf[n_out++] = '0';
        buf[n_out++] = '.';
        buf[n_out++] = '0';
    } else if (0 < kk && kk <= max_point) {
        std::memcpy(buf + n_out, digits, static_cast<std::size_t>(kk));
        n_out += static_cast<std::size_t>(kk);
        buf[n_out++] = '.';
        std::memcpy(buf + n_out, digits + kk, static_cast<std::size_t>(n - kk));
        n_out += static_cast<std::size_t>(n - kk);
    } else if (min_point < kk && kk <= 0) {
        buf[n_out++] = '0';
        buf[n_out++] = '.';
        for (int i = kk; i < 0; ++i) buf[n_out++] = '0';
        std::memcpy(buf + n_out, digits, static_cast<std::size_t>(n));
        n_out += static_cast<std::size_t>(n);
    } else {
        buf[n_out++] = digits[0];
        if (n > 1) {
            buf[n_out++] = '.';
            std::memcpy(buf + n_out, digits + 1, static_cast<std::size_t>(n - 1));
            n_out += static_cast<std::size_t>(n - 1);
        }
        buf[n_out++] = 'e';
        const auto exp_res = std::to_chars(buf + n_out, buf + n_out + 8, kk - 1);
        n_out = static_cast<std::size_t>(exp_res.ptr - buf);
    }
    return n_out;
}

template <class F>
void append_float(std::string& out, F v, int max_point, int min_point) {
    if (!std::isfinite(v)) {
        out.append("null");
        return;
    }
    if (v == 0) {
        out.append(std::signbit(v) ? "-0.0" : "0.0");
        return;
    }
    char buf[48];
    out.append(buf, format_float(buf, v, max_point, min_point));
}

std::string display_f64(double v) {
    std::string s;
    write_f64(s, v);
    return s;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Length of the well-formed UTF-8 sequence at `p`, or 0.
std::size_t utf8_sequence(const unsigned char* p, std::size_t avail) {
    const unsigned char c = p[0];
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;  // no encoded surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (avail < len) return 0;
    if (p[1] < lo || p[1] > hi) return 0;
    for (std::size_t i = 2; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
    }
    return len;
}

void append_utf8(std::string& s, std::uint32_t cp) {
    if (cp < 0x80) {
        s.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        s.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        s.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A string quoted as in the reference reader's messages: escapes for quotes,
// backslashes and control characters, `\u{..}` for the other unprintables;
// only its excerpt.
std::string quoted(std::string_view s) {
    std::string out = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t size = excerpt_length(s);
    for (std::size_t i = 0; i < size;) {
        const unsigned char c = p[i];
        std::uint32_t cp = c;
        std::size_t len = 1;
        if (c >= 0x80) {
            len = utf8_sequence(p + i, size - i);
            if (len == 0) {
                len = 1;  // only reachable for a string already rejected
            } else if (len == 2) {
                cp = ((c & 0x1Fu) << 6) | (p[i + 1] & 0x3Fu);
            } else {
                cp = 0x10000;  // printable as far as this message cares
            }
        }
        switch (cp) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            case 0: out.append("\\0"); break;
            default:
                if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) {
                    char hex[8];
                    const auto r = std::to_chars(hex, hex + sizeof hex, cp, 16);
                    out.append("\\u{").append(hex, r.ptr).append("}");
                } else {
                    out.append(s.substr(i, len));
                }
        }
        i += len;
    }
    if (size < s.size()) out.append("...");
    out.push_back('"');
    return out;
}

std::string describe(const Reader::Number& n) {
    switch (n.kind) {
        case Reader::NumberKind::u64: return "integer `" + std::to_string(n.u) + "`";
        case Reader::NumberKind::i64: return "integer `" + std::to_string(n.i) + "`";
        case Reader::NumberKind::f64: break;
    }
    return "floating point `" + display_f64(n.f) + "`";
}

// Rounds to the nearest float; values past the largest float's rounding
// boundary become infinite rather than relying on an out-of-range conversion.
float narrow(double v) {
    constexpr double boundary = 0x1.ffffffp127;
    if (v >= boundary) return std::numeric_limits<float>::infinity();
    if (v <= -boundary) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

}  // namespace

void write_f64(std::string& out, double v) { append_float(out, v, 16, -5); }
void write_f32(std::string& out, float v) { append_float(out, v, 13, -6); }

// ---------------------------------------------------------------------------
// Reader: positions and errors

bool Reader::fail_at(std::size_t index, std::string message) {
    std::size_t start_of_line = 0;
    std::size_t line = 1;
    for (std::size_t i = 0; i < index; ++i) {
        if (text_[i] == '\n') {
            ++line;
            start_of_line = i + 1;
        }
    }
    error_ = std::move(message);
    error_.append(" at line ").append(std::to_string(line));
    error_.append(" column ").append(std::to_string(index - start_of_line));
    return false;
}

bool Reader::fail(std::string message) { return fail_at(pos_, std::move(message)); }

bool Reader::over_allowance() {
    const std::size_t named = std::min(fields_, field_names_.size());
    if (named == 0) return fail("the document holds more than its configuration allows");
    return fail("field `" + std::string(field_names_[named - 1]) + "` holds more than the configuration allows");
}

bool Reader::fail_peek(std::string message) {
    return fail_at(std::min(text_.size(), pos_ + 1), std::move(message));
}

bool Reader::invalid_length(std::size_t n, std::string_view expecting) {
    return fail("invalid length " + std::to_string(n) + ", expected " + std::string(expecting));
}

bool Reader::number_mismatch(const Number& n, bool as_type, std::string_view expecting) {
    return fail(std::string(as_type ? "invalid type: " : "invalid value: ") + describe(n) + ", expected " +
                std::string(expecting));
}

bool Reader::invalid_type(std::string_view expecting) {
    std::string what;
    switch (peek()) {
        case 'n':
            eat();
            if (!ident("ull")) return false;
            what = "null";
            break;
        case 't':
            eat();
            if (!ident("rue")) return false;
            what = "boolean `true`";
            break;
        case 'f':
            eat();
            if (!ident("alse")) return false;
            what = "boolean `false`";
            break;
        case '-':
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9': {
            Number n;
            if (!scan_number(&n)) return false;
            what = describe(n);
            break;
        }
        case '"': {
            eat();
            std::string_view s;
            if (!scan_string(true, &s)) return false;
            what = "string " + quoted(s);
            break;
        }
        case '[': what = "sequence"; break;
        case '{': what = "map"; break;
        default: return fail_peek("expected value");
    }
    return fail("invalid type: " + what + ", expected " + std::string(expecting));
}

bool Reader::finish() {
    if (peek() >= 0) return fail_peek("trailing characters");
    return true;
}

// ---------------------------------------------------------------------------
// Reader: tokens

int Reader::peek() {
    const std::size_t size = text_.size();
    while (pos_ < size) {
        const char c = text_[pos_];
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
        ++pos_;
    }
    return -1;
}

bool Reader::ident(std::string_view rest) {
    for (char expected : rest) {
        if (pos_ >= text_.size()) return fail("EOF while parsing a value");
        if (text_[pos_++] != expected) return fail("expected ident");
    }
    return true;
}

bool Reader::enter() {
    if (--depth_left_ == 0) return fail_peek("recursion limit exceeded");
    return true;
}

bool Reader::read_null_or_not(bool& is_null) {
    is_null = false;
    if (peek() != 'n') return true;
    eat();
    if (!ident("ull")) return false;
    is_null = true;
    return true;
}

// Scans a number at '-' or a digit.  Integer literals that fit become u64
// (non-negative) or i64 (negative, "-0" excluded), everything else f64; with
// `n` null the literal is only syntax-checked.
bool Reader::scan_number(Number* n) {
    const std::size_t size = text_.size();
    const std::size_t start = pos_;
    const bool negative = text_[pos_] == '-';
    if (negative) ++pos_;
    if (pos_ >= size) return fail("EOF while parsing a value");
    const char lead = text_[pos_++];
    std::uint64_t mantissa = 0;
    bool wide = false;  // more digits than a u64 holds
    if (lead == '0') {
        if (pos_ < size && is_digit(text_[pos_])) return fail_peek("invalid number");
    } else if (lead >= '1' && lead <= '9') {
        mantissa = static_cast<std::uint64_t>(lead - '0');
        while (pos_ < size && is_digit(text_[pos_])) {
            const auto d = static_cast<std::uint64_t>(text_[pos_] - '0');
            if (wide || mantissa > (std::numeric_limits<std::uint64_t>::max() - d) / 10) {
                wide = true;
            } else {
                mantissa = mantissa * 10 + d;
            }
            ++pos_;
        }
    } else {
        return fail("invalid number");
    }
    bool fractional = false;
    if (pos_ < size && text_[pos_] == '.') {
        ++pos_;
        fractional = true;
        const std::size_t first_digit = pos_;
        while (pos_ < size && is_digit(text_[pos_])) ++pos_;
        if (pos_ == first_digit) {
            return fail_peek(pos_ < size ? "invalid number" : "EOF while parsing a value");
        }
    }
    if (pos_ < size && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
        ++pos_;
        fractional = true;
        if (pos_ < size && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
        if (pos_ >= size) return fail("EOF while parsing a value");
        if (!is_digit(text_[pos_++])) return fail("invalid number");
        while (pos_ < size && is_digit(text_[pos_])) ++pos_;
    }
    if (n == nullptr) return true;

    if (!fractional && !wide) {
        if (!negative) {
            n->kind = NumberKind::u64;
            n->u = mantissa;
            return true;
        }
        if (mantissa != 0 && mantissa <= std::uint64_t{1} << 63) {
            n->kind = NumberKind::i64;
            n->i = static_cast<std::int64_t>(~mantissa + 1);
            return true;
        }
    }
    n->kind = NumberKind::f64;
    const char* const first = text_.data() + start;
    const char* const last = text_.data() + pos_;
    const auto res = std::from_chars(first, last, n->f);
    if (res.ec == std::errc{}) return true;
    if (res.ec != std::errc::result_out_of_range) return fail("invalid number");

    // Out of range either way: decide by the decimal magnitude, 10^(m-1) <= |x| < 10^m.
    std::int64_t m = 0;
    bool significant = false, after_point = false;
    const char* p = first + (negative ? 1 : 0);
    for (; p != last && *p != 'e' && *p != 'E'; ++p) {
        if (*p == '.') {
            after_point = true;
        } else if (significant) {
            if (!after_point) ++m;
        } else if (*p != '0') {
            significant = true;
            if (!after_point) ++m;
        } else if (after_point) {
            --m;
        }
    }
    if (p != last) {
        ++p;
        const bool exp_negative = *p == '-';
        if (*p == '+' || *p == '-') ++p;
        std::int64_t e = 0;
        for (; p != last; ++p) e = std::min<std::int64_t>(e * 10 + (*p - '0'), 1'000'000'000'000);
        m += exp_negative ? -e : e;
    }
    if (significant && m > 0) return fail("number out of range");
    n->f = negative ? -0.0 : 0.0;
    return true;
}

bool Reader::hex4(std::uint32_t& v) {
    if (text_.size() - pos_ < 4) {
        pos_ = text_.size();
        return fail("EOF while parsing a string");
    }
    v = 0;
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
        const int h = hex_value(text_[pos_ + static_cast<std::size_t>(i)]);
        if (h < 0) ok = false;
        v = (v << 4) | static_cast<std::uint32_t>(h & 0xF);
    }
    pos_ += 4;
    return ok || fail("invalid escape");
}

// After the backslash.  Decoding insists on paired surrogates; a skipped
// string only needs its escapes to be well-formed.
bool Reader::scan_escape(bool decode) {
    if (pos_ >= text_.size()) return fail("EOF while parsing a string");
    const char c = text_[pos_++];
    char plain = 0;
    switch (c) {
        case '"': plain = '"'; break;
        case '\\': plain = '\\'; break;
        case '/': plain = '/'; break;
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case 'u': {
            std::uint32_t cp = 0;
            if (!hex4(cp)) return false;
            if (!decode) return true;
            if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("lone leading surrogate in hex escape");
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                for (char expected : {'\\', 'u'}) {
                    if (pos_ >= text_.size()) return fail("EOF while parsing a string");
                    if (text_[pos_++] != expected) return fail("unexpected end of hex escape");
                }
                std::uint32_t low = 0;
                if (!hex4(low)) return false;
                if (low < 0xDC00 || low > 0xDFFF) return fail("lone leading surrogate in hex escape");
                cp = (((cp - 0xD800) << 10) | (low - 0xDC00)) + 0x10000;
            }
            append_utf8(scratch_, cp);
            return true;
        }
        default: return fail("invalid escape");
    }
    if (decode) scratch_.push_back(plain);
    return true;
}

// After the opening quote.  Raw bytes must be well-formed UTF-8; like the
// reference reader, a malformed string is reported once it has been scanned.
bool Reader::scan_string(bool decode, std::string_view* out) {
    const std::size_t size = text_.size();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text_.data());
    std::size_t run = pos_;  // first byte not yet copied into scratch_
    bool escaped = false;
    bool malformed = false;
    for (;;) {
        while (pos_ < size) {
            const unsigned char c = bytes[pos_];
            if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
            ++pos_;
        }
        if (pos_ >= size) return fail("EOF while parsing a string");
        const unsigned char c = bytes[pos_];
        if (c == '"') {
            if (decode) {
                if (escaped) {
                    scratch_.append(text_.substr(run, pos_ - run));
                    *out = scratch_;
                } else {
                    *out = text_.substr(run, pos_ - run);
                }
            }
            ++pos_;
            return !malformed || fail("invalid unicode code point");
        }
        if (c == '\\') {
            if (decode) {
                if (!escaped) scratch_.clear();
                escaped = true;
                scratch_.append(text_.substr(run, pos_ - run));
            }
            ++pos_;
            if (!scan_escape(decode)) return false;
            run = pos_;
            continue;
        }
        if (c < 0x20) {
            if (decode) ++pos_;
            return fail("control character (\\u0000-\\u001F) found while parsing a string");
        }
        const std::size_t len = utf8_sequence(bytes + pos_, size - pos_);
        if (len == 0) {
            malformed = true;
            ++pos_;
        } else {
            pos_ += len;
        }
    }
}

bool Reader::read_string(std::string_view& s) {
    eat();
    return scan_string(true, &s);
}

// ---------------------------------------------------------------------------
// Reader: scalars

bool Reader::read_number(Number& n, std::string_view expecting) {
    const int c = peek();
    if (c < 0) return eof_value();
    if (c == '-' || (c >= '0' && c <= '9')) return scan_number(&n);
    return invalid_type(expecting);
}

bool Reader::read_u64(std::uint64_t& v, std::string_view expecting) {
    return read_bounded_unsigned(v, std::numeric_limits<std::uint64_t>::max(), expecting);
}

bool Reader::read_bounded_unsigned(std::uint64_t& v, std::uint64_t max, std::string_view expecting) {
    Number n;
    if (!read_number(n, expecting)) return false;
    if (n.kind == NumberKind::u64 && n.u <= max) {
        v = n.u;
        return true;
    }
    return number_mismatch(n, n.kind == NumberKind::f64, expecting);
}

bool Reader::read_i64(std::int64_t& v) {
    Number n;
    if (!read_number(n, "i64")) return false;
    switch (n.kind) {
        case NumberKind::i64: v = n.i; return true;
        case NumberKind::u64:
            if (n.u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                v = static_cast<std::int64_t>(n.u);
                return true;
            }
            return number_mismatch(n, false, "i64");
        case NumberKind::f64: break;
    }
    return number_mismatch(n, true, "i64");
}

bool Reader::read_f64(double& v, std::string_view expecting) {
    Number n;
    if (!read_number(n, expecting)) return false;
    switch (n.kind) {
        case NumberKind::u64: v = static_cast<double>(n.u); break;
        case NumberKind::i64: v = static_cast<double>(n.i); break;
        case NumberKind::f64: v = n.f; break;
    }
    return true;
}

bool Reader::read_f32(float& v) {
    Number n;
    if (!read_number(n, "f32")) return false;
    switch (n.kind) {
        case NumberKind::u64: v = static_cast<float>(n.u); break;
        case NumberKind::i64: v = static_cast<float>(n.i); break;
        case NumberKind::f64: v = narrow(n.f); break;
    }
    return true;
}

bool Reader::read_bool(bool& v) {
    const int c = peek();
    if (c < 0) return eof_value();
    if (c == 't') {
        eat();
        v = true;
        return ident("rue");
    }
    if (c == 'f') {
        eat();
        v = false;
        return ident("alse");
    }
    return invalid_type("a boolean");
}

// ---------------------------------------------------------------------------
// Reader: arrays and objects

bool Reader::open_array(std::string_view expecting) {
    const int c = peek();
    if (c < 0) return eof_value();
    if (c != '[') return invalid_type(expecting);
    if (!enter()) return false;
    eat();
    return true;
}

bool Reader::next_element(bool& first, bool& more) {
    const int c = peek();
    if (c < 0) return fail_peek("EOF while parsing a list");
    if (c == ']') {
        more = false;
        return true;
    }
    more = true;
    if (first) {
        first = false;
        return true;
    }
    if (c != ',') return fail_peek("expected `,` or `]`");
    eat();
    const int next = peek();
    if (next == ']') return fail_peek("trailing comma");
    if (next < 0) return eof_value();
    return true;
}

bool Reader::close_array() {
    const int c = peek();
    if (c == ']') {
        eat();
        leave();
        return true;
    }
    if (c == ',') {
        eat();
        return fail_peek(peek() == ']' ? "trailing comma" : "trailing characters");
    }
    if (c < 0) return fail_peek("EOF while parsing a list");
    return fail_peek("expected `,` or `]`");
}

bool Reader::next_key(bool& first, std::string_view& key, bool& more) {
    int c = peek();
    if (c == '}') {
        more = false;
        return true;
    }
    if (c < 0) return fail_peek("EOF while parsing an object");
    if (c == ',' && !first) {
        eat();
        c = peek();
    } else if (first) {
        first = false;
    } else {
        return fail_peek("expected `,` or `}`");
    }
    if (c == '"') {
        more = true;
        return read_string(key);
    }
    if (c == '}') return fail_peek("trailing comma");
    if (c < 0) return eof_value();
    return fail_peek("key must be a string");
}

bool Reader::colon() {
    const int c = peek();
    if (c == ':') {
        eat();
        return true;
    }
    return fail_peek(c < 0 ? "EOF while parsing an object" : "expected `:`");
}

bool Reader::close_object() {
    const int c = peek();
    if (c == '}') {
        eat();
        leave();
        return true;
    }
    if (c == ',') return fail_peek("trailing comma");
    if (c < 0) return fail_peek("EOF while parsing an object");
    return fail_peek("trailing characters");
}

// Skipped values follow the reference reader's own skipping rules, which
// differ from typed reading in a few messages ("[1,]" is "expected value").
bool Reader::skip_value() {
    const int c = peek();
    switch (c) {
        case -1: return eof_value();
        case 'n': eat(); return ident("ull");
        case 't': eat(); return ident("rue");
        case 'f': eat(); return ident("alse");
        case '-':
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9': return scan_number(nullptr);
        case '"': eat(); return scan_string(false, nullptr);
        case '[': {
            if (!enter()) return false;
            eat();
            int next = peek();
            if (next < 0) return fail_peek("EOF while parsing a list");
            if (next != ']') {
                for (;;) {
                    if (!skip_value()) return false;
                    next = peek();
                    if (next != ',') break;
                    eat();
                }
                if (next < 0) return fail_peek("EOF while parsing a list");
                if (next != ']') return fail_peek("expected `,` or `]`");
            }
            eat();
            leave();
            return true;
        }
        case '{': {
            if (!enter()) return false;
            eat();
            int next = peek();
            if (next != '}') {
                for (;;) {
                    next = peek();
                    if (next < 0) return fail_peek("EOF while parsing an object");
                    if (next != '"') return fail_peek("key must be a string");
                    eat();
                    if (!scan_string(false, nullptr) || !colon() || !skip_value()) return false;
                    next = peek();
                    if (next != ',') break;
                    eat();
                }
                if (next < 0) return fail_peek("EOF while parsing an object");
                if (next != '}') return fail_peek("expected `,` or `}`");
            }
            eat();
            leave();
            return true;
        }
        default: return fail_peek("expected value");
    }
}

}  // namespace morvik3::json
