#pragma once
// What the configuration store asks of the dial-up binding: is dial-up networking there at
// all, and does a phonebook entry of a given name exist. The binding installs its answers
// at start-up; until then (and in programs without it) dial-up networking is not available
// and no entry exists.
#include <functional>
#include <string>

namespace kv {

struct DialupQueries {
    std::function<bool()> Available;
    std::function<bool(const std::string& entryName)> EntryExists;
};

// Installs `queries` (an empty function keeps the "not available" answer) and returns the
// previous ones.
DialupQueries SetDialupQueries(DialupQueries queries);

bool DialupNetworkingAvailable();
bool PhonebookEntryExists(const std::string& entryName);

}  // namespace kv
