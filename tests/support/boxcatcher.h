#pragma once
// Collects the text of every message and failure box shown while it lives.
#include "platform/boxes.h"

#include <string>
#include <vector>

namespace kv {

struct BoxCatcher {
    std::vector<std::string> texts;
    BoxHandler old;
    BoxCatcher() {
        old = SetBoxHandler([this](const std::string& t, bool) { texts.push_back(t); });
    }
    ~BoxCatcher() { SetBoxHandler(old); }
    BoxCatcher(const BoxCatcher&) = delete;
    BoxCatcher& operator=(const BoxCatcher&) = delete;
};

}  // namespace kv
