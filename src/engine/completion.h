#pragma once
// The last step of every job thread: release the job's run-time resources and, by the
// result of the run, finish the file (history page, notices, sound, rename, file date,
// virus scan, ".nfo"), then tell the main window how the job ended or that it must be
// started again.
#include "engine/engineoptions.h"
#include "engine/jobrecord.h"

#include <string>

namespace kv {

// Results of a job thread's run.
inline constexpr int JobResultError = 0;
inline constexpr int JobResultComplete = 1;
inline constexpr int JobResultCancelled = 2;
inline constexpr int JobResultRestart = 3;       // an existing file was taken over to resume
inline constexpr int JobResultTempRedirect = 4;  // start again with RedirectUrl
inline constexpr int JobResultPermRedirect = 5;  // likewise (or with Target rewritten)
inline constexpr int JobResultUnchanged = 6;     // update check: the remote file is unchanged

// Called on the job thread as its last act, with the run's result and, for the two
// redirection results, the URL the probe was sent to. Closes the temporary file and the
// probe's sockets, clears ThreadId (the thread object itself is joined by the main window
// when it handles the post), frees ProxyEntry and UrlParts, runs the steps of the result,
// and posts MSG_JOB_ENDED (wParam 0, 1, 2 or 6) or MSG_JOB_RESTART to the main window.
// A redirection keeps Target and sets RedirectUrl, except a permanent one of a job that
// was not redirected before, which rewrites Target; an empty URL changes neither. An
// unknown result ends the job as an error. Neither this function nor its caller may touch
// the job after the post. Returns 1.
int CompleteJob(JobRecord& job, int result, const std::string& redirectUrl,
                const EngineOptions& options);

// The history page: "kestovalog.htm" in the program directory.
std::string HistoryPagePath();

// Appends the job's entry to the history page (with the page's head when the page is new).
// False after the failure box "Append job log fail".
bool AppendHistoryEntry(const JobRecord& job);

// Appends the job's entry to "<LocalFile>.nfo". False after the box "Can't create .NFO file".
bool AppendNfoEntry(const JobRecord& job);

// The menu commands "View Log" (the page opened with xdg-open) and "Clear Log" (asks
// first through QuestionBox; the page is emptied, not removed).
void ViewDownloadLog();
void ClearDownloadLog();

}  // namespace kv
