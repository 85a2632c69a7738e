#include "platform/text.h"

namespace kv {

std::string LimitText(std::string_view text, std::size_t maxLength) {
    if (text.size() <= maxLength) return std::string(text);
    std::size_t cut = maxLength;
    // Step back over continuation bytes so that no character is split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut));
}

}  // namespace kv
