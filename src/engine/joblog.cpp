#include "engine/joblog.h"

#include "net/socket.h"

#include "engine/jobrecord.h"
#include "platform/boxes.h"
#include "platform/systime.h"
#include "resources/strings.h"

#include <cstdio>
#include <mutex>
#include <new>

namespace kv {
namespace {

thread_local LogContext tLogContext;

bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }

}  // namespace

// ---- context and logging

void SetLogContext(JobRecord* job, int ant) { tLogContext = LogContext{job, ant}; }
void ClearLogContext() { tLogContext = LogContext{}; }
LogContext GetLogContext() { return tLogContext; }

void LogText(std::string_view text, uint32_t type) {
    LogContext context = tLogContext;
    if (!context.Job) return;
    HWND log = EngineWindows().logWindow.load();
    if (!log) return;
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && IsLineBreak(text[pos])) ++pos;
        std::size_t end = pos;
        while (end < text.size() && !IsLineBreak(text[end])) ++end;
        if (end > pos) {
            LogLine line{context.Job, context.Ant, text.substr(pos, end - pos), type};
            SendMessage(log, MSG_LOG_LINE, 0, reinterpret_cast<LPARAM>(&line));
        }
        pos = end;
    }
}

void LogMessage(unsigned id, uint32_t type) {
    if (!tLogContext.Job) return;
    LogText(LimitText(LoadString(id), MAX_LOG_MESSAGE), type);
}

std::string LogArg::ToString() const {
    return isNumber_ ? std::to_string(number_) : std::string(text_);
}

std::string FormatLogText(std::string_view format, std::initializer_list<LogArg> args) {
    std::string out;
    auto next = args.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c == '%' && i + 1 < format.size()) {
            char spec = format[i + 1];
            if (spec == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (spec == 's' || spec == 'd') {
                if (next != args.end()) out += (next++)->ToString();
                ++i;
                continue;
            }
        }
        out += c;
    }
    return LimitText(out, MAX_LOG_FORMATTED);
}

void LogMessageFormatted(unsigned id, uint32_t type, std::initializer_list<LogArg> args) {
    if (!tLogContext.Job) return;
    LogText(FormatLogText(LimitText(LoadString(id), MAX_LOG_MESSAGE), args), type);
}

std::string LogTimeText() {
    SystemTime t = LocalTimeNow();
    char text[64];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", t.Year, t.Month, t.Day,
                  t.Hour, t.Minute, t.Second);
    return text;
}

// ---- the log window

LogWindow::LogWindow() {
    auto job = [](LPARAM l) { return JobFromParam(l); };
    hwnd_ = CreateMessageWindow(
        "KV_LogWin",
        {
            {MSG_LOG_CREATE, [this, job](WPARAM w, LPARAM l) {
                 return LRESULT(Create(job(l), w));
             }},
            {MSG_LOG_DELETE, [this, job](WPARAM, LPARAM l) { return LRESULT(Delete(job(l))); }},
            {MSG_LOG_CLEAR, [this, job](WPARAM, LPARAM l) { return LRESULT(Clear(job(l))); }},
            {MSG_LOG_SELECT, [this, job](WPARAM, LPARAM l) {
                 Select(job(l));
                 return LRESULT(1);
             }},
            {MSG_LOG_RESET, [this, job](WPARAM w, LPARAM l) {
                 return LRESULT(Reset(job(l), w));
             }},
            {MSG_LOG_LINE, [this](WPARAM, LPARAM l) {
                 const auto* line = reinterpret_cast<const LogLine*>(l);
                 return LRESULT(line && AddLine(*line));
             }},
            {MSG_LOG_ADD_ANTS, [this, job](WPARAM w, LPARAM l) {
                 return LRESULT(AddAnts(job(l), w));
             }},
        });
}

LogWindow::~LogWindow() {
    HWND mine = hwnd_;
    EngineWindows().logWindow.compare_exchange_strong(mine, nullptr);
    DestroyWindow(hwnd_);
}

JobLog* LogWindow::FindLog(JobRecord* job) {
    auto it = logs_.find(job);
    return it == logs_.end() ? nullptr : it->second.get();
}

const JobLog* LogWindow::Find(JobRecord* job) const {
    auto it = logs_.find(job);
    return it == logs_.end() ? nullptr : it->second.get();
}

bool LogWindow::Create(JobRecord* job, WPARAM pages) {
    if (!job || pages > MAX_LOG_PAGES || FindLog(job)) return false;
    auto log = std::make_unique<JobLog>();
    log->Job = job;
    log->PageCount = static_cast<int>(pages);
    logs_.emplace(job, std::move(log));
    if (observer_) observer_->LogChanged(job);
    return true;
}

bool LogWindow::Delete(JobRecord* job) {
    if (!logs_.erase(job)) return false;
    // The job is about to go: never keep showing a log that no longer exists.
    if (selected_ == job) Select(nullptr);
    if (observer_) observer_->LogChanged(job);
    return true;
}

bool LogWindow::Clear(JobRecord* job) {
    JobLog* log = FindLog(job);
    if (!log) return false;
    for (auto& page : log->Pages) page.clear();
    if (observer_) observer_->LogChanged(job);
    return true;
}

void LogWindow::Select(JobRecord* job) {
    selected_ = job;
    if (observer_) observer_->SelectionChanged(job);
}

bool LogWindow::Reset(JobRecord* job, WPARAM pages) {
    JobLog* log = FindLog(job);
    if (!log || pages > MAX_LOG_PAGES) return false;
    for (auto& page : log->Pages) page.clear();
    log->PageCount = static_cast<int>(pages);
    if (observer_) observer_->LogChanged(job);
    return true;
}

bool LogWindow::AddLine(const LogLine& line) {
    JobLog* log = FindLog(line.Job);
    if (!log || line.Ant < 0 || line.Ant >= log->PageCount) return false;
    try {
        LogEntry entry{line.Type, LogTimeText(), std::string(line.Text)};
        auto& page = log->Pages[static_cast<std::size_t>(line.Ant)];
        bool dropped = false;
        if (page.size() >= MAX_LOG_ENTRIES) {
            page.pop_front();
            dropped = true;
        }
        page.push_back(std::move(entry));
        if (observer_) observer_->EntryAdded(*log, line.Ant, page.back(), dropped);
    } catch (const std::bad_alloc&) {
        FailureBox("Malloc");
        return false;
    }
    return true;
}

bool LogWindow::AddAnts(JobRecord* job, WPARAM count) {
    JobLog* log = FindLog(job);
    if (!log || count > static_cast<WPARAM>(MAX_LOG_PAGES - log->PageCount)) return false;
    log->PageCount += static_cast<int>(count);
    if (observer_) observer_->LogChanged(job);
    return true;
}

void InstallHeadlessBoxes() {
    SetBoxStringLookup([](unsigned id) { return LoadString(id); });
    SetBoxHandler([](const std::string& text, bool /*isFailure*/) {
        std::fprintf(stderr, "Kestova: %s\n", text.c_str());
        LogText(text, LOG_FAIL);
    });
}

void InstallEngineNetHooks() {
    SetNetHooks(NetHooks{
        [](unsigned id, uint32_t type) { LogMessage(id, type); },
        [](unsigned id, uint32_t type, int64_t n) { LogMessageFormatted(id, type, {n}); },
        [](std::string_view text, uint32_t type) { LogText(text, type); },
        [] { return EngineWindows().mainWindow.load(); },
    });
}

}  // namespace kv
