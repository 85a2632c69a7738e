// kvget driven as a user drives it: a real process against nginx on loopback.
#include "servers/httpserver.h"
#include "support/nginx.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace kv {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

struct Outcome {
    int exitCode = -1;
    std::string output;  // standard output and standard error together
};

class Kvget : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::NginxInstalled()) GTEST_SKIP() << "nginx is not installed";
        dir_ = fs::temp_directory_path() / ("kv-kvget-" + std::to_string(::getpid()));
        fs::create_directories(dir_ / "home");
        fs::create_directories(dir_ / "out");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Starts kvget with `args`; `whileRunning` runs with its process id before the wait.
    Outcome Run(const std::vector<std::string>& args, void (*whileRunning)(pid_t) = nullptr) {
        int pipeFds[2];
        EXPECT_EQ(::pipe(pipeFds), 0);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(pipeFds[1], 1);
            ::dup2(pipeFds[1], 2);
            ::close(pipeFds[0]);
            int devnull = ::open("/dev/null", O_RDONLY);
            ::dup2(devnull, 0);
            ::setenv("KESTOVA_HOME", (dir_ / "home").c_str(), 1);
            ::setenv("KESTOVA_REGISTRY", (dir_ / "home" / "user.reg").c_str(), 1);
            if (::chdir((dir_ / "out").c_str()) != 0) ::_exit(126);
            std::vector<char*> argv{const_cast<char*>(KVGET_PROGRAM)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(KVGET_PROGRAM, argv.data());
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        if (whileRunning) whileRunning(pid);
        Outcome o;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) o.output.append(buffer, static_cast<std::size_t>(n));
        ::close(pipeFds[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return o;
    }

    fs::path dir_;
};

TEST_F(Kvget, DownloadsExactlyAndSaysNothingWhenNotOnATerminal) {
    test::Nginx server;
    ASSERT_TRUE(server.Up());
    server.WritePatternFile("one.bin", 2 * 1024 * 1024 + 3);
    server.WritePatternFile("two.bin", 5000, 2);
    Outcome o = Run({"-n", "5", server.Url("one.bin"), server.Url("two.bin")});
    EXPECT_EQ(o.exitCode, 0) << o.output;
    EXPECT_EQ(o.output, "");
    EXPECT_EQ(ReadFile(dir_ / "out" / "one.bin"), ReadFile(server.Root() / "one.bin"));
    EXPECT_EQ(ReadFile(dir_ / "out" / "two.bin"), ReadFile(server.Root() / "two.bin"));

    // -o names the file; an existing one is overwritten when asked to.
    o = Run({"-q", "--exist", "overwrite", "-o", "named.bin", server.Url("two.bin")});
    EXPECT_EQ(o.exitCode, 0) << o.output;
    o = Run({"-q", "--exist", "overwrite", "-o", "named.bin", server.Url("two.bin")});
    EXPECT_EQ(o.exitCode, 0) << o.output;
    EXPECT_EQ(ReadFile(dir_ / "out" / "named.bin"), ReadFile(server.Root() / "two.bin"));
    // -d saves into a directory it makes.
    o = Run({"-q", "-d", (dir_ / "out" / "sub" / "dir").string(), server.Url("two.bin")});
    EXPECT_EQ(o.exitCode, 0) << o.output;
    EXPECT_TRUE(fs::exists(dir_ / "out" / "sub" / "dir" / "two.bin"));
}

TEST_F(Kvget, FailuresAndBadUsage) {
    test::Nginx server;
    ASSERT_TRUE(server.Up());
    Outcome o = Run({"-q", server.Url("missing.bin")});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_NE(o.output.find("404"), std::string::npos) << o.output;  // the log's last failure

    // An existing file with nobody to ask: the job fails, the file is kept.
    std::ofstream(dir_ / "out" / "keep.bin") << "mine";
    server.WritePatternFile("keep.bin", 3000);
    o = Run({"-q", "--exist", "prompt", server.Url("keep.bin")});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(ReadFile(dir_ / "out" / "keep.bin"), "mine");

    struct Case {
        std::vector<std::string> args;
    };
    const Case bad[] = {
        {{}},
        {{"-n", "6", "http://h/f"}},
        {{"-n"}},
        {{"--limit", "0", "http://h/f"}},
        {{"--exist", "maybe", "http://h/f"}},
        {{"-o", "a", "-d", "b", "http://h/f"}},
        {{"-o", "a", "http://h/f", "http://h/g"}},
        {{"--frobnicate", "http://h/f"}},
    };
    for (const Case& c : bad) {
        o = Run(c.args);
        EXPECT_EQ(o.exitCode, 2) << o.output;
        EXPECT_NE(o.output.find("usage: kvget"), std::string::npos);
    }
}

TEST_F(Kvget, InterruptStopsCleanlyAndKeepsTheTemporaryFile) {
    test::NginxOptions options;
    options.limitRate = "150k";
    test::Nginx server(options);
    ASSERT_TRUE(server.Up());
    server.WritePatternFile("slow.bin", 1024 * 1024);
    Outcome o = Run({"-q", "-n", "2", server.Url("slow.bin")}, [](pid_t pid) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        ::kill(pid, SIGINT);
    });
    EXPECT_EQ(o.exitCode, 1) << o.output;
    EXPECT_NE(o.output.find("cancelled"), std::string::npos) << o.output;
    ASSERT_TRUE(fs::exists(dir_ / "out" / "slow.bin.!!!"));
    EXPECT_FALSE(fs::exists(dir_ / "out" / "slow.bin"));
}

TEST_F(Kvget, LimitHoldsTheRate) {
    test::Nginx server;
    ASSERT_TRUE(server.Up());
    server.WritePatternFile("f.bin", 300 * 1024);
    const auto start = std::chrono::steady_clock::now();
    Outcome o = Run({"-q", "--limit", "200000", server.Url("f.bin")});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(o.exitCode, 0) << o.output;
    EXPECT_EQ(ReadFile(dir_ / "out" / "f.bin"), ReadFile(server.Root() / "f.bin"));
    EXPECT_GT(seconds, 1.0);  // 300 KiB at 200 000 bytes/s can't arrive in one second
}

}  // namespace
}  // namespace kv
