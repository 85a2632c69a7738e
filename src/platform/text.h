#pragma once
// Small text helpers shared by every subsystem.
#include <cstddef>
#include <string>
#include <string_view>

namespace kv {

// `text` cut to at most `maxLength` bytes, never inside a UTF-8 sequence.
std::string LimitText(std::string_view text, std::size_t maxLength);

}  // namespace kv
