#include "shell/htmltext.h"

#include "platform/text.h"

namespace kv {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool KeptInArgument(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '-': case '.': case '_': case '~': case '!': case '*':
        case '(': case ')': case ',': case ';': case ':': case '@': case '$':
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string JsStringEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\'': out += "\\'"; break;
            case '"': out += "\\\""; break;
            case '<': out += "\\x3c"; break;
            case '>': out += "\\x3e"; break;
            case '&': out += "\\x26"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default:
                if (u < 0x20) {
                    out += "\\x";
                    out += kHex[u >> 4];
                    out += kHex[u & 15];
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string EncodeCommandArgument(std::string_view groupName) {
    std::string out;
    out.reserve(groupName.size());
    for (char c : groupName) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == ' ') {
            out += '+';
        } else if (KeptInArgument(u)) {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

std::string GroupNameFromArgument(std::string_view argument) {
    std::string out;
    out.reserve(argument.size());
    for (size_t i = 0; i < argument.size(); ++i) {
        char c = argument[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < argument.size() && HexValue(argument[i + 1]) >= 0 &&
                   HexValue(argument[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(argument[i + 1]) * 16 + HexValue(argument[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace kv
