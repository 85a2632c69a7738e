// Probe and block request against the scriptable server, one case file per behaviour
// (tests/fixtures/http/*.case; client.* lines give the job and the expected outcome).
#include "engine/httpjob.h"

#include "engine/blockmap.h"
#include "engine/joblog.h"
#include "engine/messages.h"
#include "net/proxyentry.h"
#include "net/socket.h"
#include "net/url.h"
#include "servers/httpserver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace kv {
namespace {

class HttpJob : public ::testing::TestWithParam<std::string> {};

TEST_P(HttpJob, RunsCase) {
    test::HttpCase c;
    std::string error;
    ASSERT_TRUE(test::LoadHttpCase(GetParam(), c, error)) << error;
    test::HttpTestServer server(c);
    ASSERT_TRUE(server.Listening());
    const std::string port = std::to_string(server.Port());
    auto fill = [&](std::string s) {
        for (std::size_t at; (at = s.find("%PORT%")) != std::string::npos;) s.replace(at, 6, port);
        return s;
    };
    LogWindow log;
    EngineWindows().logWindow.store(log.Handle());
    SetNetHooks(NetHooks{
        [](unsigned id, uint32_t type) { LogMessage(id, type); },
        [](unsigned id, uint32_t type, int64_t n) { LogMessageFormatted(id, type, {n}); },
        [](std::string_view text, uint32_t type) { LogText(text, type); },
        [] { return HWND{}; },
    });
    JobRecord job;
    ASSERT_TRUE(log.Create(&job, 1));
    SetLogContext(&job, 0);
    job.Target = fill(c.Client("url", "http://127.0.0.1:%PORT%/f.bin"));
    UrlParseOptions options;
    options.applyDefaultPort = true;
    auto parts = ParseUrl(job.Target, options);
    ASSERT_TRUE(parts);
    job.UrlParts = std::make_shared<UrlParts>(*parts);
    auto* a = reinterpret_cast<sockaddr_in*>(&job.ServerAddress);
    a->sin_family = AF_INET;
    a->sin_port = htons(server.Port());
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    job.UserAgent = "KvTest";
    job.ConnectTimeout = 2;
    job.ReceiveTimeout = 1;
    job.MaxError = std::stoi(c.Client("max-error", "3"));
    job.AntNumber = job.AntSlotCount = std::stoi(c.Client("ants", "5"));
    job.Size = std::stoll(c.Client("size", "0"));
    job.ResumeState = std::stoi(c.Client("resume", "0"));
    const int64_t busy = std::stoll(c.Client("busy-block", "-1"));
    if (job.Size > 0) {
        ASSERT_TRUE(LayOutBlockMap(job));
        if (busy >= 0) SetBlock(job, busy, BlockBusy, {});
    }
    if (!c.Client("proxy-kind").empty()) {
        job.ProxyEntry = std::make_shared<ProxyEntry>();
        job.ProxyEntry->Type = std::stoi(c.Client("proxy-kind"));
        job.ProxyEntry->Address = "127.0.0.1";
        job.ProxyEntry->Port = server.Port();
        job.ProxyEntry->NoCache = c.Client("no-cache", "0") == "1";
        job.ProxyEntry->Authorization = !c.Client("proxy-user").empty();
        job.ProxyEntry->User = c.Client("proxy-user");
        job.ProxyEntry->Password = c.Client("proxy-password");
    }
    job.Referer = c.Client("referer");
    job.Authorization = !c.Client("user").empty();
    job.User = c.Client("user");
    job.Password = c.Client("password");
    HttpOptions http;
    http.StopNoResume = c.Client("stop-no-resume", "0") == "1";
    const int tries = std::stoi(c.Client("tries", "1"));
    int result = 0;
    std::string redirect;
    for (int i = 0; i < tries; ++i) {
        if (c.Client("op", "probe") == "block") {
            job.AntSlots[0].Block = std::stoll(c.Client("block", "0"));
            result = HttpBlockRequest(job, 0, http);
        } else {
            result = HttpProbe(job, http, redirect);
        }
    }
    EXPECT_EQ(result, std::stoi(c.Client("result")));
    if (!c.Client("redirect").empty()) {
        EXPECT_EQ(redirect, fill(c.Client("redirect")));
    }
    if (!c.Client("expect-size").empty()) {
        EXPECT_EQ(job.Size, std::stoll(c.Client("expect-size")));
    }
    if (!c.Client("expect-resume").empty()) {
        EXPECT_EQ(job.ResumeState, std::stoi(c.Client("expect-resume")));
    }
    if (!c.Client("expect-ants").empty()) {
        EXPECT_EQ(job.AntNumber, std::stoi(c.Client("expect-ants")));
    }
    if (!c.Client("connections").empty()) {
        EXPECT_EQ(server.ConnectionCount(), std::stoi(c.Client("connections")));
    }
    if (result == 1) {
        int& s = c.Client("op", "probe") == "block" ? job.AntSlots[0].Socket : job.ProbeSocket;
        EXPECT_GE(s, 0);
        std::string first = c.Client("first-bytes");
        if (!first.empty()) {
            std::string got(first.size(), '\0');
            EXPECT_EQ(ReceiveExactly(s, got.data(), static_cast<int64_t>(got.size()), 0, 2, false), 1);
            EXPECT_EQ(got, first);
        }
        HardClose(s);
    }
    std::string all;
    for (const LogEntry& e : log.Find(&job)->Pages[0]) all += e.Text + "\n";
    for (const std::string& text : c.ClientAll("log")) EXPECT_NE(all.find(fill(text)), std::string::npos) << text << "\nin:\n" << all;
    for (const std::string& text : c.ClientAll("no-log")) EXPECT_EQ(all.find(text), std::string::npos) << text;
    for (const std::string& m : server.Mismatches()) ADD_FAILURE() << m;
    ClearLogContext();
    SetNetHooks({});
    EngineWindows().logWindow.store(nullptr);
}

std::vector<std::string> CaseFiles() {
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(KV_FIXTURES "/http")) {
        if (e.path().extension() == ".case") files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpJob, ::testing::ValuesIn(CaseFiles()),
                         [](const ::testing::TestParamInfo<std::string>& p) {
                             std::string n = std::filesystem::path(p.param).stem().string();
                             for (char& ch : n) if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

}  // namespace
}  // namespace kv
