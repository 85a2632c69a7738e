#pragma once
// The ant thread (started by the job thread; see jobthread.h).
#include "engine/engineoptions.h"
#include "engine/jobrecord.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace kv {

// The protocol operations a job runs: the probe (job thread) and the block request (an
// ant that needs a connection for its block). Results as in engine/httpjob.h.
struct ProtocolOps {
    std::function<int(JobRecord& job, std::string& redirectUrl)> Probe;
    std::function<int(JobRecord& job, int ant)> BlockRequest;
};

// The operations of the job's `Transport` with the given options.
ProtocolOps ProtocolOpsFor(const JobRecord& job, const EngineOptions& options);

// Posts MSG_BLOCK_CHANGED for `block` to the block window, when there is one.
void PostBlockChanged(JobRecord& job, int64_t block);

// What a new ant is told when its thread starts. The ant waits until `Go` is released
// (the job thread fills every slot first); when `Abandon` is set by then, it ends at once
// without touching the job (its slot was never counted as running).
struct AntStart {
    int Ant = 0;
    bool NeedsData = false;  // the given first block still has to be written
    JobRecord* Job = nullptr;
    EngineOptions Options;
    ProtocolOps Ops;
};

struct AntGate {
    std::mutex Mutex;
    std::condition_variable Released;
    bool Go = false;
    bool Abandon = false;
    void Release(bool abandon);
    void Wait(bool& abandon);
};

// Starts ant `start.Ant` on its own thread into its slot (ThreadHandle, ThreadId); it
// waits for `gate` before it reads anything. False when the thread can't be made (the
// slot stays free).
bool StartAntThread(AntStart start, std::shared_ptr<AntGate> gate);

// The ant's body: 0 after a normal end (no block left, stopped, gate closed), -1 after an
// error limit or a system failure.
int RunAnt(const AntStart& start);

}  // namespace kv
