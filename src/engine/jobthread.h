#pragma once
// The job thread and the ant threads of a running job.
//
// The job thread prepares the connection, probes the server (the probe's connection
// becomes ant 0's), applies the file-exists policy, prepares the pre-sized temporary file
// "<LocalFile>.!!!", starts the ants, relays the user's per-ant commands while they run,
// and hands the job to the completion step with its result.
//
// An ant owns one connection (two for FTP) and fetches blocks one after the other, writing
// each at its place in the temporary file. While the next block follows the one just
// received and is still free, it reads on from the same connection; otherwise it asks
// again from the new block's offset. Bytes move in runs of whole blocks (up to
// kAntRunBlocks at a time); every block still passes through the block map one by one.
#include "engine/jobrecord.h"

#include <string>

namespace kv {

// Blocks an ant receives and writes in one go when the data is there.
inline constexpr int kAntRunBlocks = 64;

// Starts the job: checks that its current URL parses and is "http" or "ftp" (false, and
// nothing started, otherwise), resets the run-time fields (`continuesRun`: a restart that
// follows a redirection or a takeover of an existing file, which keeps the counters and
// the start time), and starts the job thread, storing its handle and id in the record.
// The thread must be reaped with ReapJobThread once MSG_JOB_ENDED or MSG_JOB_RESTART has
// arrived for the job. Called on the user-interface thread.
bool StartJobThread(JobRecord& job, bool continuesRun);

// Waits for the job thread that has finished its completion step (it is about to end)
// and releases its handle. Nothing happens when there is none.
void ReapJobThread(JobRecord& job);

// The job thread's body (StartJobThread runs it on its own thread; tests may too).
void RunJobThread(JobRecord& job);

// The temporary file of a local path: "<path>.!!!".
std::string TemporaryFileName(const std::string& localFile);

// The name auto rename gives to `path` for number n: "a(n).zip" for "a.zip", "a(n)" for
// "a".
std::string NumberedFileName(const std::string& path, int n);

}  // namespace kv
