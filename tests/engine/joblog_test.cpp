#include "engine/joblog.h"
#include "engine/jobrecord.h"
#include "engine/messages.h"
#include "engine/rungate.h"
#include "platform/boxes.h"
#include "platform/msg.h"
#include "resources/strings.h"

#include <gtest/gtest.h>

#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace kv {
namespace {

std::vector<std::string> Texts(const JobLog& log, int ant) {
    std::vector<std::string> out;
    for (const LogEntry& e : log.Pages[static_cast<size_t>(ant)]) out.push_back(e.Text);
    return out;
}

struct RecordingObserver : LogObserver {
    int added = 0;
    int dropped = 0;
    int changed = 0;
    std::vector<JobRecord*> selections;
    std::vector<ThreadId> threads;
    void EntryAdded(const JobLog&, int, const LogEntry&, bool droppedOldest) override {
        ++added;
        if (droppedOldest) ++dropped;
        threads.push_back(GetCurrentThreadId());
    }
    void LogChanged(JobRecord*) override { ++changed; }
    void SelectionChanged(JobRecord* job) override { selections.push_back(job); }
};

// A log window on the calling thread, registered as the engine's log window.
struct LocalLogWindow {
    LogWindow window;
    RecordingObserver observer;
    LocalLogWindow() {
        window.SetObserver(&observer);
        EngineWindows().logWindow = window.Handle();
    }
    ~LocalLogWindow() { ClearLogContext(); }
};

TEST(JobLog, LogTextSplitsAtLineBreakRunsAndSkipsEmptyPieces) {
    struct Case {
        const char* text;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"", {}},
        {"\r\n", {}},
        {"one", {"one"}},
        {"a\r\nb", {"a", "b"}},
        {"\r\n\r\nx\n\n\ry\r", {"x", "y"}},
        {"GET / HTTP/1.1\r\nHost: h\r\n\r\n", {"GET / HTTP/1.1", "Host: h"}},
    };
    LocalLogWindow lw;
    JobRecord job;
    ASSERT_TRUE(lw.window.Create(&job, 1));
    SetLogContext(&job, 0);
    for (const Case& c : cases) {
        lw.window.Clear(&job);
        LogText(c.text, LOG_REQUEST);
        EXPECT_EQ(Texts(*lw.window.Find(&job), 0), c.lines) << "text: " << c.text;
    }

    // A reply header of 12 lines gives 12 reply entries.
    lw.window.Clear(&job);
    std::string header;
    for (int i = 0; i < 12; ++i) header += "Header-" + std::to_string(i) + ": v\r\n";
    LogText(header, LOG_REPLY);
    const auto& page = lw.window.Find(&job)->Pages[0];
    ASSERT_EQ(page.size(), 12u);
    const std::regex time(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})");
    for (const LogEntry& e : page) {
        EXPECT_EQ(e.Type, LOG_REPLY);
        EXPECT_TRUE(std::regex_match(e.Time, time)) << e.Time;
    }
    EXPECT_EQ(page.front().Text, "Header-0: v");
    EXPECT_EQ(page.back().Text, "Header-11: v");
}

TEST(JobLog, NothingIsLoggedWithoutAContextOrALogWindow) {
    LocalLogWindow lw;
    JobRecord job;
    ASSERT_TRUE(lw.window.Create(&job, 1));
    LogText("no context", LOG_NORMAL);
    LogMessage(3001, LOG_SUCCESS);
    EXPECT_TRUE(lw.window.Find(&job)->Pages[0].empty());
    {
        ScopedLogContext context(&job, 0);
        EngineWindows().logWindow = nullptr;
        LogText("no window", LOG_NORMAL);
        EngineWindows().logWindow = lw.window.Handle();
        LogText("logged", LOG_NORMAL);
    }
    EXPECT_EQ(GetLogContext().Job, nullptr);  // the scope put the empty context back
    LogText("after the scope", LOG_NORMAL);
    EXPECT_EQ(Texts(*lw.window.Find(&job), 0), std::vector<std::string>{"logged"});
    EXPECT_EQ(lw.observer.added, 1);
}

TEST(JobLog, APageKeepsTheNewest1000Entries) {
    LocalLogWindow lw;
    JobRecord job;
    ASSERT_TRUE(lw.window.Create(&job, 2));
    SetLogContext(&job, 0);
    for (int i = 0; i < 1005; ++i) LogText("line " + std::to_string(i), LOG_NORMAL);
    SetLogContext(&job, 1);
    LogText("other page", LOG_NORMAL);

    const JobLog& log = *lw.window.Find(&job);
    ASSERT_EQ(log.Pages[0].size(), MAX_LOG_ENTRIES);
    EXPECT_EQ(log.Pages[0].front().Text, "line 5");
    EXPECT_EQ(log.Pages[0].back().Text, "line 1004");
    EXPECT_EQ(Texts(log, 1), std::vector<std::string>{"other page"});
    EXPECT_EQ(lw.observer.added, 1006);
    EXPECT_EQ(lw.observer.dropped, 5);
}

TEST(JobLog, LinesOfAntsBeyondThePageCountAreDropped) {
    LocalLogWindow lw;
    JobRecord job;
    JobRecord noLog;
    ASSERT_TRUE(lw.window.Create(&job, 1));  // the server allowed one connection
    SetLogContext(&job, 3);
    LogText("from ant 3", LOG_NORMAL);
    SetLogContext(&noLog, 0);
    LogText("job without a log", LOG_NORMAL);
    for (const auto& page : lw.window.Find(&job)->Pages) EXPECT_TRUE(page.empty());
    EXPECT_EQ(lw.observer.added, 0);

    ASSERT_TRUE(lw.window.AddAnts(&job, 3));  // now 4 pages: ant 3 has one
    SetLogContext(&job, 3);
    LogText("from ant 3", LOG_NORMAL);
    EXPECT_EQ(Texts(*lw.window.Find(&job), 3), std::vector<std::string>{"from ant 3"});
    LogLine negative{&job, -1, "bad index", LOG_NORMAL};
    EXPECT_FALSE(lw.window.AddLine(negative));
}

TEST(JobLog, LogMessagesCreateResetClearAddAntsAndDeleteThroughTheWindow) {
    LocalLogWindow lw;
    HWND w = lw.window.Handle();
    JobRecord a, b;
    auto send = [&](uint32_t msg, WPARAM wParam, JobRecord* job) {
        return SendMessage(w, msg, wParam, JobParam(job));
    };
    EXPECT_EQ(GetWindowClassName(w), "KV_LogWin");

    // Create: 0 to 5 pages; refused above 5 and when the job already has a log.
    EXPECT_EQ(send(MSG_LOG_CREATE, 6, &a), 0);
    EXPECT_EQ(lw.window.Find(&a), nullptr);
    EXPECT_EQ(send(MSG_LOG_CREATE, 0, &a), 1);
    EXPECT_EQ(send(MSG_LOG_CREATE, 1, &a), 0);
    EXPECT_EQ(lw.window.Find(&a)->PageCount, 0);
    EXPECT_EQ(send(MSG_LOG_CREATE, 5, &b), 1);

    // Add ants: refused when the total would pass 5.
    struct AddCase {
        WPARAM start, add;
        bool accepted;
    };
    for (AddCase c : {AddCase{1, 4, true}, AddCase{2, 4, false}, AddCase{5, 1, false},
                      AddCase{0, 5, true}, AddCase{3, 0, true}}) {
        ASSERT_EQ(send(MSG_LOG_RESET, c.start, &a), 1);
        EXPECT_EQ(send(MSG_LOG_ADD_ANTS, c.add, &a), c.accepted ? 1 : 0)
            << c.start << " + " << c.add;
        EXPECT_EQ(lw.window.Find(&a)->PageCount,
                  static_cast<int>(c.accepted ? c.start + c.add : c.start));
    }

    // Reset empties every page and sets the count; clear empties and keeps it.
    ASSERT_EQ(send(MSG_LOG_RESET, 2, &a), 1);
    for (int ant : {0, 1}) {
        LogLine line{&a, ant, "entry", LOG_NORMAL};
        EXPECT_EQ(SendMessage(w, MSG_LOG_LINE, 0, reinterpret_cast<LPARAM>(&line)), 1);
    }
    EXPECT_EQ(send(MSG_LOG_RESET, 6, &a), 0);
    EXPECT_EQ(lw.window.Find(&a)->Pages[1].size(), 1u);  // a refused reset changes nothing
    EXPECT_EQ(send(MSG_LOG_CLEAR, 0, &a), 1);
    EXPECT_TRUE(lw.window.Find(&a)->Pages[0].empty());
    EXPECT_TRUE(lw.window.Find(&a)->Pages[1].empty());
    EXPECT_EQ(lw.window.Find(&a)->PageCount, 2);
    LogLine line{&a, 1, "again", LOG_FAIL};
    SendMessage(w, MSG_LOG_LINE, 0, reinterpret_cast<LPARAM>(&line));
    EXPECT_EQ(send(MSG_LOG_RESET, 1, &a), 1);
    EXPECT_TRUE(lw.window.Find(&a)->Pages[1].empty());
    EXPECT_EQ(lw.window.Find(&a)->PageCount, 1);

    // Select, and deleting the shown job's log leaves nothing shown.
    send(MSG_LOG_SELECT, 0, &a);
    EXPECT_EQ(lw.window.Selected(), &a);
    EXPECT_EQ(send(MSG_LOG_DELETE, 0, &a), 1);
    EXPECT_EQ(lw.window.Find(&a), nullptr);
    EXPECT_EQ(lw.window.Selected(), nullptr);
    EXPECT_EQ(lw.observer.selections, (std::vector<JobRecord*>{&a, nullptr}));
    EXPECT_EQ(send(MSG_LOG_DELETE, 0, &a), 0);
    EXPECT_EQ(send(MSG_LOG_CLEAR, 0, &a), 0);
    EXPECT_EQ(send(MSG_LOG_RESET, 1, &a), 0);
    EXPECT_EQ(send(MSG_LOG_ADD_ANTS, 1, &a), 0);
    EXPECT_NE(lw.window.Find(&b), nullptr);  // the other job's log is untouched
    send(MSG_LOG_SELECT, 0, nullptr);
    EXPECT_EQ(lw.window.Selected(), nullptr);
}

TEST(JobLog, DestroyingTheLogWindowUnregistersIt) {
    HWND handle = nullptr;
    {
        LogWindow window;
        handle = window.Handle();
        EngineWindows().logWindow = handle;
    }
    EXPECT_EQ(EngineWindows().logWindow.load(), nullptr);
    EXPECT_FALSE(IsWindow(handle));
}

TEST(JobLog, LinesFromAnEngineThreadReachTheLogWindowOnTheUserInterfaceThread) {
    constexpr uint32_t kQuit = WM_USER + 1;
    std::promise<void> ready;
    std::vector<std::vector<LogEntry>> pages;
    std::vector<ThreadId> observerThreads;
    JobRecord job;
    ThreadId uiId = 0;
    std::thread ui = StartThread(uiId, [&] {
        LogWindow window;
        RecordingObserver observer;
        window.SetObserver(&observer);
        window.Create(&job, 2);
        EngineWindows().logWindow = window.Handle();
        HWND control = CreateMessageWindow("Test_Control", {{kQuit, [](WPARAM, LPARAM) {
                                                                 PostQuitMessage(0);
                                                                 return LRESULT(0);
                                                             }}});
        EngineWindows().mainWindow = control;
        ready.set_value();
        RunMessageLoop();
        for (int ant = 0; ant < 2; ++ant) {
            const auto& page = window.Find(&job)->Pages[static_cast<size_t>(ant)];
            pages.emplace_back(page.begin(), page.end());
        }
        observerThreads = observer.threads;
        EngineWindows().mainWindow = nullptr;
        DestroyWindow(control);
    });
    ready.get_future().wait();

    const std::string longText(150, 'x');
    SetTranslatedString(3032, longText);
    ThreadId engineId = 0;
    std::thread engine = StartThread(engineId, [&] {
        ScopedLogContext context(&job, 1);
        char onStack[] = "first\r\nsecond";
        LogText(onStack, LOG_REPLY);
        onStack[0] = '#';  // the send has returned: the log kept its own copy
        LogMessage(3001, LOG_SUCCESS);
        LogMessageFormatted(3000, LOG_NORMAL, {"example.org", 8080});
        LogMessageFormatted(3022, LOG_NORMAL, {5});
        LogMessage(3032, LOG_NORMAL);
    });
    engine.join();
    ClearTranslations();
    PostMessageRetry(EngineWindows().mainWindow.load(), kQuit, 0, 0);
    ui.join();

    ASSERT_EQ(pages.size(), 2u);
    EXPECT_TRUE(pages[0].empty());
    std::vector<std::pair<uint32_t, std::string>> got;
    for (const LogEntry& e : pages[1]) got.emplace_back(e.Type, e.Text);
    EXPECT_EQ(got, (std::vector<std::pair<uint32_t, std::string>>{
                       {LOG_REPLY, "first"},
                       {LOG_REPLY, "second"},
                       {LOG_SUCCESS, "Connect to host successfully"},
                       {LOG_NORMAL, "Connect to host (example.org:8080) ..."},
                       {LOG_NORMAL, "Wait 5 seconds for next retry"},
                       {LOG_NORMAL, std::string(99, 'x')},
                   }));
    ASSERT_EQ(observerThreads.size(), 6u);
    for (ThreadId id : observerThreads) EXPECT_EQ(id, uiId);
    EXPECT_EQ(EngineWindows().logWindow.load(), nullptr);
}

TEST(JobLog, FormattingFillsTextsAndNumbersWhateverTheFormatAsks) {
    struct Case {
        const char* format;
        std::vector<std::string> texts;  // "#n" stands for the number n
        const char* expected;
    };
    const Case cases[] = {
        {"Connect to proxy (%s:%d) ...", {"p.example", "#3128"}, "Connect to proxy (p.example:3128) ..."},
        {"Wait %d seconds for next retry", {"#-1"}, "Wait -1 seconds for next retry"},
        {"%d then %s", {"text", "#7"}, "text then 7"},  // a translation with swapped kinds
        {"%s:%d", {"h"}, "h:"},                           // missing arguments give nothing
        {"100%% %x %", {}, "100% %x %"},
        {"no places", {"unused"}, "no places"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> storage = c.texts;
        std::vector<LogArg> args;
        for (const std::string& t : storage) {
            if (t.size() > 1 && t[0] == '#') {
                args.emplace_back(std::stoll(t.substr(1)));
            } else {
                args.emplace_back(std::string_view(t));
            }
        }
        std::string out;
        switch (args.size()) {
            case 0: out = FormatLogText(c.format, {}); break;
            case 1: out = FormatLogText(c.format, {args[0]}); break;
            default: out = FormatLogText(c.format, {args[0], args[1]}); break;
        }
        EXPECT_EQ(out, c.expected) << c.format;
    }
    EXPECT_EQ(FormatLogText("%s", {std::string(400, 'y')}).size(), MAX_LOG_FORMATTED);
}

TEST(JobLog, HeadlessBoxesGoToTheJobLogOfTheCallingThread) {
    LocalLogWindow lw;
    JobRecord job;
    ASSERT_TRUE(lw.window.Create(&job, 1));
    InstallHeadlessBoxes();
    FailureBox("CreateFile", 13);  // no context yet: standard error only
    SetLogContext(&job, 0);
    FailureBox("WriteFile", 28);
    MessageBoxId(3026);
    SetBoxHandler(nullptr);
    SetBoxStringLookup(nullptr);
    const auto& page = lw.window.Find(&job)->Pages[0];
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[0].Text, "WriteFile [28]");
    EXPECT_EQ(page[0].Type, LOG_FAIL);
    EXPECT_EQ(page[1].Text, "No block left, ant finish");
}

TEST(RunGate, GoesWithoutDialupAndDialsOnlyWhenAllowed) {
    struct State {
        bool inUse, up, autoDial, dialling, dialConnects;
        bool go;
        int dials;
    };
    const State cases[] = {
        {false, false, true, false, true, true, 0},   // dial-up not in use: always go
        {true, true, true, false, true, true, 0},     // connection up
        {true, false, false, false, true, false, 0},  // down, no automatic dialling
        {true, false, true, true, true, false, 0},    // down, a dialling is under way
        {true, false, true, false, true, true, 1},    // dials and gets through
        {true, false, true, false, false, false, 1},  // dials and fails
    };
    for (const State& c : cases) {
        bool up = c.up;
        int dials = 0;
        HWND main = CreateMessageWindow("KV_MainWin", {{MSG_DIAL_NOW, [&](WPARAM, LPARAM) {
                                                            ++dials;
                                                            if (c.dialConnects) up = true;
                                                            return LRESULT(0);
                                                        }}});
        EngineWindows().mainWindow = main;
        SetRunGateDialup(RunGateDialup{[&] { return c.inUse; }, [&] { return up; },
                                       [&] { return c.autoDial; },
                                       [&] { return c.dialling; }});
        EXPECT_EQ(RunGate(), c.go) << "case " << (&c - cases);
        EXPECT_EQ(dials, c.dials) << "case " << (&c - cases);
        EngineWindows().mainWindow = nullptr;
        DestroyWindow(main);
    }
    SetRunGateDialup({});
    EXPECT_TRUE(RunGate());  // nothing installed: dial-up is not available
}

}  // namespace
}  // namespace kv
