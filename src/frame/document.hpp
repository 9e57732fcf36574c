// Reading a detector's state document within what its configuration allows.
// The configuration is read first, alone: an invalid one is refused before
// anything else is read, and so is one that would need more than the
// machine's memory; the rest of the document may then build no more than its
// allowance (document_allowance), so that a short text can never make the
// reader take gigabytes, whatever counts it holds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "frame/error.hpp"
#include "frame/json.hpp"
#include "frame/memory_budget.hpp"

namespace morvik3 {

// `checked`, its error an invalid argument with `prefix` before its message.
[[nodiscard]] inline Result<void> prefixed(std::string_view prefix, Result<void> checked) {
    if (!checked) return std::unexpected(Error::invalid_argument(std::string(prefix) + checked.error().message));
    return checked;
}

// The document of record type Doc, whose field "config" is its
// configuration.  `check(config)` gives the configuration's own error, as
// the class reports it; `memory_need(config)`, beside the configuration's
// type, what a detector of it needs, refused as `what` beyond `memory` bytes
// (0: never).  Reader errors are invalid arguments after `prefix`.
template <json::Record Doc, class Check>
[[nodiscard]] Result<Doc> read_document(std::string_view text, std::string_view prefix, std::string_view what,
                                        Check&& check, std::uint64_t memory) {
    using Config = std::remove_cvref_t<decltype(std::declval<Doc>().config)>;
    const auto invalid = [&](const std::string& message) {
        return std::unexpected(Error::invalid_argument(std::string(prefix) + message));
    };
    const auto config = json::read_field<Config, Doc>(text, "config");
    if (!config) return invalid(config.error());
    if (auto valid = check(*config); !valid) return std::unexpected(std::move(valid.error()));
    const ByteCount needed = memory_need(*config);
    if (Result<void> fits = check_fits(what, needed, memory); !fits) return std::unexpected(std::move(fits.error()));
    auto parsed = json::read<Doc>(text, document_allowance(needed));
    if (!parsed) return invalid(parsed.error());
    return std::move(*parsed);
}

// The same for a configuration that checks itself with `validate()`, its
// errors after `prefix` like the reader's.
template <json::Record Doc>
[[nodiscard]] Result<Doc> read_document(std::string_view text, std::string_view prefix, std::string_view what,
                                        std::uint64_t memory) {
    const auto check = [&](const auto& config) { return prefixed(prefix, config.validate()); };
    return read_document<Doc>(text, prefix, what, check, memory);
}

}  // namespace morvik3
