#include "engine/blockmap.h"
#include "engine/jobrecord.h"
#include "platform/boxes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kv {
namespace {

constexpr int64_t kGiB = int64_t{1} << 30;

// Builds a map from a picture: '.' empty, 'B' busy, 'D' done; one character per block.
void Picture(JobRecord& job, const std::string& picture, int64_t size = -1) {
    job.Size = size >= 0 ? size : static_cast<int64_t>(picture.size()) * BLOCK_SIZE;
    ASSERT_TRUE(LayOutBlockMap(job));
    ASSERT_EQ(job.BlockCount, static_cast<int64_t>(picture.size()));
    for (std::size_t i = 0; i < picture.size(); ++i) {
        job.BlockState[i] = picture[i] == 'D' ? BlockDone
                            : picture[i] == 'B' ? BlockBusy
                                                : BlockEmpty;
    }
}

std::string Repeat(char c, int n) { return std::string(static_cast<std::size_t>(n), c); }

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

int NewSocket() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_GE(fd, 0);
    return fd;
}

struct Notices {
    std::vector<int64_t> blocks;
    BlockNotifier Fn() {
        return [this](JobRecord&, int64_t block) { blocks.push_back(block); };
    }
};

// ---------------------------------------------------------------------------------------
// Layout and block lengths

TEST(BlockMap, LayoutGivesCeilBlocksAndTheLastBlockHoldsTheRest) {
    struct Case {
        int64_t size;
        int64_t blockCount;
        int64_t lastLength;
    } cases[] = {
        {0, 0, 0},
        {1, 1, 1},
        {1023, 1, 1023},
        {1024, 1, 1024},
        {1025, 2, 1},
        {2048, 2, 1024},
        {5 * kGiB, 5 * 1024 * 1024, 1024},
        {5 * kGiB + 1, 5 * 1024 * 1024 + 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        JobRecord job;
        job.Size = c.size;
        ASSERT_TRUE(LayOutBlockMap(job));
        EXPECT_EQ(job.BlockCount, c.blockCount);
        ASSERT_EQ(static_cast<int64_t>(job.BlockState.size()), c.blockCount);
        EXPECT_EQ(LowestEmptyBlock(job), c.blockCount > 0 ? 0 : -1);
        EXPECT_EQ(std::count(job.BlockState.begin(), job.BlockState.end(), BlockEmpty),
                  c.blockCount);
        int64_t total = 0;
        if (c.blockCount > 0) {
            EXPECT_EQ(BlockLength(job, c.blockCount - 1), c.lastLength);
            if (c.blockCount > 1) {
                EXPECT_EQ(BlockLength(job, c.blockCount - 2), BLOCK_SIZE);
            }
            total = BlockOffset(c.blockCount - 1) + BlockLength(job, c.blockCount - 1);
        }
        EXPECT_EQ(total, c.size);  // the blocks cover the file exactly
        EXPECT_EQ(BlockLength(job, c.blockCount), 0);
        EXPECT_EQ(BlockLength(job, -1), 0);
    }
}

TEST(BlockMap, LayoutFailureShowsMallocBoxAndFailsWithoutAMap) {
    std::vector<std::string> boxes;
    BoxHandler old = SetBoxHandler([&](const std::string& text, bool isFailure) {
        if (isFailure) boxes.push_back(text);
    });
    JobRecord job;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers abort the program when a throwing allocation fails, so an
    // impossible map is only tried in the build without it.
#else
    job.Size = std::numeric_limits<int64_t>::max();  // ~8 PiB of block states
    EXPECT_FALSE(LayOutBlockMap(job));
    EXPECT_EQ(job.BlockCount, 0);
    EXPECT_TRUE(job.BlockState.empty());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].rfind("Malloc", 0), 0u) << boxes[0];
    boxes.clear();
#endif
    job.Size = -5;
    EXPECT_FALSE(LayOutBlockMap(job));
    EXPECT_EQ(job.BlockCount, 0);
    EXPECT_TRUE(boxes.empty());
    SetBoxHandler(old);
}

TEST(BlockMap, DiscardForgetsMapAndProgress) {
    JobRecord job;
    Picture(job, "DD..");
    job.DownloadedSize = 2048;
    DiscardBlockMap(job);
    EXPECT_EQ(job.Size, 0);
    EXPECT_EQ(job.DownloadedSize, 0);
    EXPECT_EQ(job.BlockCount, 0);
    EXPECT_TRUE(job.BlockState.empty());
    EXPECT_EQ(LowestEmptyBlock(job), -1);
    EXPECT_EQ(GetBlockState(job, 0), BlockEmpty);
}

// ---------------------------------------------------------------------------------------
// First blocks of the ants

TEST(BlockMap, DistributionOfFirstBlocks) {
    struct Case {
        const char* name;
        int64_t blocks;
        int antNumber;
        int64_t downloaded;  // > 0: resume
        int32_t resumeState;
        std::vector<int64_t> first;  // per ant, -1 = chooses itself
    } cases[] = {
        {"fresh 100", 100, 5, 0, ResumeServesRanges, {0, 20, 40, 60, 80}},
        {"fresh 30", 30, 5, 0, ResumeServesRanges, {0, 10, 20, -1, -1}},
        {"fresh 5", 5, 5, 0, ResumeServesRanges, {0, -1, -1, -1, -1}},
        {"fresh 40: ant 4 needs more than 40", 40, 5, 0, ResumeServesRanges,
         {0, 10, 20, 30, -1}},
        {"fresh 100, 3 ants", 100, 3, 0, ResumeServesRanges, {0, 33, 66}},
        {"fresh 5 GiB", 5 * 1024 * 1024, 5, 0, ResumeServesRanges,
         {0, 1048576, 2097152, 3145728, 4194304}},
        {"resume: ant 0 at lowest empty", 100, 5, 3 * BLOCK_SIZE, ResumeServesRanges,
         {3, -1, -1, -1, -1}},
        {"resume undetermined", 100, 5, 3 * BLOCK_SIZE, ResumeUndetermined,
         {3, -1, -1, -1, -1}},
        {"no resume: ant 0 reads from 0", 100, 1, 3 * BLOCK_SIZE, ResumeNotPossible, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JobRecord job;
        job.Size = c.blocks * BLOCK_SIZE;
        ASSERT_TRUE(LayOutBlockMap(job));
        job.AntNumber = c.antNumber;
        job.ResumeState = c.resumeState;
        job.DownloadedSize = c.downloaded;
        for (int64_t b = 0; b < c.downloaded / BLOCK_SIZE; ++b) job.BlockState[b] = BlockDone;
        job.ProbeSocket = 77;  // stands for the probe's open connection
        Notices notices;
        std::vector<int64_t> expectedNotices;
        for (int ant = 0; ant < c.antNumber; ++ant) {
            const AntSlot& slot = job.AntSlots[ant];
            const uint8_t before = GetBlockState(job, c.first[ant]);
            BlockTake take = DistributeFirstBlock(job, ant, notices.Fn());
            EXPECT_EQ(take.Block, c.first[ant]) << "ant " << ant;
            EXPECT_EQ(slot.Block, c.first[ant]) << "ant " << ant;
            EXPECT_EQ(slot.Connected, ant == 0 ? 1u : 0u) << "ant " << ant;
            if (take.Block >= 0) {
                EXPECT_EQ(GetBlockState(job, take.Block), BlockBusy);
                EXPECT_EQ(take.NeedsData, before != BlockDone);
                expectedNotices.push_back(take.Block);
            }
        }
        EXPECT_EQ(notices.blocks, expectedNotices);
        EXPECT_EQ(job.AntSlots[0].Socket, 77);
        EXPECT_EQ(job.ProbeSocket, -1);
        job.AntSlots[0].Socket = -1;
    }
}

TEST(BlockMap, DistributionHandsTheProbeConnectionsToAntZero) {
    struct Case {
        uint32_t transport;
        int probe;
        int probeData;
        int antSocket;
        int antData;
        int probeDataAfter;
        uint32_t connected;
    } cases[] = {
        {TransportFtp, 70, 71, 70, 71, -1, 1},
        {TransportHttp, 70, -1, 70, -1, -1, 1},
        // No connection left by the probe: ant 0 must open one itself.
        {TransportHttp, -1, -1, -1, -1, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.transport);
        JobRecord job;
        Picture(job, "....");
        job.AntNumber = 1;
        job.Transport = c.transport;
        job.ProbeSocket = c.probe;
        job.ProbeDataSocket = c.probeData;
        BlockTake take = DistributeFirstBlock(job, 0, {});
        EXPECT_EQ(take.Block, 0);
        EXPECT_TRUE(take.NeedsData);
        EXPECT_EQ(job.AntSlots[0].Socket, c.antSocket);
        EXPECT_EQ(job.AntSlots[0].DataSocket, c.antData);
        EXPECT_EQ(job.ProbeSocket, -1);
        EXPECT_EQ(job.ProbeDataSocket, c.probeDataAfter);
        EXPECT_EQ(job.AntSlots[0].Connected, c.connected);
    }
}

TEST(BlockMap, DistributionNeverGivesABusyBlockOrABlockOutsideTheMap) {
    JobRecord job;
    Picture(job, "B" + Repeat('.', 49));  // block 0 still held (e.g. by the probe)
    job.AntNumber = 5;
    EXPECT_EQ(DistributeFirstBlock(job, 0, {}).Block, 1);  // lowest empty
    EXPECT_EQ(DistributeFirstBlock(job, 1, {}).Block, 10);
    EXPECT_EQ(DistributeFirstBlock(job, 7, {}).Block, -1);
    job.BlockState[20] = BlockBusy;  // where ant 2 would start
    EXPECT_EQ(DistributeFirstBlock(job, 2, {}).Block, -1);
    EXPECT_EQ(job.AntSlots[2].Block, -1);
    EXPECT_EQ(DistributeFirstBlock(job, 3, {}).Block, 30);

    JobRecord empty;  // size not known: no map
    empty.AntNumber = 1;
    empty.ResumeState = ResumeNotPossible;
    EXPECT_EQ(DistributeFirstBlock(empty, 0, {}).Block, -1);
    EXPECT_EQ(empty.AntSlots[0].Block, -1);
}

// ---------------------------------------------------------------------------------------
// The block-choice rule

struct Other {
    int ant;
    int64_t block;
    bool running = true;
};

struct ChoiceCase {
    const char* name;
    std::string picture;
    int ant;         // the ant choosing
    int64_t block;   // its current Block
    std::vector<Other> others;
    int32_t resumeState;
    int64_t expected;
    bool keepsConnection;  // rules 1 and 2
};

void RunChoice(const ChoiceCase& c, uint32_t transport) {
    SCOPED_TRACE(c.name);
    JobRecord job;
    Picture(job, c.picture);
    job.ResumeState = c.resumeState;
    job.Transport = transport;
    for (const Other& o : c.others) {
        job.AntSlots[o.ant].Block = o.block;
        job.AntSlots[o.ant].ThreadId = o.running ? 100 + o.ant : 0;
    }
    AntSlot& slot = job.AntSlots[c.ant];
    slot.ThreadId = 100 + c.ant;
    slot.Block = c.block;
    slot.Connected = 1;
    slot.Socket = NewSocket();
    slot.DataSocket = NewSocket();
    const int socketFd = slot.Socket;
    const int dataFd = slot.DataSocket;
    const std::vector<uint8_t> mapBefore = job.BlockState;

    EXPECT_EQ(ChooseNextBlock(job, c.ant), c.expected);
    EXPECT_EQ(job.BlockState, mapBefore);  // choosing marks nothing
    if (c.keepsConnection) {
        EXPECT_EQ(slot.Connected, 1u);
        EXPECT_EQ(slot.Socket, socketFd);
        EXPECT_TRUE(IsOpen(socketFd));
    } else {
        EXPECT_EQ(slot.Connected, 0u);
        EXPECT_EQ(slot.Socket, -1);
        EXPECT_FALSE(IsOpen(socketFd));
    }
    const bool dataClosed = !c.keepsConnection && transport == TransportFtp;
    EXPECT_EQ(slot.DataSocket, dataClosed ? -1 : dataFd);
    EXPECT_EQ(IsOpen(dataFd), !dataClosed);
    if (slot.Socket >= 0) close(slot.Socket);
    if (slot.DataSocket >= 0) close(slot.DataSocket);
}

TEST(BlockMap, ChoiceRule) {
    const std::string r11 = Repeat('.', 11);
    const std::string r12 = Repeat('.', 12);
    const ChoiceCase cases[] = {
        {"rule 2: the next block is free, the connection goes on", "DD...", 0, 1, {},
         ResumeServesRanges, 2, true},
        {"rule 2 also for a block of a finished stretch", "DDDD.", 2, 3, {},
         ResumeServesRanges, 4, true},
        {"next block held by another ant, nothing worth splitting", "DDB..", 0, 1,
         {{1, 2}}, ResumeServesRanges, -1, false},
        {"an ant starting without a block takes the lowest gap", "DD...", 3, -1, {},
         ResumeServesRanges, 2, false},
        {"the lowest gap wins over splitting a long stretch",
         Repeat('D', 10) + "....." + "DDDDD" + "B" + Repeat('.', 39), 0, 19, {{1, 20}},
         ResumeServesRanges, 10, false},
        {"empty blocks ahead of a running ant are no gap", "B..BDD..D", 0, 8,
         {{1, 0}, {2, 3}}, ResumeServesRanges, 6, false},
        {"11 empty blocks ahead of a running ant are not split", "B" + r11 + "D", 0, 12,
         {{1, 0}}, ResumeServesRanges, -1, false},
        {"12 empty blocks are split 6 blocks into the run", "B" + r12 + "D", 0, 13,
         {{1, 0}}, ResumeServesRanges, 7, false},
        {"the longest run wins", "B" + r12 + "B" + Repeat('.', 13) + "D", 0, 27,
         {{1, 0}, {2, 13}}, ResumeServesRanges, 14 + 6, false},
        {"equal runs: the first ant in slot order", "B" + r12 + "B" + r12 + "D", 0, 26,
         {{2, 13}, {1, 0}}, ResumeServesRanges, 7, false},
        {"equal runs, chooser between them in slot order", "B" + r12 + "B" + r12 + "D", 2,
         26, {{4, 0}, {0, 13}}, ResumeServesRanges, 14 + 6, false},
        {"an ended ant's stretch is not split", "B" + Repeat('.', 20) + "D", 0, 21,
         {{1, 0, false}}, ResumeServesRanges, -1, false},
        {"block 0 is never chosen by the gap rule", ".DDDD", 1, 4, {}, ResumeServesRanges, -1,
         false},
        {"all done: no block left", "DDDD", 0, 3, {}, ResumeServesRanges, -1, false},
        {"no resume: reads on through a done block", "DDDDD", 0, 1, {}, ResumeNotPossible, 2,
         true},
        {"no resume: reads on through an empty block", "DD...", 0, 1, {}, ResumeNotPossible,
         2, true},
        {"no resume: after the last block nothing is left", "DDDDD", 0, 4, {},
         ResumeNotPossible, -1, false},
        {"the last block has no successor", "....D", 0, 4, {}, ResumeServesRanges, -1,
         false},
    };
    for (const ChoiceCase& c : cases) {
        RunChoice(c, TransportHttp);
        RunChoice(c, TransportFtp);
    }
}

TEST(BlockMap, ReadThroughDoneBlocksNeedsNoWriteAndIsNotCountedTwice) {
    JobRecord job;
    Picture(job, "DDD..", 4 * BLOCK_SIZE + 100);
    job.ResumeState = ResumeNotPossible;
    job.DownloadedSize = 3 * BLOCK_SIZE;
    job.AntNumber = 1;
    Notices notices;
    BlockTake take = DistributeFirstBlock(job, 0, notices.Fn());
    std::vector<std::pair<int64_t, bool>> seen;
    while (take.Block >= 0) {
        seen.emplace_back(take.Block, take.NeedsData);
        FinishBlock(job, 0, take.NeedsData, notices.Fn());
        take = TakeNextBlock(job, 0, notices.Fn());
    }
    const std::vector<std::pair<int64_t, bool>> expected = {
        {0, false}, {1, false}, {2, false}, {3, true}, {4, true}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(job.DownloadedSize, job.Size);
    EXPECT_EQ(job.StreamBytes, job.Size);  // ant 0 passes every block on
    EXPECT_EQ(job.AntSlots[0].Block, -1);
    EXPECT_EQ(std::string(job.BlockState.begin(), job.BlockState.end()),
              std::string(5, static_cast<char>(BlockDone)));
    // Busy then done for every block.
    EXPECT_EQ(notices.blocks, (std::vector<int64_t>{0, 0, 1, 1, 2, 2, 3, 3, 4, 4}));
}

// ---------------------------------------------------------------------------------------
// Finishing and giving back

TEST(BlockMap, FinishCountsWrittenBytesOnceAndStreamBytesForAntZero) {
    struct Case {
        int ant;
        int64_t block;
        bool written;
        uint8_t stateBefore;
        int64_t downloadedGrowth;
        int64_t streamGrowth;
    } cases[] = {
        {0, 0, true, BlockBusy, 1024, 1024},
        {0, 2, true, BlockBusy, 10, 10},  // last block, 10 bytes
        {0, 1, false, BlockBusy, 0, 1024},
        {3, 1, true, BlockBusy, 1024, 0},
        {3, 1, true, BlockDone, 0, 0},  // already counted as done
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "ant " << c.ant << " block " << c.block);
        JobRecord job;
        Picture(job, "...", 2 * BLOCK_SIZE + 10);
        job.BlockState[c.block] = c.stateBefore;
        job.AntSlots[c.ant].Block = c.block;
        job.DownloadedSize = 5;
        job.StreamBytes = 7;
        Notices notices;
        FinishBlock(job, c.ant, c.written, notices.Fn());
        EXPECT_EQ(job.DownloadedSize, 5 + c.downloadedGrowth);
        EXPECT_EQ(job.StreamBytes, 7 + c.streamGrowth);
        EXPECT_EQ(GetBlockState(job, c.block), BlockDone);
        EXPECT_EQ(notices.blocks.size(), c.stateBefore == BlockDone ? 0u : 1u);
    }
}

TEST(BlockMap, GiveBackReturnsABusyBlockByWhetherItsDataWasNeeded) {
    struct Case {
        uint8_t state;
        bool needsData;
        uint8_t after;
        bool notified;
    } cases[] = {
        {BlockBusy, true, BlockEmpty, true},
        {BlockBusy, false, BlockDone, true},
        {BlockDone, true, BlockDone, false},  // finished before the ant ended
        {BlockEmpty, false, BlockEmpty, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.state) << " " << c.needsData);
        JobRecord job;
        Picture(job, "....");
        job.BlockState[2] = c.state;
        job.AntSlots[1].Block = 2;
        Notices notices;
        GiveBackBlock(job, 1, c.needsData, notices.Fn());
        EXPECT_EQ(GetBlockState(job, 2), c.after);
        EXPECT_EQ(job.AntSlots[1].Block, -1);
        EXPECT_EQ(notices.blocks, c.notified ? std::vector<int64_t>{2} : std::vector<int64_t>{});
        // A second give-back finds nothing to return.
        GiveBackBlock(job, 1, c.needsData, notices.Fn());
        EXPECT_EQ(GetBlockState(job, 2), c.after);
    }
}

TEST(BlockMap, TakeMarksBusyAndNotifiesOnlyOnChange) {
    JobRecord job;
    Picture(job, "D...");
    Notices notices;
    EXPECT_FALSE(TakeBlock(job, 2, 0, notices.Fn()));  // done before: read through
    EXPECT_EQ(job.AntSlots[2].Block, 0);
    EXPECT_TRUE(TakeBlock(job, 2, 3, notices.Fn()));
    EXPECT_EQ(job.AntSlots[2].Block, 3);
    EXPECT_EQ(GetBlockState(job, 0), BlockBusy);
    EXPECT_EQ(GetBlockState(job, 3), BlockBusy);
    SetBlock(job, 3, BlockBusy, notices.Fn());  // no change, no notice
    SetBlock(job, 9, BlockDone, notices.Fn());  // outside the map: ignored
    EXPECT_EQ(notices.blocks, (std::vector<int64_t>{0, 3}));
    EXPECT_FALSE(TakeBlock(job, 2, 4, notices.Fn()));
    EXPECT_EQ(job.AntSlots[2].Block, 3);
}

// ---------------------------------------------------------------------------------------
// Whole downloads, ants interleaved at random: every block is fetched, every busy block
// has exactly one owner, and the downloaded size ends equal to the file size.

void Simulate(JobRecord& job, unsigned seed, std::vector<int>& writesPerBlock) {
    std::mt19937 rng(seed);
    struct Ant {
        BlockTake take;
        bool running = false;
    };
    std::vector<Ant> ants(static_cast<std::size_t>(job.AntNumber));
    for (int i = 0; i < job.AntNumber; ++i) {
        job.AntSlots[i].ThreadId = 100 + i;
        ants[i].running = true;
        ants[i].take = DistributeFirstBlock(job, i, {});
    }
    writesPerBlock.assign(static_cast<std::size_t>(job.BlockCount), 0);
    // Ants without a given block choose their own when they start.
    for (int i = 0; i < job.AntNumber; ++i) {
        if (ants[i].take.Block < 0) ants[i].take = TakeNextBlock(job, i, {});
    }
    for (int step = 0; step < 10'000'000; ++step) {
        std::vector<int> live;
        for (int i = 0; i < job.AntNumber; ++i) {
            if (ants[i].running && ants[i].take.Block < 0) {
                ants[i].running = false;  // "No block left, ant finish"
                job.AntSlots[i].ThreadId = 0;
            }
            if (ants[i].running) live.push_back(i);
        }
        if (live.empty()) break;
        const int i = live[rng() % live.size()];
        Ant& a = ants[i];
        if (a.take.NeedsData) ++writesPerBlock[a.take.Block];
        FinishBlock(job, i, a.take.NeedsData, {});
        a.take = TakeNextBlock(job, i, {});
        // Ownership: each busy block is some running ant's current block, and vice versa.
        std::map<int64_t, int> owners;
        for (int j = 0; j < job.AntNumber; ++j) {
            if (ants[j].running && ants[j].take.Block >= 0) ++owners[ants[j].take.Block];
        }
        for (int64_t b = 0; b < job.BlockCount; ++b) {
            const bool busy = job.BlockState[b] == BlockBusy;
            ASSERT_EQ(busy ? 1 : 0, owners.count(b) ? owners[b] : 0) << "block " << b;
        }
    }
}

TEST(BlockMap, InterleavedAntsFetchEveryBlockExactlyOnce) {
    struct Case {
        int64_t size;
        int ants;
        const char* donePicture;  // blocks done before the run (resume); "" = fresh
    } cases[] = {
        {100 * BLOCK_SIZE, 5, ""},
        {30 * BLOCK_SIZE + 17, 5, ""},
        {5 * BLOCK_SIZE, 5, ""},
        {1, 3, ""},
        {333 * BLOCK_SIZE + 1, 4, ""},
        {40 * BLOCK_SIZE, 5, "DDDDD....DDDDDDDDDD.................DDDD"},
    };
    for (const Case& c : cases) {
        for (unsigned seed = 1; seed <= 20; ++seed) {
            SCOPED_TRACE(testing::Message() << c.size << " seed " << seed);
            JobRecord job;
            job.Size = c.size;
            ASSERT_TRUE(LayOutBlockMap(job));
            job.AntNumber = c.ants;
            job.ResumeState = ResumeServesRanges;
            const std::string done = c.donePicture;
            std::vector<int> expectedWrites(static_cast<std::size_t>(job.BlockCount), 1);
            for (std::size_t b = 0; b < done.size(); ++b) {
                if (done[b] == 'D') {
                    job.BlockState[b] = BlockDone;
                    job.DownloadedSize += BlockLength(job, static_cast<int64_t>(b));
                    expectedWrites[b] = 0;
                }
            }
            std::vector<int> writes;
            Simulate(job, seed, writes);
            EXPECT_EQ(writes, expectedWrites);
            EXPECT_EQ(job.DownloadedSize, job.Size);
            EXPECT_EQ(std::count(job.BlockState.begin(), job.BlockState.end(), BlockDone),
                      job.BlockCount);
        }
    }
}

// Real threads under the job's mutex, with a display thread reading states and counters
// without it (as the windows do).
TEST(BlockMap, AntThreadsUnderTheJobMutexFinishTheFile) {
    JobRecord job;
    job.Size = 2000 * BLOCK_SIZE + 5;
    ASSERT_TRUE(LayOutBlockMap(job));
    job.AntNumber = MAX_ANTS;
    job.ResumeState = ResumeServesRanges;
    std::atomic<int> notices{0};
    BlockNotifier notify = [&](JobRecord&, int64_t) { ++notices; };
    std::vector<BlockTake> first;
    for (int i = 0; i < MAX_ANTS; ++i) {
        job.AntSlots[i].ThreadId = 100 + i;
        first.push_back(DistributeFirstBlock(job, i, notify));
    }
    std::atomic<bool> over{false};
    std::thread display([&] {
        while (!over) {
            int64_t done = 0;
            for (int64_t b = 0; b < job.BlockCount; ++b) done += GetBlockState(job, b) == BlockDone;
            EXPECT_LE(done, job.BlockCount);
            EXPECT_LE(job.DownloadedSize, job.Size);
            for (const AntSlot& slot : job.AntSlots) EXPECT_LT(slot.Block, job.BlockCount);
        }
    });
    std::vector<std::thread> ants;
    std::atomic<int64_t> written{0};
    for (int i = 0; i < MAX_ANTS; ++i) {
        ants.emplace_back([&, i] {
            BlockTake take = first[i];
            std::unique_lock lock(job.JobMutex);
            if (take.Block < 0) take = TakeNextBlock(job, i, notify);
            while (take.Block >= 0) {
                lock.unlock();
                if (take.NeedsData) written += BlockLength(job, take.Block);  // "receive"
                ++job.SampleBytes;
                lock.lock();
                FinishBlock(job, i, take.NeedsData, notify);
                take = TakeNextBlock(job, i, notify);
            }
            job.AntSlots[i].ThreadId = 0;
        });
    }
    for (std::thread& t : ants) t.join();
    over = true;
    display.join();
    EXPECT_EQ(written, job.Size);
    EXPECT_EQ(job.DownloadedSize, job.Size);
    EXPECT_EQ(std::count(job.BlockState.begin(), job.BlockState.end(), BlockDone),
              job.BlockCount);
    EXPECT_EQ(notices, 2 * job.BlockCount);  // each block: busy once, done once
}

// ---------------------------------------------------------------------------------------
// Record

TEST(JobRecord, ResetRunTimeFieldsAtStart) {
    for (bool continuesRedirection : {false, true}) {
        SCOPED_TRACE(continuesRedirection);
        JobRecord job;
        job.ResumeState = ResumeServesRanges;
        job.AddressResolved = 1;
        job.SampleBytes = 5;
        job.FlushCounter = 6;
        job.StreamBytes = 3 * kGiB;
        job.SampleSeconds = 8;
        job.AverageSpeed = 9;
        job.CurrentSpeed = 10;
        job.TimeLeft = 11;
        job.RunningAnts = 0;
        job.AntSlotCount = 2;
        job.State = JobStateQueue;
        job.StartTime = 12;
        job.StartTick = 13;
        job.ElapsedSeconds = 14;
        job.ErrorCount = 15;
        job.RedirectUrl = "http://example.org/moved";
        job.Size = 6 * kGiB;
        job.DownloadedSize = 5 * kGiB;

        const auto before = static_cast<uint32_t>(std::time(nullptr));
        const uint32_t tickBefore = TickCount();
        ResetRunTimeFields(job, continuesRedirection);
        const uint32_t tickAfter = TickCount();
        const auto after = static_cast<uint32_t>(std::time(nullptr));

        EXPECT_EQ(job.ResumeState, ResumeUndetermined);
        EXPECT_EQ(job.AddressResolved, 0u);
        EXPECT_EQ(job.SampleBytes, 0);
        EXPECT_EQ(job.FlushCounter, 0);
        EXPECT_EQ(job.StreamBytes, 0);
        EXPECT_EQ(job.SampleSeconds, 0);
        EXPECT_EQ(job.AverageSpeed, -1);
        EXPECT_EQ(job.CurrentSpeed, -1);
        EXPECT_EQ(job.TimeLeft, -1);
        EXPECT_EQ(job.RunningAnts, 1);
        EXPECT_EQ(job.AntSlotCount, MAX_ANTS);
        EXPECT_EQ(job.State, JobStateRunning);
        // Progress is not a run-time field.
        EXPECT_EQ(job.Size, 6 * kGiB);
        EXPECT_EQ(job.DownloadedSize, 5 * kGiB);
        if (continuesRedirection) {
            EXPECT_EQ(job.StartTime, 12u);
            EXPECT_EQ(job.StartTick, 13u);
            EXPECT_EQ(job.ElapsedSeconds, 14u);
            EXPECT_EQ(job.ErrorCount, 15);
            EXPECT_EQ(job.RedirectUrl, "http://example.org/moved");
        } else {
            EXPECT_GE(job.StartTime, before);
            EXPECT_LE(job.StartTime, after);
            // The tick count wraps: compare distances from the tick before.
            EXPECT_LE(static_cast<uint32_t>(job.StartTick - tickBefore),
                      static_cast<uint32_t>(tickAfter - tickBefore));
            EXPECT_EQ(job.ElapsedSeconds, 0u);
            EXPECT_EQ(job.ErrorCount, 0);
            EXPECT_TRUE(job.RedirectUrl.empty());
        }
    }
}

TEST(JobRecord, NewRecordHasNoHandlesAndNoMap) {
    JobRecord job;
    EXPECT_EQ(job.FileHandle, -1);
    EXPECT_EQ(job.ProbeSocket, -1);
    EXPECT_EQ(job.ProbeDataSocket, -1);
    EXPECT_EQ(job.ThreadId, 0u);
    EXPECT_EQ(job.Size, 0);
    EXPECT_EQ(job.BlockCount, 0);
    for (const AntSlot& slot : job.AntSlots) {
        EXPECT_EQ(slot.Socket, -1);
        EXPECT_EQ(slot.DataSocket, -1);
        EXPECT_EQ(slot.Block, -1);
        EXPECT_EQ(slot.ThreadId, 0u);
    }
    EXPECT_EQ(job.Next, nullptr);
}

TEST(JobRecord, LimitTextCutsWithoutSplittingCharacters) {
    struct Case {
        std::string text;
        std::size_t max;
        std::string expected;
    } cases[] = {
        {"abc", 5, "abc"},
        {"abcdef", 3, "abc"},
        {"", 0, ""},
        {"ab\xC3\xA9", 3, "ab"},              // 'é' would be cut in half
        {"ab\xC3\xA9", 4, "ab\xC3\xA9"},
        {"\xE2\x82\xAC\xE2\x82\xAC", 5, "\xE2\x82\xAC"},  // two euro signs
        {std::string(300, 'r'), MAX_REFERER_LENGTH, std::string(300, 'r')},
        {std::string(301, 'r'), MAX_REFERER_LENGTH, std::string(300, 'r')},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LimitText(c.text, c.max), c.expected) << c.text;
    }
}

}  // namespace
}  // namespace kv
