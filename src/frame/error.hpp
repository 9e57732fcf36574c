// Error values shared by every detector core.
//
// User errors travel as values (`Result<T>`); the binding turns each kind into
// its Python exception.  Broken invariants, reachable only through a loaded
// document that validation did not catch, throw `InternalError`, which the
// binding turns into the BaseException-derived `morvik3.InternalError`.
#pragma once

#include <cstdint>
#include <expected>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace morvik3 {

enum class ErrorKind {
    invalid_argument,    // ValueError, message as is
    dimension_mismatch,  // ValueError "dimension mismatch: expected E, got G"
    not_ready,           // RuntimeError "forest not ready: insufficient data"
    index_out_of_bounds, // RuntimeError "index out of bounds: " + message
    overflow,            // RuntimeError "overflow: " + message
    runtime,             // RuntimeError "runtime error: " + message
    io,                  // RuntimeError "I/O error: " + message
    out_of_memory,       // MemoryError, message as is
};

struct Error {
    ErrorKind kind = ErrorKind::runtime;
    std::string message;
    std::uint64_t expected = 0;  // dimension_mismatch only
    std::uint64_t got = 0;       // dimension_mismatch only

    static Error invalid_argument(std::string m) { return {ErrorKind::invalid_argument, std::move(m)}; }
    static Error dimension_mismatch(std::uint64_t e, std::uint64_t g) {
        return {ErrorKind::dimension_mismatch, {}, e, g};
    }
    static Error not_ready() { return {ErrorKind::not_ready, {}}; }
    static Error index_out_of_bounds(std::string m) { return {ErrorKind::index_out_of_bounds, std::move(m)}; }
    static Error overflow(std::string m) { return {ErrorKind::overflow, std::move(m)}; }
    static Error runtime(std::string m) { return {ErrorKind::runtime, std::move(m)}; }
    static Error io(std::string m) { return {ErrorKind::io, std::move(m)}; }
    static Error out_of_memory(std::string m) { return {ErrorKind::out_of_memory, std::move(m)}; }

    // The text the Python user sees.
    [[nodiscard]] std::string display() const {
        switch (kind) {
            case ErrorKind::invalid_argument: return message;
            case ErrorKind::dimension_mismatch:
                return "dimension mismatch: expected " + std::to_string(expected) + ", got " + std::to_string(got);
            case ErrorKind::not_ready: return "forest not ready: insufficient data";
            case ErrorKind::index_out_of_bounds: return "index out of bounds: " + message;
            case ErrorKind::overflow: return "overflow: " + message;
            case ErrorKind::runtime: return "runtime error: " + message;
            case ErrorKind::io: return "I/O error: " + message;
            case ErrorKind::out_of_memory: return message;
        }
        return message;
    }
};

template <class T>
using Result = std::expected<T, Error>;

// A broken invariant: never a user error, never expected on valid state.
struct InternalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Sizes that pass validation can still exceed what a vector can address;
// that is an allocation failure like any other.
template <class F>
auto allocating(F&& f) {
    try {
        return f();
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

[[noreturn]] inline void internal_failure(const std::string& what) { throw InternalError(what); }

// Checked index for hot paths that rely on validated invariants: cheap enough
// to keep, and it turns a corrupt document into an exception, not a crash.
inline void check_index(std::uint64_t i, std::uint64_t n, const char* what) {
    if (i >= n) [[unlikely]] internal_failure(what);
}

}  // namespace morvik3
