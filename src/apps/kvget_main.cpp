// kvget: the download engine without a display. It plays the user-interface thread (a
// headless message loop and a main window that handles the engine's messages), reads the
// preferences from the hive, and downloads each URL given as a job.
#include "engine/completion.h"
#include "engine/engineoptions.h"
#include "engine/joblog.h"
#include "engine/jobrecord.h"
#include "engine/jobthread.h"
#include "engine/messages.h"
#include "net/socket.h"
#include "net/url.h"
#include "platform/msg.h"
#include "platform/paths.h"
#include "settings/enginesettings.h"
#include "settings/settings.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace kv {
namespace {

constexpr const char* kUsage =
    "usage: kvget [-n ANTS] [-o FILE | -d DIR] [--limit BYTES_PER_SECOND]\n"
    "             [--exist prompt|overwrite|resume|rename|cancel] [-q] [--log] URL...\n"
    "  -n ANTS       connections per download, 1 to 5 (default: the preferences, 5)\n"
    "  -o FILE       save the download as FILE (one URL only)\n"
    "  -d DIR        save into DIR under the name the server's URL gives (default: .)\n"
    "  --limit N     hold all downloads together to N bytes per second\n"
    "  --exist WHAT  what to do when the file exists (default: the preferences, prompt)\n"
    "  -q            print nothing but errors\n"
    "  --log         print every job log line to standard error\n";

// Thread messages to the main thread and window messages of the main window.
constexpr uint32_t kSignalArrived = WM_USER + 200;  // thread message: SIGINT or SIGTERM
constexpr uint32_t kAskFileExists = WM_USER + 201;  // sent by a job thread, lParam Question*
constexpr uintptr_t kTickTimer = 1;
constexpr uintptr_t kPaceTimer = 2;
constexpr uintptr_t kProgressTimer = 3;

struct CommandLine {
    int ants = 0;  // 0: the preferences
    std::string output;
    std::string directory;
    int64_t limit = -1;
    int exist = -1;
    bool quiet = false;
    bool log = false;
    std::vector<std::string> urls;
};

bool ParseNumber(const char* text, int64_t& value) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < 0) return false;
    value = v;
    return true;
}

// 0 on success; 2 (after a message) on bad usage.
int ParseCommandLine(int argc, char** argv, CommandLine& cl) {
    auto bad = [](const std::string& why) {
        std::fprintf(stderr, "kvget: %s\n%s", why.c_str(), kUsage);
        return 2;
    };
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)what;
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "-n") {
            int64_t n = 0;
            if (!ParseNumber(value("-n"), n) || n < 1 || n > MAX_ANTS) return bad("-n takes 1 to 5");
            cl.ants = static_cast<int>(n);
        } else if (a == "-o") {
            const char* v = value("-o");
            if (!v || !*v) return bad("-o takes a file name");
            cl.output = v;
        } else if (a == "-d") {
            const char* v = value("-d");
            if (!v || !*v) return bad("-d takes a directory");
            cl.directory = v;
        } else if (a == "--limit") {
            if (!ParseNumber(value("--limit"), cl.limit) || cl.limit < 1) {
                return bad("--limit takes a number of bytes per second above 0");
            }
        } else if (a == "--exist") {
            const char* v = value("--exist");
            static const char* kNames[] = {"prompt", "overwrite", "resume", "rename", "cancel"};
            cl.exist = -1;
            for (int k = 0; v && k < 5; ++k) {
                if (std::strcmp(v, kNames[k]) == 0) cl.exist = k;
            }
            if (cl.exist < 0) return bad("--exist takes prompt, overwrite, resume, rename or cancel");
        } else if (a == "-q") {
            cl.quiet = true;
        } else if (a == "--log") {
            cl.log = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return bad("unknown option " + a);
        } else {
            cl.urls.push_back(a);
        }
    }
    if (cl.urls.empty()) return bad("no URL given");
    if (!cl.output.empty() && !cl.directory.empty()) return bad("-o and -d exclude each other");
    if (!cl.output.empty() && cl.urls.size() > 1) return bad("-o takes one URL only");
    return 0;
}

std::string HumanSize(double bytes) {
    static const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        ++u;
    }
    char text[32];
    std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[u]);
    return text;
}

std::string Duration(int64_t seconds) {
    char text[32];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%" PRId64 ":%02d:%02d", seconds / 3600,
                      static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    } else {
        std::snprintf(text, sizeof text, "%d:%02d", static_cast<int>(seconds / 60),
                      static_cast<int>(seconds % 60));
    }
    return text;
}

struct Question {
    std::string path;
};

struct Job {
    std::unique_ptr<JobRecord> record;
    enum class Phase { Waiting, Running, Ended } phase = Phase::Waiting;
    int result = -1;
    double speed = 0;  // bytes per second, smoothed
    std::string lastFailure;
    uint32_t startTick = 0;
};

class Kvget : public LogObserver {
public:
    explicit Kvget(CommandLine cl) : cl_(std::move(cl)), terminal_(::isatty(STDERR_FILENO) == 1) {}

    int Run() {
        LoadSettings(AppSettings());
        const Settings& settings = AppSettings();
        InstallHeadlessBoxes();
        InstallEngineNetHooks();
        EngineOptions options = EngineOptionsFrom(settings);
        if (cl_.exist >= 0) options.FileExistMode = cl_.exist;
        SetEngineOptions(options);
        EngineHooks hooks;
        hooks.FileExistDialog = [this](JobRecord&, const std::string& path) {
            Question q{path};
            return static_cast<int>(SendMessage(main_, kAskFileExists, 0, reinterpret_cast<LPARAM>(&q)));
        };
        SetEngineHooks(hooks);

        log_.SetObserver(this);
        EngineWindows().logWindow.store(log_.Handle());
        main_ = CreateMessageWindow(
            "KV_MainWin",
            {
                {MSG_BYTES_RECEIVED, [](WPARAM, LPARAM) -> LRESULT { return 0; }},
                {MSG_JOB_RESTART, [this](WPARAM, LPARAM l) { return JobRestart(JobFromParam(l)); }},
                {MSG_JOB_ENDED, [this](WPARAM w, LPARAM l) {
                     return JobEnded(JobFromParam(l), static_cast<int>(w));
                 }},
                {MSG_SAVE_JOB, [](WPARAM, LPARAM) -> LRESULT { return 1; }},
                {MSG_BANDWIDTH_REQUEST, [](WPARAM w, LPARAM l) { return HandleBandwidthRequest(w, l); }},
                {kAskFileExists, [this](WPARAM, LPARAM l) {
                     return AskFileExists(*reinterpret_cast<Question*>(l));
                 }},
                {WM_TIMER, [this](WPARAM id, LPARAM) { return Timer(id); }},
            });
        EngineWindows().mainWindow.store(main_);

        for (const std::string& url : cl_.urls) AddJob(url, settings);
        Tick();
        SetTimer(main_, kTickTimer, 1000);
        SetTimer(main_, kPaceTimer, 125);
        if (ShowProgress()) SetTimer(main_, kProgressTimer, 500);
        StartWaitingJobs();
        int code = 0;
        if (!AllEnded()) {
            code = RunMessageLoop([this](const Message& m) {
                if (m.message == kSignalArrived) StopEverything();
            });
        } else {
            code = ExitCode();
        }
        DrawProgress(true);
        EngineWindows().mainWindow.store(nullptr);
        EngineWindows().logWindow.store(nullptr);
        DestroyWindow(main_);
        return code;
    }

    // ---- LogObserver
    void EntryAdded(const JobLog& log, int ant, const LogEntry& entry, bool) override {
        if (entry.Type == LOG_FAIL) {
            if (Job* job = Find(log.Job)) job->lastFailure = entry.Text;
        }
        if (cl_.log) {
            ClearProgress();
            std::fprintf(stderr, "[%s ant %d] %s\n", entry.Time.c_str(), ant, entry.Text.c_str());
        }
    }

private:
    bool ShowProgress() const { return terminal_ && !cl_.quiet; }

    void AddJob(const std::string& url, const Settings& settings) {
        auto job = std::make_unique<Job>();
        job->record = std::make_unique<JobRecord>();
        JobRecord& rec = *job->record;
        UrlLogin login;
        ParseUrl(url, {}, &login);
        rec.Target = url;
        ApplyJobDefaults(rec, settings);
        if (cl_.ants > 0) rec.AntNumber = cl_.ants;
        if (!login.User.empty()) {
            rec.User = login.User;
            rec.Password = login.Password;
            rec.Authorization = 1;
        }
        if (!cl_.output.empty()) {
            rec.LocalFile = cl_.output;
            rec.FlagLocalFile = 1;
        } else {
            rec.LocalFile = cl_.directory.empty() ? std::string(".") : cl_.directory;
            rec.FlagLocalFile = 2;
        }
        rec.State = JobStateNormal;
        rec.ViewItem = 1;
        SendMessage(log_.Handle(), MSG_LOG_CREATE, 1, JobParam(&rec));
        jobs_.push_back(std::move(job));
    }

    Job* Find(JobRecord* record) {
        for (auto& j : jobs_) {
            if (j->record.get() == record) return j.get();
        }
        return nullptr;
    }

    void StartWaitingJobs() {
        const int maxRunning = std::max(1, AppSettings().MaxRunJob);
        int running = 0;
        for (auto& j : jobs_) running += j->phase == Job::Phase::Running ? 1 : 0;
        for (auto& j : jobs_) {
            if (running >= maxRunning || stopping_) break;
            if (j->phase != Job::Phase::Waiting) continue;
            j->startTick = TickCount();
            if (!StartJobThread(*j->record, false)) {
                j->phase = Job::Phase::Ended;
                j->result = JobResultError;
                j->lastFailure = "the URL is not an http or ftp URL";
                Report(*j);
                continue;
            }
            j->phase = Job::Phase::Running;
            ++running;
        }
        if (stopping_) {
            for (auto& j : jobs_) {
                if (j->phase == Job::Phase::Waiting) {
                    j->phase = Job::Phase::Ended;
                    j->result = JobResultCancelled;
                }
            }
        }
    }

    LRESULT JobRestart(JobRecord* record) {
        Job* job = Find(record);
        if (!job) return 0;
        ReapJobThread(*record);
        if (stopping_ || !StartJobThread(*record, true)) {
            job->phase = Job::Phase::Ended;
            job->result = stopping_ ? JobResultCancelled : JobResultError;
            Report(*job);
            FinishIfDone();
        }
        return 0;
    }

    LRESULT JobEnded(JobRecord* record, int result) {
        Job* job = Find(record);
        if (!job) return 0;
        ReapJobThread(*record);
        job->phase = Job::Phase::Ended;
        job->result = result;
        record->State = result == JobResultComplete || result == JobResultUnchanged
                            ? JobStateDownloaded
                            : result == JobResultCancelled ? JobStateNormal : JobStateError;
        Report(*job);
        StartWaitingJobs();
        FinishIfDone();
        return 0;
    }

    void FinishIfDone() {
        if (AllEnded()) PostQuitMessage(ExitCode());
    }

    bool AllEnded() const {
        return std::all_of(jobs_.begin(), jobs_.end(),
                           [](const auto& j) { return j->phase == Job::Phase::Ended; });
    }

    int ExitCode() const {
        for (const auto& j : jobs_) {
            if (j->result != JobResultComplete && j->result != JobResultUnchanged) return 1;
        }
        return 0;
    }

    void Report(Job& job) {
        ClearProgress();
        const JobRecord& r = *job.record;
        const double seconds = (TickCount() - job.startTick) / 1000.0;
        if (job.result == JobResultComplete) {
            if (!cl_.quiet && terminal_) {
                std::fprintf(stderr, "%s: %s in %.1f s (%s/s)\n", r.LocalFile.c_str(),
                             HumanSize(static_cast<double>(r.Size)).c_str(), seconds,
                             HumanSize(seconds > 0 ? static_cast<double>(r.Size) / seconds : 0).c_str());
            }
        } else if (job.result == JobResultUnchanged) {
            if (!cl_.quiet && terminal_) std::fprintf(stderr, "%s: up to date\n", r.LocalFile.c_str());
        } else if (job.result == JobResultCancelled) {
            std::fprintf(stderr, "kvget: %s: cancelled\n", r.Target.c_str());
        } else {
            std::fprintf(stderr, "kvget: %s: %s\n", r.Target.c_str(),
                         job.lastFailure.empty() ? "failed" : job.lastFailure.c_str());
        }
    }

    LRESULT Timer(WPARAM id) {
        if (id == kTickTimer) {
            Tick();
        } else if (id == kPaceTimer) {
            BandwidthPace();
        } else if (id == kProgressTimer) {
            DrawProgress(false);
        }
        return 0;
    }

    // The once-a-second work: the bandwidth tick and the speed samples.
    void Tick() {
        const Settings& s = AppSettings();
        if (cl_.limit > 0) {
            BandwidthTick(1, cl_.limit, cl_.limit, 0, -1);
        } else {
            BandwidthTick(s.BandWidthMode, s.BandWidth, s.MaxBandWidth, s.YieldBandWidth, -1);
        }
        for (auto& j : jobs_) {
            if (j->phase != Job::Phase::Running) continue;
            const int64_t bytes = j->record->SampleBytes.exchange(0);
            j->speed = j->speed <= 0 ? static_cast<double>(bytes) : 0.7 * j->speed + 0.3 * static_cast<double>(bytes);
        }
    }

    void ClearProgress() {
        if (!ShowProgress() || drawnLines_ == 0) return;
        std::fprintf(stderr, "\x1b[%dA\x1b[J", drawnLines_);
        drawnLines_ = 0;
    }

    void DrawProgress(bool final) {
        if (!ShowProgress()) return;
        ClearProgress();
        if (final) return;
        std::string out;
        for (auto& j : jobs_) {
            if (j->phase != Job::Phase::Running) continue;
            const JobRecord& r = *j->record;
            const int64_t size = r.Size;
            const int64_t done = r.ResumeState == ResumeNotPossible ? r.StreamBytes.load() : r.DownloadedSize.load();
            char line[400];
            std::string name = PathFileName(r.LocalFile);
            if (name.empty() || r.FlagLocalFile == 2) name = r.Target;
            if (name.size() > 40) name = "..." + name.substr(name.size() - 37);
            if (size <= 0) {
                std::snprintf(line, sizeof line, "%-40s  connecting...", name.c_str());
            } else {
                const double percent = 100.0 * static_cast<double>(done) / static_cast<double>(size);
                std::string left = j->speed > 0 ? Duration(static_cast<int64_t>(static_cast<double>(size - done) / j->speed)) : "--:--";
                std::snprintf(line, sizeof line, "%-40s %5.1f%%  %s / %s  %s/s  %s left  ants %d",
                              name.c_str(), percent, HumanSize(static_cast<double>(done)).c_str(),
                              HumanSize(static_cast<double>(size)).c_str(), HumanSize(j->speed).c_str(),
                              left.c_str(), r.RunningAnts.load());
            }
            out += line;
            out += "\x1b[K\n";
            ++drawnLines_;
        }
        std::fputs(out.c_str(), stderr);
    }

    LRESULT AskFileExists(const Question& q) {
        if (::isatty(STDIN_FILENO) != 1) return -1;  // no one to ask
        ClearProgress();
        for (;;) {
            std::fprintf(stderr, "The file already exist.\n  %s\n[o]verwrite, [r]esume, [a]uto rename, [c]ancel? ",
                         q.path.c_str());
            std::string answer;
            if (!std::getline(std::cin, answer)) return FileExistCancel;
            if (answer == "o") return FileExistOverwrite;
            if (answer == "r") return FileExistResume;
            if (answer == "a") return FileExistAutoRename;
            if (answer == "c") return FileExistCancel;
        }
    }

    void StopEverything() {
        if (stopping_) {
            std::fprintf(stderr, "\nkvget: stopped at once\n");
            std::_Exit(1);
        }
        stopping_ = true;
        ClearProgress();
        std::fprintf(stderr, "kvget: stopping (the temporary files stay for a later resume)\n");
        for (auto& j : jobs_) {
            if (j->phase == Job::Phase::Running) {
                PostThreadMessageRetry(j->record->ThreadId.load(), MSG_STOP_JOB, 0, 0);
            }
        }
        StartWaitingJobs();
        FinishIfDone();
    }

    CommandLine cl_;
    const bool terminal_;
    LogWindow log_;
    HWND main_ = nullptr;
    std::deque<std::unique_ptr<Job>> jobs_;
    bool stopping_ = false;
    int drawnLines_ = 0;
};

}  // namespace
}  // namespace kv

int main(int argc, char** argv) {
    kv::CommandLine cl;
    if (int bad = kv::ParseCommandLine(argc, argv, cl)) return bad;

    // Signals are taken by one thread and handed to the main thread as a message.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    const kv::ThreadId mainThread = kv::GetCurrentThreadId();
    std::thread([set, mainThread] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) == 0) {
                kv::PostThreadMessage(mainThread, kv::kSignalArrived, static_cast<kv::WPARAM>(sig), 0);
            }
        }
    }).detach();

    kv::Kvget app(std::move(cl));
    return app.Run();
}
