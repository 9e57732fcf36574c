// Input quoted in a message: its first 64 characters, then "..." when there
// is more, so that a huge input never makes a huge message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace morvik3 {

inline constexpr std::size_t excerpt_chars = 64;

// Bytes taken by the first `excerpt_chars` characters of UTF-8 `text`, or
// all of it when it is shorter.
[[nodiscard]] inline std::size_t excerpt_length(std::string_view text) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) == 0x80) continue;  // inside a character
        if (chars++ == excerpt_chars) return i;
    }
    return text.size();
}

[[nodiscard]] inline std::string excerpt(std::string_view text) {
    const std::size_t n = excerpt_length(text);
    std::string out(text.substr(0, n));
    if (n < text.size()) out += "...";
    return out;
}

}  // namespace morvik3
