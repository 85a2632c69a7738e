// The last step of a job thread, run on the test thread with a main window of its own.
#include "engine/completion.h"

#include "engine/messages.h"
#include "net/dates.h"
#include "net/proxyentry.h"
#include "net/socket.h"
#include "net/url.h"
#include "platform/boxes.h"
#include "platform/msg.h"
#include "platform/registry.h"
#include "resources/strings.h"
#include "support/boxcatcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kv {
namespace {

namespace fs = std::filesystem;

const char* const kHead =
    "<HEAD><TITLE>Download History - Kestova</TITLE></HEAD><BODY BGCOLOR=\"#FFECD9\">"
    "<TABLE WIDTH=\"100%%\" CELLSPACING=0 BGCOLOR=\"#FFD8B0\"><TR><TD><B>"
    "<FONT SIZE=\"+3\">Download History</FONT></B></TD><TD ALIGN=RIGHT><B>"
    "<FONT COLOR=\"#FF0000\" SIZE=\"+3\">Kestova</FONT></B></TD></TR></TABLE><BR><HR>\n";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void WriteScript(const std::string& path, const std::string& body) {
    WriteFile(path, "#!/bin/sh\nPATH=/usr/bin:/bin\n" + body);
    ::chmod(path.c_str(), 0755);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool WaitFor(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Processes (zombies too) whose parent is this test program, with their command lines.
std::vector<std::string> ChildProcesses() {
    std::vector<std::string> out;
    DIR* proc = ::opendir("/proc");
    if (!proc) return out;
    while (dirent* e = ::readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::string base = std::string("/proc/") + e->d_name;
        std::string stat = ReadFile(base + "/stat");
        auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) continue;
        if (ppid != ::getpid()) continue;
        std::string cmdline = ReadFile(base + "/cmdline");
        for (char& c : cmdline) if (c == '\0') c = ' ';
        out.push_back(std::string(1, state) + " " + cmdline);
    }
    ::closedir(proc);
    return out;
}

int ChildrenMentioning(const std::string& word) {
    int n = 0;
    for (const std::string& c : ChildProcesses()) n += c.find(word) != std::string::npos;
    return n;
}

struct Post {
    uint32_t message;
    WPARAM wParam;
    LPARAM lParam;
    bool operator==(const Post&) const = default;
};

class Completion : public ::testing::Test {
protected:
    std::string dir;    // everything of one test
    std::string home;   // the program directory
    std::string files;  // where the jobs save
    std::string bin;    // fake helper programs
    std::optional<std::string> oldPath;
    std::vector<Post> posts;
    std::vector<std::string> notices;
    HWND mainWindow = nullptr;
    HWND notifyWindow = nullptr;
    EngineOptions options;
    BoxCatcher boxes;

    void SetUp() override {
        char pattern[] = "/tmp/kv-completion-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        home = dir + "/home";
        files = dir + "/files";
        bin = dir + "/bin";
        fs::create_directories(files);
        fs::create_directories(bin);
        ::setenv("KESTOVA_HOME", home.c_str(), 1);
        ::setenv("KESTOVA_REGISTRY", (dir + "/user.reg").c_str(), 1);
        if (const char* p = std::getenv("PATH")) oldPath = p;
        SetBoxStringLookup([](unsigned id) { return LoadString(id); });
        SetQuestionHandler({});
        auto record = [this](uint32_t message) {
            return [this, message](WPARAM w, LPARAM l) -> LRESULT {
                posts.push_back({message, w, l});
                return 0;
            };
        };
        mainWindow = CreateMessageWindow(
            "KV_MainWin", {{MSG_JOB_ENDED, record(MSG_JOB_ENDED)},
                           {MSG_JOB_RESTART, record(MSG_JOB_RESTART)}});
        EngineWindows().mainWindow = mainWindow;
        options = EngineOptions{};
        options.GetFileDate = false;
    }

    void TearDown() override {
        EngineWindows().mainWindow = nullptr;
        EngineWindows().notifyWindow = nullptr;
        DestroyWindow(mainWindow);
        if (notifyWindow) DestroyWindow(notifyWindow);
        SetQuestionHandler({});
        if (oldPath) ::setenv("PATH", oldPath->c_str(), 1);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    void UsePathOnly(const std::string& path) { ::setenv("PATH", path.c_str(), 1); }

    void MakeNotifyWindow() {
        notifyWindow = CreateMessageWindow(
            "KV_Notify", {{MSG_NOTIFY_TEXT, [this](WPARAM, LPARAM l) -> LRESULT {
                               notices.emplace_back(reinterpret_cast<const char*>(l));
                               return 0;
                           }}});
        EngineWindows().notifyWindow = notifyWindow;
    }

    // A job whose download is complete: "<files>/<name>.!!!" holds `content`.
    std::unique_ptr<JobRecord> MakeJob(const std::string& name,
                                       const std::string& content = "new content") {
        auto job = std::make_unique<JobRecord>();
        job->Target = "http://example.com/dl/" + name;
        job->LocalFile = files + "/" + name;
        job->Size = static_cast<int64_t>(content.size());
        job->Comment = "a comment";
        WriteFile(job->LocalFile + ".!!!", content);
        return job;
    }

    void Complete(JobRecord& job, int result, const std::string& url = {}) {
        posts.clear();
        EXPECT_EQ(CompleteJob(job, result, url, options), 1);
        ProcessPendingMessages();
    }
};

TEST_F(Completion, CompleteReplacesTheOldFileReleasesTheRunAndPostsEnded) {
    auto job = MakeJob("a.zip", "fresh bytes");
    WriteFile(job->LocalFile, "old file");
    job->FileHandle = ::open((job->LocalFile + ".!!!").c_str(), O_RDWR | O_CLOEXEC);
    const int file = job->FileHandle;
    job->ProbeSocket = OpenSocket();
    job->ProbeDataSocket = OpenSocket();
    const int probe = job->ProbeSocket;
    const int probeData = job->ProbeDataSocket;
    ASSERT_GE(file, 0);
    ASSERT_GE(probe, 0);
    ASSERT_GE(probeData, 0);
    job->ThreadId = 77;
    job->ProxyEntry = std::make_shared<ProxyEntry>();
    job->UrlParts = std::make_shared<UrlParts>();
    job->RedirectUrl = "http://mirror.example.com/a.zip";

    Complete(*job, JobResultComplete);

    EXPECT_EQ(ReadFile(job->LocalFile), "fresh bytes");
    EXPECT_FALSE(fs::exists(job->LocalFile + ".!!!"));
    EXPECT_FALSE(fs::exists(job->LocalFile + ".nfo"));  // CreateNFO is off
    EXPECT_EQ(job->FileHandle, -1);
    EXPECT_EQ(job->ProbeSocket, -1);
    EXPECT_EQ(job->ProbeDataSocket, -1);
    for (int fd : {file, probe, probeData}) EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << fd;
    EXPECT_EQ(job->ThreadId.load(), 0u);
    EXPECT_EQ(job->ProxyEntry, nullptr);
    EXPECT_EQ(job->UrlParts, nullptr);
    EXPECT_EQ(job->RedirectUrl, "");
    EXPECT_EQ(posts, (std::vector<Post>{{MSG_JOB_ENDED, 1, JobParam(job.get())}}));
    EXPECT_TRUE(fs::exists(HistoryPagePath()));
    EXPECT_TRUE(boxes.texts.empty()) << boxes.texts.front();
}

TEST_F(Completion, OtherResultsSetTheUrlsLeaveTheFileAndPostTheirMessage) {
    const std::string target = "http://example.com/dl/b.zip";
    struct Case {
        int result;
        const char* redirectBefore;
        const char* handedUrl;
        const char* target;
        const char* redirectAfter;
        uint32_t message;
        WPARAM wParam;
    };
    const Case cases[] = {
        {JobResultError, "http://r/1", "", target.c_str(), "", MSG_JOB_ENDED, 0},
        {JobResultCancelled, "http://r/1", "", target.c_str(), "", MSG_JOB_ENDED, 2},
        {JobResultUnchanged, "http://r/1", "", target.c_str(), "", MSG_JOB_ENDED, 6},
        {JobResultRestart, "http://r/1", "", target.c_str(), "http://r/1", MSG_JOB_RESTART, 0},
        {JobResultTempRedirect, "", "http://t/2", target.c_str(), "http://t/2", MSG_JOB_RESTART, 0},
        {JobResultTempRedirect, "http://r/1", "http://t/2", target.c_str(), "http://t/2",
         MSG_JOB_RESTART, 0},
        {JobResultPermRedirect, "", "http://p/2", "http://p/2", "", MSG_JOB_RESTART, 0},
        {JobResultPermRedirect, "http://r/1", "http://p/2", target.c_str(), "http://p/2",
         MSG_JOB_RESTART, 0},
        {JobResultPermRedirect, "", "", target.c_str(), "", MSG_JOB_RESTART, 0},
        {9, "http://r/1", "", target.c_str(), "", MSG_JOB_ENDED, 0},  // unknown: an error
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "result " << c.result << " redirect '"
                                        << c.redirectBefore << "' url '" << c.handedUrl << "'");
        auto job = MakeJob("b.zip");
        job->ProbeSocket = OpenSocket();
        job->RedirectUrl = c.redirectBefore;
        Complete(*job, c.result, c.handedUrl);
        EXPECT_EQ(job->Target, c.target);
        EXPECT_EQ(job->RedirectUrl, c.redirectAfter);
        EXPECT_EQ(job->ProbeSocket, -1);
        EXPECT_EQ(posts, (std::vector<Post>{{c.message, c.wParam, JobParam(job.get())}}));
        EXPECT_TRUE(fs::exists(job->LocalFile + ".!!!"));
        EXPECT_FALSE(fs::exists(job->LocalFile));
        EXPECT_FALSE(fs::exists(HistoryPagePath()));
    }

    // Redirected twice temporarily: Target stays, RedirectUrl carries the second URL.
    auto job = MakeJob("c.zip");
    Complete(*job, JobResultTempRedirect, "http://first/c.zip");
    Complete(*job, JobResultTempRedirect, "http://second/c.zip");
    EXPECT_EQ(job->Target, "http://example.com/dl/c.zip");
    EXPECT_EQ(job->RedirectUrl, "http://second/c.zip");
    EXPECT_TRUE(boxes.texts.empty());
}

TEST_F(Completion, HistoryPageGetsItsHeadOnceAndEscapesWhatComesFromOutside) {
    SystemTime date;
    date.Year = 2001;
    date.Month = 2;
    date.Day = 3;
    date.Hour = 4;
    date.Minute = 5;
    date.Second = 6;
    const std::string dateText = DateText(date);
    ASSERT_FALSE(dateText.empty());

    struct Case {
        const char* before;  // nullptr: no page yet
        bool head;
    };
    for (const Case& c : {Case{nullptr, true}, Case{"", true}, Case{"OLD\n", false}}) {
        SCOPED_TRACE(c.before ? c.before : "(none)");
        std::error_code ec;
        fs::remove_all(home, ec);
        if (c.before) {
            fs::create_directories(home);
            WriteFile(HistoryPagePath(), c.before);
        }

        auto plain = MakeJob("a b#1%.zip");
        plain->Size = 5000000000LL;  // over 4 GiB
        plain->FileDate = date;
        plain->Comment = "first";
        Complete(*plain, JobResultComplete);

        auto crafted = MakeJob("<i>'.zip");
        crafted->Target = "http://x/\"><script>alert(1)</script>.zip";
        crafted->Comment = "</B><img src=x onerror=alert(1)> & \"q\"";
        Complete(*crafted, JobResultComplete);

        const std::string page = ReadFile(HistoryPagePath());
        std::string expectedStart = c.before ? c.before : "";
        if (c.head) expectedStart += kHead;
        ASSERT_EQ(page.compare(0, expectedStart.size(), expectedStart), 0) << page;
        EXPECT_EQ(page.find(kHead, 1), std::string::npos);
        EXPECT_EQ(page.find("<script"), std::string::npos);
        EXPECT_EQ(page.find("<img"), std::string::npos);
        EXPECT_EQ(page.find("<i>"), std::string::npos);

        // Each entry: the current time in bold, then the fixed part.
        const std::vector<std::string> entries = Lines(page.substr(expectedStart.size()));
        ASSERT_EQ(entries.size(), 2u) << page;
        const std::string plainEntry =
            "</B><BR><B>Job: a b#1%.zip</B><BR><B>URL: </B><A HREF=\"http://example.com/dl/"
            "a b#1%.zip\">http://example.com/dl/a b#1%.zip</A><BR><B>Saved as: </B>"
            "<A HREF=\"file://" + files + "/a%20b%231%25.zip\">" + files +
            "/a b#1%.zip</A><BR><B>Size: </B>5000000000<BR><B>Date: </B>" + dateText +
            "<BR><B>Comment: </B>first<BR><HR>";
        const std::string craftedEntry =
            "</B><BR><B>Job: &lt;i&gt;&#39;.zip</B><BR><B>URL: </B><A HREF=\"http://x/&quot;&gt;"
            "&lt;script&gt;alert(1)&lt;/script&gt;.zip\">http://x/&quot;&gt;&lt;script&gt;"
            "alert(1)&lt;/script&gt;.zip</A><BR><B>Saved as: </B><A HREF=\"file://" + files +
            "/%3Ci%3E%27.zip\">" + files + "/&lt;i&gt;&#39;.zip</A><BR><B>Size: </B>11<BR>"
            "<B>Date: </B><BR><B>Comment: </B>&lt;/B&gt;&lt;img src=x onerror=alert(1)&gt; "
            "&amp; &quot;q&quot;<BR><HR>";
        for (size_t i = 0; i < 2; ++i) {
            const std::string& e = entries[i];
            const std::string& fixed = i == 0 ? plainEntry : craftedEntry;
            ASSERT_GT(e.size(), fixed.size() + 3);
            EXPECT_EQ(e.substr(0, 3), "<B>");
            EXPECT_EQ(e.substr(e.size() - fixed.size()), fixed);
        }
        EXPECT_TRUE(boxes.texts.empty());
    }
}

TEST_F(Completion, FileDateIsTheServerDateTakenAsUtc) {
    SystemTime date;
    date.Year = 2001;
    date.Month = 2;
    date.Day = 3;
    date.Hour = 4;
    date.Minute = 5;
    date.Second = 6;
    date.Milliseconds = 250;
    struct Case {
        bool getFileDate;
        SystemTime fileDate;
        time_t seconds;
        long nanoseconds;
    };
    const time_t kept = 1000000000;
    for (const Case& c : {Case{true, date, 981173106, 250000000}, Case{true, SystemTime{}, kept, 0},
                          Case{false, date, kept, 0}}) {
        SCOPED_TRACE(testing::Message() << c.getFileDate << " " << c.fileDate.Year);
        auto job = MakeJob("dated.bin");
        job->FileDate = c.fileDate;
        const timespec before[2] = {{kept, 0}, {kept, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (job->LocalFile + ".!!!").c_str(), before, 0), 0);
        options.GetFileDate = c.getFileDate;
        Complete(*job, JobResultComplete);
        struct stat st {};
        ASSERT_EQ(::stat(job->LocalFile.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, c.seconds);
        EXPECT_EQ(st.st_mtim.tv_nsec, c.nanoseconds);
        EXPECT_EQ(st.st_atim.tv_sec, c.seconds);
    }
    EXPECT_TRUE(boxes.texts.empty());
}

TEST_F(Completion, NfoFileGetsOnePlainEntryPerCompletion) {
    options.CreateNFO = true;
    SystemTime date;
    date.Year = 1999;
    date.Month = 12;
    date.Day = 31;
    date.Hour = 23;
    for (int round = 0; round < 2; ++round) {
        auto job = MakeJob("n.txt", "0123456789");
        job->FileDate = date;
        job->Comment = "<raw> & \"text\"";
        Complete(*job, JobResultComplete);
    }
    const std::vector<std::string> lines = Lines(ReadFile(files + "/n.txt.nfo"));
    ASSERT_EQ(lines.size(), 16u);
    for (size_t at : {size_t{0}, size_t{8}}) {
        EXPECT_EQ(lines[at + 0], "Kestova Job: \"n.txt\"");
        EXPECT_EQ(lines[at + 1].rfind("Completed: ", 0), 0u);
        EXPECT_GT(lines[at + 1].size(), std::string("Completed: ").size());
        EXPECT_EQ(lines[at + 2], "Url: http://example.com/dl/n.txt");
        EXPECT_EQ(lines[at + 3], "Saved as: " + files + "/n.txt");
        EXPECT_EQ(lines[at + 4], "Comment: <raw> & \"text\"");
        EXPECT_EQ(lines[at + 5], "File size: 10");
        EXPECT_EQ(lines[at + 6], "File date: " + DateText(date));
        EXPECT_EQ(lines[at + 7], "");
    }
    EXPECT_TRUE(boxes.texts.empty());
}

TEST_F(Completion, NotifyWindowIsToldOfErrorsAndCompletionsOnly) {
    MakeNotifyWindow();
    options.ShowNotify = true;
    auto job = MakeJob("t.zip");
    for (int result : {JobResultCancelled, JobResultUnchanged, JobResultRestart,
                       JobResultTempRedirect, JobResultError, JobResultComplete})
        Complete(*job, result, "http://elsewhere/t.zip");
    EXPECT_EQ(notices, (std::vector<std::string>{"Meet error, job halt\thttp://example.com/dl/t.zip",
                                                 "Job complete\thttp://example.com/dl/t.zip"}));
    notices.clear();
    options.ShowNotify = false;
    Complete(*job, JobResultError);
    EXPECT_TRUE(notices.empty());
}

TEST_F(Completion, VirusScannerGetsThePathAsOneArgumentAndNoShell) {
    const std::string record = dir + "/scanner-args";
    const std::string scanner = bin + "/scan";
    WriteScript(scanner, "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + record +
                             ".tmp'\nmv '" + record + ".tmp' '" + record + "'\n");
    const fs::path oldCwd = fs::current_path();
    fs::current_path(files);  // where injected commands would leave their marks

    options.VirusCheck = true;
    options.Scanner = scanner;
    options.ScannerArg = "-v  \"two words\" --x";
    const std::string name = "a;touch pwned;$(touch x)`touch y`.zip";
    auto job = MakeJob(name);
    Complete(*job, JobResultComplete);
    EXPECT_TRUE(WaitFor([&] { return fs::exists(record); }));
    EXPECT_EQ(Lines(ReadFile(record)),
              (std::vector<std::string>{"-v", "two words", "--x", files + "/" + name}));
    EXPECT_TRUE(WaitFor([] { return ChildProcesses().empty(); }));  // reaped
    for (const char* mark : {"pwned", "x", "y"}) EXPECT_FALSE(fs::exists(files + "/" + mark)) << mark;
    fs::current_path(oldCwd);
    EXPECT_TRUE(boxes.texts.empty());

    // A scanner that can't be started: the box, and the job is still complete.
    options.Scanner = dir + "/no-such-scanner";
    auto other = MakeJob("o.zip");
    Complete(*other, JobResultComplete);
    EXPECT_EQ(boxes.texts, (std::vector<std::string>{"Can't run virus scanner [2]"}));
    EXPECT_TRUE(fs::exists(other->LocalFile));
    EXPECT_EQ(posts, (std::vector<Post>{{MSG_JOB_ENDED, 1, JobParam(other.get())}}));
}

TEST_F(Completion, PopupMessageIsHandedToSmbclient) {
    const std::string args = dir + "/smb-args";
    const std::string input = dir + "/smb-stdin";
    const std::string exitCode = dir + "/smb-exit";
    WriteScript(bin + "/smbclient", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                                        args + "'\ncat > '" + input + "'\nexit $(cat '" +
                                        exitCode + "')\n");
    UsePathOnly(bin);
    options.SendPop = true;
    options.SendPopTo = "OFFICE-PC";
    struct Case {
        int result;
        const char* exitCode;
        const char* status;
        const char* box;  // nullptr: none
    };
    const Case cases[] = {
        {JobResultComplete, "0", "Job complete", nullptr},
        {JobResultError, "0", "Meet error, job halt", nullptr},
        {JobResultError, "1", "Meet error, job halt", "Send winpopup message fail [1]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.result << " exit " << c.exitCode);
        boxes.texts.clear();
        WriteFile(exitCode, c.exitCode);
        auto job = MakeJob("p.zip");
        Complete(*job, c.result);
        EXPECT_EQ(Lines(ReadFile(args)),
                  (std::vector<std::string>{"-M", "OFFICE-PC", "-N", "-U", "Kestova"}));
        EXPECT_EQ(ReadFile(input), std::string("http://example.com/dl/p.zip\r\n") + c.status);
        EXPECT_EQ(boxes.texts, c.box ? std::vector<std::string>{c.box}
                                     : std::vector<std::string>{});
        EXPECT_EQ(posts.size(), 1u);
    }

    // A name that would be read as an option is refused; no smbclient at all fails.
    fs::remove(args);
    boxes.texts.clear();
    options.SendPopTo = "-c";
    auto job = MakeJob("q.zip");
    Complete(*job, JobResultError);
    EXPECT_FALSE(fs::exists(args));
    options.SendPopTo = "OFFICE-PC";
    UsePathOnly(dir + "/nothing-here");
    Complete(*job, JobResultError);
    EXPECT_EQ(boxes.texts, (std::vector<std::string>{"Send winpopup message fail [22]",
                                                     "Send winpopup message fail [2]"}));
}

TEST_F(Completion, SoundPlaysTheSchemeEntryAndIsSkippedWhileTheDeviceIsBusy) {
    ASSERT_TRUE(WaitFor([] { return ChildProcesses().empty(); }));
    const std::string success = dir + "/success.wav";
    const std::string fail = dir + "/fail.wav";
    WriteFile(success, "RIFF");
    WriteFile(fail, "RIFF");
    const std::string record = dir + "/played";
    const std::string release = dir + "/release";
    for (const char* player : {"paplay", "aplay"})
        WriteScript(bin + "/" + player, "echo \"$(basename \"$0\") $1\" >> '" + record +
                                            "'\nwhile [ ! -e '" + release +
                                            "' ]; do sleep 0.02; done\n");
    UsePathOnly(bin);
    auto scheme = [](const char* event, const std::string& file) {
        HKey key;
        ASSERT_EQ(RegCreateKey(std::string("AppEvents\\Schemes\\Apps\\Kestova\\") + event +
                                   "\\.current",
                               key),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetString(key, "", file), ERROR_SUCCESS);
        ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    };
    scheme("KVDownloadSuccess", success);
    scheme("KVDownloadFail", dir + "/missing.wav");
    options.UseSound = true;

    auto failing = MakeJob("f.zip");
    Complete(*failing, JobResultError);  // the scheme names no file: nothing plays
    EXPECT_TRUE(ChildProcesses().empty());

    auto done = MakeJob("s.zip");
    Complete(*done, JobResultComplete);
    EXPECT_EQ(ChildrenMentioning("success.wav"), 1);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(record); }));
    EXPECT_EQ(ReadFile(record), "paplay " + success + "\n");  // the first player present

    scheme("KVDownloadFail", fail);
    Complete(*failing, JobResultError);  // the device is busy
    EXPECT_EQ(ChildrenMentioning("fail.wav"), 0);
    EXPECT_EQ(ChildProcesses().size(), 1u);

    WriteFile(release, "");
    // Once the first sound has ended the next one plays.
    EXPECT_TRUE(WaitFor([&] {
        if (ReadFile(record).find("fail.wav") == std::string::npos)
            Complete(*failing, JobResultError);
        return ReadFile(record).find("fail.wav") != std::string::npos;
    }));
    EXPECT_EQ(Lines(ReadFile(record)),
              (std::vector<std::string>{"paplay " + success, "paplay " + fail}));
    EXPECT_TRUE(WaitFor([] { return ChildProcesses().empty(); }));  // no zombies left
    EXPECT_TRUE(boxes.texts.empty());
}

TEST_F(Completion, ClearLogAsksFirstAndEmptiesThePage) {
    fs::create_directories(home);
    WriteFile(HistoryPagePath(), "entries");
    std::vector<std::string> asked;
    bool answer = false;

    ClearDownloadLog();  // no question handler: the answer is no
    EXPECT_EQ(ReadFile(HistoryPagePath()), "entries");

    SetQuestionHandler([&](const std::string& text, const std::string& caption) {
        asked.push_back(caption + "|" + text);
        return answer;
    });
    ClearDownloadLog();
    EXPECT_EQ(ReadFile(HistoryPagePath()), "entries");
    EXPECT_TRUE(boxes.texts.empty());

    answer = true;
    ClearDownloadLog();
    EXPECT_TRUE(fs::exists(HistoryPagePath()));
    EXPECT_EQ(fs::file_size(HistoryPagePath()), 0u);
    EXPECT_EQ(boxes.texts, (std::vector<std::string>{"Clear download log successfully"}));
    EXPECT_EQ(asked, (std::vector<std::string>{"Kestova 1.22 |Do you clear log of download?",
                                               "Kestova 1.22 |Do you clear log of download?"}));

    // The next completion starts the page again with its head.
    auto job = MakeJob("after.zip");
    Complete(*job, JobResultComplete);
    EXPECT_EQ(ReadFile(HistoryPagePath()).rfind(kHead, 0), 0u);
}

TEST_F(Completion, FailedStepsShowTheirBoxesAndTheJobStillCompletes) {
    fs::create_directories(HistoryPagePath());  // a folder where the page should be
    options.CreateNFO = true;
    options.GetFileDate = true;
    auto job = MakeJob("lost.zip");
    fs::remove(job->LocalFile + ".!!!");
    fs::create_directories(job->LocalFile + ".nfo");
    job->FileDate.Year = 2020;
    job->FileDate.Month = 1;
    job->FileDate.Day = 1;
    Complete(*job, JobResultComplete);
    EXPECT_EQ(boxes.texts, (std::vector<std::string>{"Append job log fail [21]", "MoveFile [2]",
                                                     "CreateFile [2]",
                                                     "Can't create .NFO file [21]"}));
    EXPECT_EQ(posts, (std::vector<Post>{{MSG_JOB_ENDED, 1, JobParam(job.get())}}));

    boxes.texts.clear();
    SetQuestionHandler([](const std::string&, const std::string&) { return true; });
    ClearDownloadLog();
    EXPECT_EQ(boxes.texts, (std::vector<std::string>{"Clear job log fail [21]"}));
}

TEST_F(Completion, ViewLogOpensThePageWithXdgOpen) {
    const std::string record = dir + "/opened";
    WriteScript(bin + "/xdg-open", "printf '%s\\n' \"$@\" > '" + record + ".tmp'\nmv '" +
                                       record + ".tmp' '" + record + "'\n");
    UsePathOnly(bin);
    ViewDownloadLog();
    ASSERT_TRUE(WaitFor([&] { return fs::exists(record); }));
    EXPECT_EQ(Lines(ReadFile(record)), (std::vector<std::string>{HistoryPagePath()}));
    EXPECT_EQ(HistoryPagePath(), home + "/kestovalog.htm");
    EXPECT_TRUE(WaitFor([] { return ChildProcesses().empty(); }));
    EXPECT_TRUE(boxes.texts.empty());
}

}  // namespace
}  // namespace kv
