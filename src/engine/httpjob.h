#pragma once
// The two HTTP operations of a job: the probe (the job thread's first contact in a run)
// and the block request (an ant opening a connection for its block), with the connection
// set-up and the error counting they share with the other protocols.
//
// The request text, the header reader and the field extractors are in net/http.h; these
// functions add what needs the job record: its fields, its log, its block map and the
// row and info-window refreshes.
//
// Results of the probe and the block request:
//    1  success; the connection is open at the first byte asked for
//    0  an error was counted, still below the limit: wait RetryDelay and try again
//   -1  give up (the reason has been logged)
//   -2  a thread message arrived; try again once it has been handled
//   -3  (probe) the update check found the remote file unchanged
//   -4  (probe) temporary redirection (302); the new URL is in `redirectUrl`
//   -5  (probe) permanent redirection (other 3xx but 304 and 305); likewise
#include "engine/jobrecord.h"
#include "net/http.h"

#include <functional>
#include <string>

namespace kv {

// The preferences these operations read, handed in by the caller (the engine does not
// own the settings).
struct HttpOptions {
    bool StopNoResume = false;  // a server that can't resume halts the job
    bool UseCookie = false;
    // Cookies of the browser for a URL ("a=1; b=2"); empty: none. Without a lookup no
    // cookies are found.
    std::function<std::string(const std::string& url)> CookieLookup;
};

// The URL the job connects to now: `RedirectUrl` when set, else `Target`.
const std::string& JobCurrentUrl(const JobRecord& job);

// The request fields of the job (proxy kind 1 asks for the full URL).
HttpRequestFields HttpRequestFieldsOf(const JobRecord& job, const HttpOptions& options);

// Counts an error: closes `socket`, ErrorCount += 1, refreshes the Error column and row;
// 0 while AlwaysRetry is set or ErrorCount < MaxError, else logs "Reach max error, ant
// halt" and gives -1.
int CountError(JobRecord& job, int& socket);

// Opens the job's connection to its host or proxy (ServerAddress, ConnectTimeout) with
// the log entries of each step. 1 with `socket` open / 0 or -1 (an error was counted, or
// the socket could not be made) / -2. Tunnelling proxy kinds are not available here and
// give -1 with "Bad proxy configure".
int OpenHttpConnection(JobRecord& job, int& socket);

// Logs the status table's text for `code` as a failure entry; nothing for other codes.
void LogStatusMessage(int code);

// The probe (see the results above). On 1 the connection is `ProbeSocket`.
int HttpProbe(JobRecord& job, const HttpOptions& options, std::string& redirectUrl);

// The block request of ant `ant` for its `Block`. On 1 the slot's `Socket` is the
// connection and `Connected` is 1.
int HttpBlockRequest(JobRecord& job, int ant, const HttpOptions& options);

}  // namespace kv
