#include "engine/rungate.h"

#include "engine/messages.h"
#include "platform/boxes.h"

#include <mutex>
#include <system_error>

namespace kv {
namespace {

std::mutex gGateMutex;  // one connection attempt at a time looks at the dial-up state

std::mutex gDialupMutex;
RunGateDialup& Dialup() {
    static RunGateDialup dialup;
    return dialup;
}

bool Ask(const std::function<bool()>& f) { return f && f(); }

}  // namespace

void SetRunGateDialup(RunGateDialup dialup) {
    std::lock_guard lock(gDialupMutex);
    Dialup() = std::move(dialup);
}

bool RunGate() {
    std::unique_lock<std::mutex> gate(gGateMutex, std::defer_lock);
    try {
        gate.lock();
    } catch (const std::system_error& e) {
        FailureBox("WaitForSingleObject", e.code().value());
        return false;
    }
    RunGateDialup dialup;
    {
        std::lock_guard lock(gDialupMutex);
        dialup = Dialup();
    }
    if (!Ask(dialup.InUse)) return true;
    if (Ask(dialup.ConnectionUp)) return true;
    if (Ask(dialup.AutoDialup) && !Ask(dialup.Dialling)) {
        if (HWND main = EngineWindows().mainWindow.load()) {
            SendMessage(main, MSG_DIAL_NOW, 0, 0);
        }
    }
    return Ask(dialup.ConnectionUp);
}

}  // namespace kv
