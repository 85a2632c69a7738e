#include "settings/dialup_query.h"

#include <mutex>
#include <utility>

namespace kv {
namespace {

std::mutex gMutex;
DialupQueries gQueries;

}  // namespace

DialupQueries SetDialupQueries(DialupQueries queries) {
    std::lock_guard lock(gMutex);
    return std::exchange(gQueries, std::move(queries));
}

bool DialupNetworkingAvailable() {
    std::function<bool()> available;
    {
        std::lock_guard lock(gMutex);
        available = gQueries.Available;
    }
    return available ? available() : false;
}

bool PhonebookEntryExists(const std::string& entryName) {
    std::function<bool(const std::string&)> exists;
    {
        std::lock_guard lock(gMutex);
        exists = gQueries.EntryExists;
    }
    return exists ? exists(entryName) : false;
}

}  // namespace kv
