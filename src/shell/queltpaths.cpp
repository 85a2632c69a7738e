#include "shell/queltpaths.h"

#include "platform/paths.h"

namespace kv {
namespace {

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

// The local path of a "file://" URL (no host, or "localhost"), with percent escapes
// decoded; empty for anything else.
std::string LocalPathOfFileUrl(std::string_view address) {
    if (!StartsWith(Upper(address.substr(0, 7)), "FILE://")) return {};
    std::string_view rest = address.substr(7);
    if (StartsWith(Upper(rest.substr(0, 9)), "LOCALHOST")) rest = rest.substr(9);
    if (rest.empty() || rest.front() != '/') return {};
    std::string path;
    for (size_t i = 0; i < rest.size(); ++i) {
        char c = rest[i];
        if (c == '?' || c == '#') break;
        auto hex = [](char h) {
            if (h >= '0' && h <= '9') return h - '0';
            if (h >= 'a' && h <= 'f') return h - 'a' + 10;
            if (h >= 'A' && h <= 'F') return h - 'A' + 10;
            return -1;
        };
        if (c == '%' && i + 2 < rest.size() && hex(rest[i + 1]) >= 0 && hex(rest[i + 2]) >= 0) {
            path += static_cast<char>(hex(rest[i + 1]) * 16 + hex(rest[i + 2]));
            i += 2;
        } else {
            path += c;
        }
    }
    return path;
}

}  // namespace

std::string QueltFile(std::string_view name) {
    return QueltDirectory() + "/" + std::string(name);
}

std::string MapQueltAddress(std::string_view address, const std::string& queltDir) {
    if (!StartsWith(Upper(address.substr(0, 8)), "C:\\TEMP\\")) return {};
    std::string rest(address.substr(8));
    for (char& c : rest) {
        if (c == '\\') c = '/';
    }
    return queltDir + "/" + rest;
}

bool IsShellPageAddress(std::string_view address, const std::string& queltDir) {
    if (StartsWith(Upper(address.substr(0, 6)), "ABOUT:")) return true;
    if (!MapQueltAddress(address, queltDir).empty()) return true;
    std::string path = LocalPathOfFileUrl(address);
    if (path.empty()) path = std::string(address);
    return !queltDir.empty() && StartsWith(path, queltDir + "/");
}

bool ShowsPadlock(std::string_view address) { return StartsWith(address, "https:/"); }

}  // namespace kv
