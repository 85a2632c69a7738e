// Whole downloads through the job thread and its ants, against nginx and the scriptable
// test server, with this thread playing the main window.
#include "engine/completion.h"
#include "engine/engineoptions.h"
#include "engine/joblog.h"
#include "engine/jobthread.h"
#include "engine/messages.h"
#include "net/dates.h"
#include "net/socket.h"
#include "servers/httpserver.h"
#include "support/boxcatcher.h"
#include "support/nginx.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace kv {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f << bytes;
}

constexpr uintptr_t kGiveUpTimer = 7;

// The main window of these tests: it hands restarts back to the engine, counts saves and
// records how each run ended.
class EngineHost : public LogObserver {
public:
    EngineHost() {
        dir_ = fs::temp_directory_path() / ("kv-jobthread-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        ::setenv("KESTOVA_HOME", dir_.c_str(), 1);
        InstallEngineNetHooks();
        log_.SetObserver(this);
        EngineWindows().logWindow.store(log_.Handle());
        main_ = CreateMessageWindow(
            "KV_MainWin",
            {
                {MSG_JOB_ENDED, [this](WPARAM w, LPARAM l) {
                     ReapJobThread(*JobFromParam(l));
                     result_ = static_cast<int>(w);
                     PostQuitMessage(0);
                     return LRESULT(0);
                 }},
                {MSG_JOB_RESTART, [this](WPARAM, LPARAM l) {
                     JobRecord* job = JobFromParam(l);
                     ReapJobThread(*job);
                     restarts_.push_back(job->RedirectUrl);
                     if (!StartJobThread(*job, true)) PostQuitMessage(1);
                     return LRESULT(0);
                 }},
                {MSG_SAVE_JOB, [this](WPARAM, LPARAM) {
                     ++saves_;
                     return LRESULT(1);
                 }},
                {MSG_BANDWIDTH_REQUEST, [](WPARAM w, LPARAM l) { return HandleBandwidthRequest(w, l); }},
                {WM_TIMER, [](WPARAM id, LPARAM) {
                     if (id == kGiveUpTimer) PostQuitMessage(2);
                     return LRESULT(0);
                 }},
            });
        EngineWindows().mainWindow.store(main_);
        EngineOptions options;
        options.FileExistMode = FileExistOverwrite;
        SetEngineOptions(options);
    }
    ~EngineHost() override {
        EngineWindows().mainWindow.store(nullptr);
        EngineWindows().logWindow.store(nullptr);
        DestroyWindow(main_);
        SetEngineHooks({});
        SetEngineOptions({});
        SetNetHooks({});
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    void EntryAdded(const JobLog& log, int ant, const LogEntry& entry, bool) override {
        if (log.Job == job_ && entry.Type == LOG_FAIL) failures_.push_back(entry.Text);
        if (std::getenv("KV_TEST_LOG")) std::printf("[ant %d] %s\n", ant, entry.Text.c_str());
    }

    // Runs the job until it ends (or 60 s pass); its last result, -1 when it never ended.
    int Run(JobRecord& job) {
        job_ = &job;
        result_ = -1;
        log_.Delete(&job);  // a record may sit where an earlier one was
        log_.Create(&job, 1);
        failures_.clear();
        if (!StartJobThread(job, false)) return -1;
        SetTimer(main_, kGiveUpTimer, 60000);
        RunMessageLoop();
        KillTimer(main_, kGiveUpTimer);
        ReapJobThread(job);
        return result_;
    }

    fs::path Dir() const { return dir_; }
    HWND Main() const { return main_; }
    int PageCount(JobRecord& job) const { return log_.Find(&job) ? log_.Find(&job)->PageCount : 0; }
    bool Failed(const std::string& text) const {
        for (const auto& f : failures_) {
            if (f.find(text) != std::string::npos) return true;
        }
        return false;
    }
    std::vector<std::string> restarts_;
    int saves_ = 0;

private:
    fs::path dir_;
    LogWindow log_;
    HWND main_ = nullptr;
    JobRecord* job_ = nullptr;
    int result_ = -1;
    std::vector<std::string> failures_;
};

void SetUpJob(JobRecord& job, const std::string& url, const fs::path& localFile, int ants) {
    job.Target = url;
    job.LocalFile = localFile.string();
    job.FlagLocalFile = 1;
    job.AntNumber = ants;
    job.MaxError = 5;
    job.RetryDelay = 0;
    job.ConnectTimeout = 5;
    job.ReceiveTimeout = 5;
    job.UserAgent = "KvTest";
}

class JobThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::NginxInstalled()) GTEST_SKIP() << "nginx is not installed";
    }
    EngineHost host;
    BoxCatcher boxes;
};

TEST_F(JobThreadTest, FiveAntsFetchAFileExactlyWithAndWithoutRanges) {
    for (bool ranges : {true, false}) {
        SCOPED_TRACE(ranges ? "ranges" : "no ranges");
        test::NginxOptions options;
        options.ranges = ranges;
        test::Nginx server(options);
        ASSERT_TRUE(server.Up());
        server.WritePatternFile("f.bin", 3 * 1024 * 1024 + 517, ranges ? 3 : 4);
        JobRecord job;
        SetUpJob(job, server.Url("f.bin"), host.Dir() / "out" / "f.bin", 5);
        ASSERT_EQ(host.Run(job), JobResultComplete);
        EXPECT_EQ(ReadFile(host.Dir() / "out" / "f.bin"), ReadFile(server.Root() / "f.bin"));
        EXPECT_FALSE(fs::exists(host.Dir() / "out" / "f.bin.!!!"));
        EXPECT_EQ(job.DownloadedSize.load(), job.Size);
        EXPECT_EQ(host.PageCount(job), 5);
        // Without ranges one ant read the whole file in order.
        EXPECT_EQ(job.ResumeState, ranges ? ResumeServesRanges : ResumeNotPossible);
        if (!ranges) {
            EXPECT_EQ(job.StreamBytes.load(), job.Size);
        }
        EXPECT_EQ(job.ThreadId.load(), 0u);
        for (const auto& slot : job.AntSlots) EXPECT_EQ(slot.ThreadId.load(), 0u);
    }
}

TEST_F(JobThreadTest, ResetsInTheMiddleOfBlocksAreRetriedAndTheFileStaysExact) {
    // The first six connections break off after 70 000 bytes; later ones serve in full.
    std::string text;
    for (int i = 0; i < 6; ++i) text += "connection\nfile 400000\nreset-after 70000\n";
    text += "connection\nfile 400000\n";
    test::HttpCase c;
    std::string error;
    ASSERT_TRUE(test::ParseHttpCase(text.substr(std::string("connection\n").size()), c, error)) << error;
    test::HttpTestServer server(c);
    ASSERT_TRUE(server.Listening());
    JobRecord job;
    SetUpJob(job, "http://127.0.0.1:" + std::to_string(server.Port()) + "/f.bin",
             host.Dir() / "reset.bin", 5);
    job.MaxError = 20;
    ASSERT_EQ(host.Run(job), JobResultComplete);
    std::string got = ReadFile(host.Dir() / "reset.bin");
    ASSERT_EQ(got.size(), 400000u);
    for (int64_t i = 0; i < 400000; ++i) {
        if (got[static_cast<std::size_t>(i)] != test::PatternByte(i)) {
            FAIL() << "byte " << i << " differs";
        }
    }
    EXPECT_GT(job.ErrorCount.load(), 0);
    EXPECT_GE(server.ConnectionCount(), 7);
}

TEST_F(JobThreadTest, ServerConnectionLimitLowersTheAnts) {
    test::NginxOptions options;
    options.extraServer = " add_header Kestova \"MaxConnection=2\";\n";
    test::Nginx server(options);
    ASSERT_TRUE(server.Up());
    server.WritePatternFile("f.bin", 600000);
    JobRecord job;
    SetUpJob(job, server.Url("f.bin"), host.Dir() / "limited.bin", 5);
    ASSERT_EQ(host.Run(job), JobResultComplete);
    EXPECT_EQ(job.AntNumber, 2);
    EXPECT_EQ(job.AntSlotCount, 2);
    EXPECT_EQ(host.PageCount(job), 2);
    EXPECT_EQ(ReadFile(host.Dir() / "limited.bin"), ReadFile(server.Root() / "f.bin"));
}

TEST_F(JobThreadTest, ExistingFilePolicies) {
    test::Nginx server;
    ASSERT_TRUE(server.Up());
    server.WritePatternFile("a.zip", 10000);
    const std::string source = ReadFile(server.Root() / "a.zip");

    // Resume: the first 2500 bytes are there; the run takes them over and starts again
    // from block 2.
    {
        fs::create_directories(host.Dir() / "resume");
        WriteFile(host.Dir() / "resume" / "a.zip", source.substr(0, 2500));
        EngineOptions o;
        o.FileExistMode = FileExistResume;
        SetEngineOptions(o);
        JobRecord job;
        SetUpJob(job, server.Url("a.zip"), host.Dir() / "resume" / "a.zip", 3);
        host.restarts_.clear();
        ASSERT_EQ(host.Run(job), JobResultComplete);
        EXPECT_EQ(host.restarts_.size(), 1u);
        EXPECT_EQ(ReadFile(host.Dir() / "resume" / "a.zip"), source);
    }
    // Resume of a file already complete: done at once, without ants.
    {
        WriteFile(host.Dir() / "resume" / "b.zip", source);
        server.WritePatternFile("b.zip", 10000);
        JobRecord job;
        SetUpJob(job, server.Url("b.zip"), host.Dir() / "resume" / "b.zip", 3);
        ASSERT_EQ(host.Run(job), JobResultComplete);
        EXPECT_EQ(job.DownloadedSize.load(), 10000);
        EXPECT_EQ(host.PageCount(job), 1);  // no ant pages were added
    }
    // Auto rename: a.zip and a(1).zip exist, the download becomes a(2).zip.
    {
        fs::create_directories(host.Dir() / "rename");
        WriteFile(host.Dir() / "rename" / "a.zip", "old");
        WriteFile(host.Dir() / "rename" / "a(1).zip", "older");
        EngineOptions o;
        o.FileExistMode = FileExistAutoRename;
        SetEngineOptions(o);
        JobRecord job;
        SetUpJob(job, server.Url("a.zip"), host.Dir() / "rename" / "a.zip", 2);
        ASSERT_EQ(host.Run(job), JobResultComplete);
        EXPECT_EQ(job.LocalFile, (host.Dir() / "rename" / "a(2).zip").string());
        EXPECT_EQ(ReadFile(host.Dir() / "rename" / "a(2).zip"), source);
        EXPECT_EQ(ReadFile(host.Dir() / "rename" / "a.zip"), "old");
    }
    // Cancel, and a prompt that nobody can answer.
    {
        EngineOptions o;
        o.FileExistMode = FileExistCancel;
        SetEngineOptions(o);
        JobRecord job;
        SetUpJob(job, server.Url("a.zip"), host.Dir() / "rename" / "a.zip", 2);
        EXPECT_EQ(host.Run(job), JobResultCancelled);
        EXPECT_EQ(ReadFile(host.Dir() / "rename" / "a.zip"), "old");
        o.FileExistMode = FileExistPrompt;
        SetEngineOptions(o);
        JobRecord asked;
        SetUpJob(asked, server.Url("a.zip"), host.Dir() / "rename" / "a.zip", 2);
        EXPECT_EQ(host.Run(asked), JobResultError);
        ASSERT_FALSE(boxes.texts.empty());
        EXPECT_NE(boxes.texts.back().find("DialogBox(FileExist)"), std::string::npos);
    }
}

TEST_F(JobThreadTest, ChangedUnchangedAndDirectoryTargets) {
    test::Nginx server;
    ASSERT_TRUE(server.Up());
    server.WritePatternFile("f.bin", 6000);
    // Last-Modified of the served file: 2020-01-02 03:04:05 GMT.
    utimbuf times{1577934245, 1577934245};
    ASSERT_EQ(::utime((server.Root() / "f.bin").c_str(), &times), 0);

    // A job that knew another size: the remote file has changed.
    {
        JobRecord job;
        SetUpJob(job, server.Url("f.bin"), host.Dir() / "changed.bin", 2);
        job.Size = 5000;
        job.DownloadedSize = 1024;
        job.BlockCount = 5;
        job.BlockState.assign(5, BlockEmpty);
        job.BlockState[0] = BlockDone;
        WriteFile(host.Dir() / "changed.bin.!!!", std::string(5000, 'x'));
        EXPECT_EQ(host.Run(job), JobResultError);
        EXPECT_TRUE(host.Failed("Remote file has been changed"));
    }
    // An update check of an unchanged file.
    {
        JobRecord job;
        SetUpJob(job, server.Url("f.bin"), host.Dir() / "same.bin", 2);
        job.Size = 6000;
        job.DownloadedSize = 6000;
        job.BlockCount = 6;
        job.BlockState.assign(6, BlockDone);
        job.CheckUpdate = 1;
        job.FileDate = *ParseHttpDate("Thu, 02 Jan 2020 03:04:05 GMT");
        EXPECT_EQ(host.Run(job), JobResultUnchanged);
        EXPECT_EQ(job.BlockState, std::vector<uint8_t>(6, BlockDone));
    }
    // A directory target takes the URL's (decoded, cleaned) file name.
    {
        server.WritePatternFile("a b.bin", 3000);
        JobRecord job;
        SetUpJob(job, server.Url("a%20b.bin"), host.Dir() / "dir", 1);
        job.FlagLocalFile = 2;
        ASSERT_EQ(host.Run(job), JobResultComplete);
        EXPECT_EQ(job.LocalFile, (host.Dir() / "dir" / "a b.bin").string());
        EXPECT_EQ(job.FlagLocalFile, 0u);
        EXPECT_EQ(ReadFile(host.Dir() / "dir" / "a b.bin"), ReadFile(server.Root() / "a b.bin"));
    }
}

TEST_F(JobThreadTest, RedirectionsAndARedirectLoop) {
    test::NginxOptions options;
    options.extraServer =
        " location = /temp { return 302 /f.bin; }\n"
        " location = /perm { return 301 /f.bin; }\n"
        " location = /loop { return 302 /loop; }\n";
    test::Nginx server(options);
    ASSERT_TRUE(server.Up());
    server.WritePatternFile("f.bin", 5000);
    {
        JobRecord job;
        SetUpJob(job, server.Url("temp"), host.Dir() / "t.bin", 2);
        host.restarts_.clear();
        ASSERT_EQ(host.Run(job), JobResultComplete);
        ASSERT_EQ(host.restarts_.size(), 1u);
        EXPECT_EQ(host.restarts_[0], server.Url("f.bin"));  // carried in RedirectUrl
        EXPECT_EQ(job.Target, server.Url("temp"));           // the URL first entered
        EXPECT_EQ(ReadFile(host.Dir() / "t.bin"), ReadFile(server.Root() / "f.bin"));
    }
    {
        JobRecord job;
        SetUpJob(job, server.Url("perm"), host.Dir() / "p.bin", 2);
        ASSERT_EQ(host.Run(job), JobResultComplete);
        EXPECT_EQ(job.Target, server.Url("f.bin"));  // a permanent move rewrites Target
    }
    {
        JobRecord job;
        SetUpJob(job, server.Url("loop"), host.Dir() / "l.bin", 2);
        host.restarts_.clear();
        EXPECT_EQ(host.Run(job), JobResultError);
        EXPECT_EQ(host.restarts_.size(), static_cast<std::size_t>(MAX_REDIRECTIONS));
        EXPECT_TRUE(host.Failed("Too many redirections"));
        EXPECT_TRUE(job.RedirectUrl.empty());
    }
}

TEST_F(JobThreadTest, AStopDuringTheProbeCancelsTheJob) {
    test::HttpCase c;
    std::string error;
    ASSERT_TRUE(test::ParseHttpCase("delay-ms 3000\nfile 5000\n", c, error)) << error;
    test::HttpTestServer server(c);
    JobRecord job;
    SetUpJob(job, "http://127.0.0.1:" + std::to_string(server.Port()) + "/f.bin",
             host.Dir() / "stopped.bin", 2);
    std::thread stopper([&job] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        PostThreadMessageRetry(job.ThreadId.load(), MSG_STOP_JOB, 0, 0);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(host.Run(job), JobResultCancelled);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(job.RedirectUrl.empty());
}

TEST_F(JobThreadTest, StoppingTheJobWhileAntsRunKeepsTheTemporaryFile) {
    test::NginxOptions options;
    options.limitRate = "200k";
    test::Nginx server(options);
    ASSERT_TRUE(server.Up());
    server.WritePatternFile("slow.bin", 1024 * 1024);
    JobRecord job;
    SetUpJob(job, server.Url("slow.bin"), host.Dir() / "slow.bin", 3);
    std::thread stopper([&job] {
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        PostThreadMessageRetry(job.ThreadId.load(), MSG_STOP_JOB, 0, 0);
    });
    host.saves_ = 0;
    EXPECT_EQ(host.Run(job), JobResultCancelled);
    stopper.join();
    EXPECT_GE(host.saves_, 1);  // AutoSave: flushed and saved after the first 100 blocks
    EXPECT_TRUE(fs::exists(host.Dir() / "slow.bin.!!!"));
    EXPECT_FALSE(fs::exists(host.Dir() / "slow.bin"));
    const int64_t done = job.DownloadedSize.load();
    EXPECT_GT(done, 0);
    EXPECT_LT(done, job.Size);
    // Every block is either done or free again; done blocks hold the right bytes.
    const std::string part = ReadFile(host.Dir() / "slow.bin.!!!");
    const std::string source = ReadFile(server.Root() / "slow.bin");
    int64_t counted = 0;
    for (int64_t b = 0; b < job.BlockCount; ++b) {
        ASSERT_NE(job.BlockState[static_cast<std::size_t>(b)], BlockBusy);
        if (job.BlockState[static_cast<std::size_t>(b)] == BlockDone) {
            counted += BLOCK_SIZE;
            ASSERT_EQ(part.substr(static_cast<std::size_t>(b) * BLOCK_SIZE, BLOCK_SIZE),
                      source.substr(static_cast<std::size_t>(b) * BLOCK_SIZE, BLOCK_SIZE));
        }
    }
    EXPECT_EQ(counted, done);

    // Started again, the job resumes from its map and completes exactly.
    ASSERT_EQ(host.Run(job), JobResultComplete);
    EXPECT_EQ(ReadFile(host.Dir() / "slow.bin"), source);
}

TEST_F(JobThreadTest, StoppingTheOnlyAntCancelsTheJob) {
    test::NginxOptions options;
    options.limitRate = "100k";
    test::Nginx server(options);
    ASSERT_TRUE(server.Up());
    server.WritePatternFile("one.bin", 1024 * 1024);
    JobRecord job;
    SetUpJob(job, server.Url("one.bin"), host.Dir() / "one.bin", 1);
    std::thread stopper([&job] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        PostThreadMessageRetry(job.ThreadId.load(), MSG_STOP, 0, 0);  // ant 0
    });
    EXPECT_EQ(host.Run(job), JobResultCancelled);
    stopper.join();
    EXPECT_LT(job.DownloadedSize.load(), job.Size);
}

}  // namespace
}  // namespace kv
