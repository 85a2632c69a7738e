#include "engine/engineoptions.h"

#include <mutex>

namespace kv {
namespace {

std::mutex& OptionsMutex() {
    static std::mutex m;
    return m;
}

EngineOptions& StoredOptions() {
    static EngineOptions options;
    return options;
}

EngineHooks& StoredHooks() {
    static EngineHooks hooks;
    return hooks;
}

}  // namespace

void SetEngineOptions(const EngineOptions& options) {
    std::lock_guard lock(OptionsMutex());
    StoredOptions() = options;
}

EngineOptions CurrentEngineOptions() {
    std::lock_guard lock(OptionsMutex());
    return StoredOptions();
}

void SetEngineHooks(EngineHooks hooks) { StoredHooks() = std::move(hooks); }

const EngineHooks& CurrentEngineHooks() { return StoredHooks(); }

}  // namespace kv
