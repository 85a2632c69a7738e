#include "resources/strings.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <unordered_map>

namespace kv {
namespace {

struct StringEntry {
    unsigned id;
    const char* text;
};

// Keep each range in ascending order; ranges may come in any order.
constexpr StringEntry kStrings[] = {
    // --- job states (9001-9005)
    {9001, "Normal"},
    {9002, "Running"},
    {9003, "Queue"},
    {9004, "Error"},
    {9005, "Downloaded"},
    // --- engine log messages (3000-...): add below this line
    // --- end of engine log messages
    // --- configuration store and its boxes: add below this line
    // --- end of configuration store
};

std::mutex gTranslationMutex;
std::unordered_map<unsigned, std::string>& Translations() {
    static std::unordered_map<unsigned, std::string> map;
    return map;
}

}  // namespace

const char* EnglishString(unsigned id) {
    auto it = std::find_if(std::begin(kStrings), std::end(kStrings),
                           [id](const StringEntry& e) { return e.id == id; });
    return it == std::end(kStrings) ? nullptr : it->text;
}

std::string LoadString(unsigned id) {
    {
        std::lock_guard lock(gTranslationMutex);
        auto& map = Translations();
        if (auto it = map.find(id); it != map.end()) return it->second;
    }
    const char* text = EnglishString(id);
    return text ? std::string(text) : std::string();
}

void SetTranslatedString(unsigned id, const std::string& text) {
    std::lock_guard lock(gTranslationMutex);
    if (text.empty()) Translations().erase(id); else Translations()[id] = text;
}

void ClearTranslations() {
    std::lock_guard lock(gTranslationMutex);
    Translations().clear();
}

}  // namespace kv
