// The probe and the block request against a real nginx, with byte ranges on and off.
#include "engine/blockmap.h"
#include "engine/httpjob.h"
#include "net/socket.h"
#include "net/url.h"
#include "support/nginx.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kv {
namespace {

void SetUpJob(JobRecord& job, const test::Nginx& server) {
    job.Target = server.Url("f.bin");
    UrlParseOptions o;
    o.applyDefaultPort = true;
    job.UrlParts = std::make_shared<UrlParts>(*ParseUrl(job.Target, o));
    sockaddr_in a = server.Address();
    std::memcpy(&job.ServerAddress, &a, sizeof a);
    job.UserAgent = "KvTest";
    job.ConnectTimeout = job.ReceiveTimeout = 5;
    job.MaxError = 3;
    job.AntNumber = job.AntSlotCount = 5;
    job.ResumeState = ResumeUndetermined;
}

char PatternByte(const test::Nginx& server, int64_t offset) {
    std::ifstream f(server.Root() / "f.bin", std::ios::binary);
    f.seekg(offset);
    return static_cast<char>(f.get());
}

TEST(HttpNginx, ProbeAndBlockRequestWithAndWithoutRanges) {
    if (!test::NginxInstalled()) GTEST_SKIP() << "nginx is not installed";
    for (bool ranges : {true, false}) {
        SCOPED_TRACE(ranges ? "ranges on" : "ranges off");
        test::NginxOptions options;
        options.ranges = ranges;
        test::Nginx server(options);
        ASSERT_TRUE(server.Up());
        server.WritePatternFile("f.bin", 5000);

        // A fresh probe learns the size; nginx announces ranges only when it serves them.
        JobRecord job;
        SetUpJob(job, server);
        std::string redirect;
        ASSERT_EQ(HttpProbe(job, {}, redirect), 1);
        EXPECT_EQ(job.Size, 5000);
        EXPECT_EQ(job.BlockCount, 5);
        EXPECT_EQ(job.ResumeState, ranges ? ResumeServesRanges : ResumeUndetermined);
        char first = 0;
        EXPECT_EQ(ReceiveExactly(job.ProbeSocket, &first, 1, 0, 5, false), 1);
        EXPECT_EQ(first, PatternByte(server, 0));
        HardClose(job.ProbeSocket);

        // An ant asking for block 2.
        job.AntSlots[1].Block = 2;
        int result = HttpBlockRequest(job, 1, {});
        if (ranges) {
            ASSERT_EQ(result, 1);
            char c = 0;
            EXPECT_EQ(ReceiveExactly(job.AntSlots[1].Socket, &c, 1, 0, 5, false), 1);
            EXPECT_EQ(c, PatternByte(server, 2048));
            HardClose(job.AntSlots[1].Socket);
        } else {
            // The whole file came back: this server can't resume, the ant halts and the
            // job goes on with one ant reading in order.
            EXPECT_EQ(result, -1);
            EXPECT_EQ(job.ResumeState, ResumeNotPossible);
            EXPECT_EQ(job.AntSlots[1].Socket, -1);
        }

        // A resumed probe of the known size from block 4.
        JobRecord resumed;
        SetUpJob(resumed, server);
        resumed.Size = 5000;
        ASSERT_TRUE(LayOutBlockMap(resumed));
        SetBlock(resumed, 4, BlockBusy, {});
        ASSERT_EQ(HttpProbe(resumed, {}, redirect), 1);
        EXPECT_EQ(resumed.ResumeState, ranges ? ResumeServesRanges : ResumeNotPossible);
        EXPECT_EQ(resumed.AntNumber, ranges ? 5 : 1);
        char c = 0;
        EXPECT_EQ(ReceiveExactly(resumed.ProbeSocket, &c, 1, 0, 5, false), 1);
        EXPECT_EQ(c, PatternByte(server, ranges ? 4096 : 0));
        HardClose(resumed.ProbeSocket);

        // The server's copy changed size between runs.
        server.WritePatternFile("f.bin", 6000);
        JobRecord changed;
        SetUpJob(changed, server);
        changed.Size = 5000;
        ASSERT_TRUE(LayOutBlockMap(changed));
        SetBlock(changed, 1, BlockBusy, {});
        EXPECT_EQ(HttpProbe(changed, {}, redirect), -1);
        EXPECT_EQ(changed.ProbeSocket, -1);
    }
}

}  // namespace
}  // namespace kv
