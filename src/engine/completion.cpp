#include "engine/completion.h"

#include "engine/messages.h"
#include "net/dates.h"
#include "net/proxyentry.h"
#include "net/socket.h"
#include "net/url.h"
#include "platform/boxes.h"
#include "platform/msg.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/systime.h"
#include "resources/strings.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace kv {
namespace {

constexpr const char* kHistoryPageName = "kestovalog.htm";
constexpr const char* kClearLogCaption = "Kestova 1.22 ";

// String identifiers of this step.
constexpr unsigned IDS_APPEND_LOG_FAIL = 1150;
constexpr unsigned IDS_CLEAR_LOG_FAIL = 1151;
constexpr unsigned IDS_NFO_FAIL = 1154;
constexpr unsigned IDS_SCANNER_FAIL = 1203;
constexpr unsigned IDS_POPUP_FAIL = 1204;
constexpr unsigned IDS_CLEAR_LOG_DONE = 5001;
constexpr unsigned IDS_CLEAR_LOG_QUESTION = 5005;
constexpr unsigned IDS_STATUS_ERROR = 6000;
constexpr unsigned IDS_STATUS_COMPLETE = 6001;

// How long the pop-up sender may take before it is given up.
constexpr auto kPopupTimeout = std::chrono::seconds(30);

// Several jobs complete on different threads: one lock for the history page (its
// writers and the clear command) and the ".nfo" appends, one for the sound players.
std::mutex& HistoryMutex() {
    static std::mutex m;
    return m;
}

std::mutex& SoundMutex() {
    static std::mutex m;
    return m;
}

// The player of the sound still playing; 0 when the device is free.
std::atomic<pid_t> gSoundPlayer{0};

// ---- child processes (never through a shell)

// Starts argv[0] (searched in PATH when it holds no "/") with the given arguments.
// Standard input comes from `stdinFd`, else from /dev/null; with `quiet` the output goes
// to /dev/null. No descriptor of ours but 0-2 reaches the child. -1 with errno on failure.
pid_t Spawn(const std::vector<std::string>& args, int stdinFd, bool quiet) {
    if (args.empty() || args[0].empty()) {
        errno = ENOENT;
        return -1;
    }
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (int e = posix_spawn_file_actions_init(&actions); e != 0) {
        errno = e;
        return -1;
    }
    if (int e = posix_spawnattr_init(&attr); e != 0) {
        posix_spawn_file_actions_destroy(&actions);
        errno = e;
        return -1;
    }
    if (stdinFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    // The child starts with no blocked signals and the default SIGPIPE action, whatever
    // the calling thread has set.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    int e = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (e != 0) {
        errno = e;
        return -1;
    }
    return pid;
}

// Collects the child's exit in the background (no zombie is left), then runs `ended`.
void ReapInBackground(pid_t pid, std::function<void()> ended = {}) {
    auto reap = [pid, ended = std::move(ended)] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (ended) ended();
    };
    try {
        std::thread(std::move(reap)).detach();
    } catch (const std::system_error&) {
        // No thread to be had: wait here rather than leave a zombie.
        reap();
    }
}

// The full path of an executable `name` in PATH; empty when there is none.
std::string FindInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        size_t colon = dirs.find(':');
        std::string dir(dirs.substr(0, colon));
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string_view::npos) break;
        dirs.remove_prefix(colon + 1);
    }
    return {};
}

// The words of a parameter text: blanks separate them, double quotes group a word
// (the quotes themselves are dropped; "" stands for an empty word).
std::vector<std::string> SplitArguments(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

// ---- texts of the history page

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

// A local path as the path of a "file://" URL: "/" and the unreserved characters stay,
// every other byte is written as %XX (so "#", "%", "?" and blanks in names keep the link
// pointing at the file).
std::string FileUrlPath(std::string_view path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (char c : path) {
        auto u = static_cast<unsigned char>(c);
        bool keep = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
                    u == '-' || u == '.' || u == '_' || u == '~' || u == '/';
        if (keep) {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

constexpr const char* kHistoryHead =
    "<HEAD><TITLE>Download History - Kestova</TITLE></HEAD><BODY BGCOLOR=\"#FFECD9\">"
    "<TABLE WIDTH=\"100%%\" CELLSPACING=0 BGCOLOR=\"#FFD8B0\"><TR><TD><B>"
    "<FONT SIZE=\"+3\">Download History</FONT></B></TD><TD ALIGN=RIGHT><B>"
    "<FONT COLOR=\"#FF0000\" SIZE=\"+3\">Kestova</FONT></B></TD></TR></TABLE><BR><HR>";

std::string HistoryEntryText(const JobRecord& job, const std::string& now,
                             const std::string& fileDate) {
    const std::string target = HtmlEscape(job.Target);
    const std::string local = HtmlEscape(job.LocalFile);
    std::string s;
    s += "<B>" + HtmlEscape(now) + "</B><BR>";
    s += "<B>Job: " + HtmlEscape(PathFileName(job.LocalFile)) + "</B><BR>";
    s += "<B>URL: </B><A HREF=\"" + target + "\">" + target + "</A><BR>";
    s += "<B>Saved as: </B><A HREF=\"file://" + HtmlEscape(FileUrlPath(job.LocalFile)) +
         "\">" + local + "</A><BR>";
    s += "<B>Size: </B>" + std::to_string(job.Size) + "<BR>";
    s += "<B>Date: </B>" + HtmlEscape(fileDate) + "<BR>";
    s += "<B>Comment: </B>" + HtmlEscape(job.Comment) + "<BR><HR>\n";
    return s;
}

std::string NfoEntryText(const JobRecord& job, const std::string& now,
                         const std::string& fileDate) {
    std::string s;
    s += "Kestova Job: \"" + PathFileName(job.LocalFile) + "\"\n";
    s += "Completed: " + now + "\n";
    s += "Url: " + job.Target + "\n";
    s += "Saved as: " + job.LocalFile + "\n";
    s += "Comment: " + job.Comment + "\n";
    s += "File size: " + std::to_string(job.Size) + "\n";
    s += "File date: " + fileDate + "\n\n";
    return s;
}

// Appends `text` to `path` (created with its directories when missing) in one go: on a
// failed or short write the file is cut back to its old length, so a full disk never
// leaves half an entry. `headWhenNew` is written in front when the file is empty or not
// a regular file. 0, or the errno of the failing call.
int AppendWhole(const std::string& path, const std::string& text,
                const std::string& headWhenNew = {}) {
    if (!CreateParentDirectories(path)) return errno ? errno : ENOENT;
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK |
                                      O_NOCTTY, 0666);
    if (fd < 0) return errno;
    struct stat st {};
    bool examined = ::fstat(fd, &st) == 0;
    bool regular = examined && S_ISREG(st.st_mode);
    bool isNew = !regular || st.st_size == 0;
    std::string all = isNew ? headWhenNew + text : text;

    int error = 0;
    size_t done = 0;
    while (done < all.size()) {
        ssize_t n = ::write(fd, all.data() + done, all.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (error != 0 && regular && done > 0) {
        int ignored = ::ftruncate(fd, st.st_size);
        (void)ignored;
    }
    if (::close(fd) != 0 && error == 0) error = errno;
    return error;
}

// ---- notices

unsigned StatusTextId(int result) {
    return result == JobResultComplete ? IDS_STATUS_COMPLETE : IDS_STATUS_ERROR;
}

// The network pop-up message: "smbclient -M" to the computer `SendPopTo`, sent as
// "Kestova", with the target and the status text as the message.
void SendPopupMessage(const JobRecord& job, const EngineOptions& options, unsigned statusId) {
    const std::string failText = LoadString(IDS_POPUP_FAIL);
    const std::string& to = options.SendPopTo;
    // A computer name starting with "-" would be read as an option of the sender.
    if (to.empty() || to[0] == '-') {
        FailureBox(failText, EINVAL);
        return;
    }
    const std::string message = job.Target + "\r\n" + LoadString(statusId);

    // A socket pair, not a pipe: the send can't raise SIGPIPE when the sender is gone.
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        FailureBox(failText);
        return;
    }
    pid_t pid = Spawn({"smbclient", "-M", to, "-N", "-U", "Kestova"}, fds[0], true);
    int spawnError = errno;
    ::close(fds[0]);
    if (pid < 0) {
        ::close(fds[1]);
        FailureBox(failText, spawnError);
        return;
    }
    int error = 0;
    size_t done = 0;
    while (done < message.size()) {
        ssize_t n = ::send(fds[1], message.data() + done, message.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EPIPE;
            break;
        }
        done += static_cast<size_t>(n);
    }
    ::close(fds[1]);

    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + kPopupTimeout;
    while (true) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) {
            error = error ? error : errno;
            status = 0;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            error = ETIMEDOUT;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (error == 0) {
        if (WIFEXITED(status) && WEXITSTATUS(status) != 0) error = WEXITSTATUS(status);
        else if (WIFSIGNALED(status)) error = 128 + WTERMSIG(status);
    }
    if (error != 0) FailureBox(failText, error);
}

void SendNotifyText(const JobRecord& job, unsigned statusId) {
    HWND notify = EngineWindows().notifyWindow.load();
    if (!notify || !IsWindow(notify)) return;
    const std::string text = LoadString(statusId) + "\t" + job.Target;
    SendMessage(notify, MSG_NOTIFY_TEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void SendNotices(const JobRecord& job, const EngineOptions& options, int result) {
    const unsigned statusId = StatusTextId(result);
    if (options.SendPop) SendPopupMessage(job, options, statusId);
    if (options.ShowNotify) SendNotifyText(job, statusId);
}

// Plays the sound-scheme entry of `eventName` ("KVDownloadSuccess", "KVDownloadFail")
// without waiting for it. While an earlier sound still plays the device is busy and the
// sound is skipped.
void PlaySoundEvent(const EngineOptions& options, const char* eventName) {
    if (!options.UseSound) return;
    std::unique_lock<std::mutex> lock(SoundMutex(), std::defer_lock);
    try {
        lock.lock();
    } catch (const std::system_error& e) {
        FailureBox("WaitForSingleObject", e.code().value());
        return;
    }
    HKey key;
    const std::string keyPath =
        std::string("AppEvents\\Schemes\\Apps\\Kestova\\") + eventName + "\\.current";
    if (RegOpenKey(keyPath, key) != ERROR_SUCCESS) return;
    std::string file;
    if (RegQueryString(key, "", file, 260) != ERROR_SUCCESS || file.empty()) return;
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (gSoundPlayer.load() != 0) return;  // the device is busy

    std::string player;
    for (const char* name : {"pw-play", "paplay", "aplay"}) {
        player = FindInPath(name);
        if (!player.empty()) break;
    }
    if (player.empty()) return;
    pid_t pid = Spawn({player, file}, -1, true);
    if (pid < 0) return;
    gSoundPlayer = pid;
    ReapInBackground(pid, [pid] {
        pid_t expected = pid;
        gSoundPlayer.compare_exchange_strong(expected, 0);
    });
}

// ---- the finished file

void RenameTemporaryFile(const JobRecord& job) {
    const std::string temporary = job.LocalFile + ".!!!";
    // rename() replaces an existing file of that name in one step, so there is no moment
    // in which neither the old nor the new file exists.
    if (::rename(temporary.c_str(), job.LocalFile.c_str()) != 0) FailureBox("MoveFile");
}

bool IsValidDate(const SystemTime& d) {
    return d.Month >= 1 && d.Month <= 12 && d.Day >= 1 && d.Day <= 31 && d.Hour < 24 &&
           d.Minute < 60 && d.Second < 61;
}

// Sets the access and modification times of the file to `date`, taken as UTC, as the
// server gave it.
void SetFileDate(const std::string& path, const SystemTime& date) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        FailureBox("CreateFile");
        return;
    }
    int error = 0;
    if (!IsValidDate(date)) {
        error = EINVAL;
    } else {
        std::tm tm{};
        tm.tm_year = date.Year - 1900;
        tm.tm_mon = date.Month - 1;
        tm.tm_mday = date.Day;
        tm.tm_hour = date.Hour;
        tm.tm_min = date.Minute;
        tm.tm_sec = date.Second;
        timespec times[2];
        times[0].tv_sec = ::timegm(&tm);
        times[0].tv_nsec = static_cast<long>(date.Milliseconds % 1000) * 1000000L;
        times[1] = times[0];
        if (::futimens(fd, times) != 0) error = errno;
    }
    ::close(fd);
    if (error != 0) FailureBox("SetFileTime", error);
}

// Starts the virus scanner on the file: Scanner, the words of ScannerArg, then the path as
// one argument. Not waited for.
void RunVirusScanner(const JobRecord& job, const EngineOptions& options) {
    std::vector<std::string> args{options.Scanner};
    for (std::string& word : SplitArguments(options.ScannerArg)) args.push_back(std::move(word));
    args.push_back(job.LocalFile);
    pid_t pid = Spawn(args, -1, false);
    if (pid < 0) {
        FailureBox(LoadString(IDS_SCANNER_FAIL));
        return;
    }
    ReapInBackground(pid);
}

void PostToMainWindow(JobRecord& job, uint32_t message, WPARAM wParam) {
    HWND main = EngineWindows().mainWindow.load();
    // Without a main window there is nobody to tell (and a post to no window would land
    // on this thread's own queue).
    if (!main) return;
    PostMessageRetry(main, message, wParam, JobParam(&job));
}

}  // namespace

std::string HistoryPagePath() {
    return ProgramDirectory() + kPathSeparator + kHistoryPageName;
}

bool AppendHistoryEntry(const JobRecord& job) {
    const std::string now = DateText(LocalTimeNow());
    const std::string fileDate = DateText(job.FileDate);
    const std::string entry = HistoryEntryText(job, now, fileDate);
    const std::string head = std::string(kHistoryHead) + "\n";
    int error;
    {
        std::lock_guard lock(HistoryMutex());
        error = AppendWhole(HistoryPagePath(), entry, head);
    }
    if (error != 0) {
        FailureBox(LoadString(IDS_APPEND_LOG_FAIL), error);
        return false;
    }
    return true;
}

bool AppendNfoEntry(const JobRecord& job) {
    const std::string entry =
        NfoEntryText(job, DateText(LocalTimeNow()), DateText(job.FileDate));
    int error;
    {
        std::lock_guard lock(HistoryMutex());
        error = AppendWhole(job.LocalFile + ".nfo", entry);
    }
    if (error != 0) {
        FailureBox(LoadString(IDS_NFO_FAIL), error);
        return false;
    }
    return true;
}

void ViewDownloadLog() {
    pid_t pid = Spawn({"xdg-open", HistoryPagePath()}, -1, false);
    if (pid < 0) {
        FailureBox("ShellExecute");
        return;
    }
    ReapInBackground(pid);
}

void ClearDownloadLog() {
    if (!QuestionBox(LoadString(IDS_CLEAR_LOG_QUESTION), kClearLogCaption)) return;
    const std::string path = HistoryPagePath();
    int error = 0;
    {
        std::lock_guard lock(HistoryMutex());
        if (!CreateParentDirectories(path)) {
            error = errno ? errno : ENOENT;
        } else {
            int fd = ::open(path.c_str(),
                            O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                            0666);
            if (fd < 0) error = errno;
            else if (::close(fd) != 0) error = errno;
        }
    }
    if (error != 0) {
        FailureBox(LoadString(IDS_CLEAR_LOG_FAIL), error);
        return;
    }
    MessageBoxId(IDS_CLEAR_LOG_DONE);
}

int CompleteJob(JobRecord& job, int result, const std::string& redirectUrl,
                const EngineOptions& options) {
    // Release the run-time resources. JobMutex is a plain mutex and needs no closing;
    // the thread object is joined by the main window when it handles the post below.
    if (job.FileHandle >= 0) {
        ::close(job.FileHandle);
        job.FileHandle = -1;
    }
    HardClose(job.ProbeSocket);      // an ant did not take it
    HardClose(job.ProbeDataSocket);  // only ever set for FTP jobs
    job.ThreadId = 0;
    job.ProxyEntry.reset();
    job.UrlParts.reset();

    switch (result) {
        case JobResultComplete:
            AppendHistoryEntry(job);
            SendNotices(job, options, result);
            job.RedirectUrl.clear();
            PlaySoundEvent(options, "KVDownloadSuccess");
            RenameTemporaryFile(job);
            if (options.GetFileDate && job.FileDate.IsSet()) SetFileDate(job.LocalFile, job.FileDate);
            if (options.VirusCheck) RunVirusScanner(job, options);
            if (options.CreateNFO) AppendNfoEntry(job);
            PostToMainWindow(job, MSG_JOB_ENDED, JobResultComplete);
            break;
        case JobResultCancelled:
        case JobResultUnchanged:
            job.RedirectUrl.clear();
            PostToMainWindow(job, MSG_JOB_ENDED, static_cast<WPARAM>(result));
            break;
        case JobResultRestart:
            PostToMainWindow(job, MSG_JOB_RESTART, 0);
            break;
        case JobResultTempRedirect:
            // Target keeps the URL first entered.
            if (!redirectUrl.empty()) job.RedirectUrl = redirectUrl;
            PostToMainWindow(job, MSG_JOB_RESTART, 0);
            break;
        case JobResultPermRedirect:
            if (!redirectUrl.empty()) {
                if (!job.RedirectUrl.empty()) job.RedirectUrl = redirectUrl;
                else job.Target = redirectUrl;
            }
            PostToMainWindow(job, MSG_JOB_RESTART, 0);
            break;
        case JobResultError:
        default:  // a result nobody knows ends the job as an error
            SendNotices(job, options, JobResultError);
            job.RedirectUrl.clear();
            PlaySoundEvent(options, "KVDownloadFail");
            PostToMainWindow(job, MSG_JOB_ENDED, JobResultError);
            break;
    }
    return 1;
}

}  // namespace kv
