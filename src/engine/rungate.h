#pragma once
// The run gate: asked before every resolve attempt, every probe attempt and every pass of
// an ant's loop. While the dial-up connection is in use and down it may dial (through the
// main window) and lets the caller go on only when the connection is then up; without
// dial-up it always says go.
#include <functional>

namespace kv {

// What the gate needs to know of the dial-up connection. The dial-up code installs it;
// with none installed (or InUse empty) dial-up is not available.
struct RunGateDialup {
    std::function<bool()> InUse;         // dial-up available, UseDialup on, an entry chosen
    std::function<bool()> ConnectionUp;  // a dial-up connection is up
    std::function<bool()> AutoDialup;    // the AutoDialup setting
    std::function<bool()> Dialling;      // a dialling is in progress
};

void SetRunGateDialup(RunGateDialup dialup);

// True = go, false = stop. Serialised process-wide; may send MSG_DIAL_NOW to the main
// window and wait for it, so only engine threads call it.
bool RunGate();

}  // namespace kv
