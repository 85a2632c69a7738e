#pragma once
// Small text helpers shared by every subsystem.
#include <cstddef>
#include <string>
#include <string_view>

namespace kv {

// `text` cut to at most `maxLength` bytes, never inside a UTF-8 sequence.
std::string LimitText(std::string_view text, std::size_t maxLength);

// Value of one hexadecimal digit (either case); -1 for any other character.
constexpr int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace kv
