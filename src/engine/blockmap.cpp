#include "engine/blockmap.h"

#include "net/socket.h"
#include "platform/boxes.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <stdexcept>

namespace kv {
namespace {

// A run of empty blocks ahead of a running ant is split only from this length on, so
// that both halves keep at least 6 blocks.
constexpr int64_t kMinSplitRun = 12;

bool InMap(const JobRecord& job, int64_t block) {
    return block >= 0 && block < job.BlockCount &&
           block < static_cast<int64_t>(job.BlockState.size());
}

// States are read by the display without the job's lock; single-byte atomic access keeps
// those reads defined while an ant changes a state under the lock.
uint8_t Load(const JobRecord& job, int64_t block) {
    auto& cell = const_cast<uint8_t&>(job.BlockState[static_cast<std::size_t>(block)]);
    return std::atomic_ref<uint8_t>(cell).load(std::memory_order_relaxed);
}

void Store(JobRecord& job, int64_t block, uint8_t state) {
    std::atomic_ref<uint8_t>(job.BlockState[static_cast<std::size_t>(block)])
        .store(state, std::memory_order_relaxed);
}

void Notify(const BlockNotifier& notify, JobRecord& job, int64_t block) {
    if (notify) notify(job, block);
}

bool ValidAnt(int ant) { return ant >= 0 && ant < MAX_ANTS; }

}  // namespace

bool LayOutBlockMap(JobRecord& job) {
    job.BlockState.clear();
    job.BlockCount = 0;
    if (job.Size < 0) return false;
    const int64_t count = job.Size / BLOCK_SIZE + (job.Size % BLOCK_SIZE != 0 ? 1 : 0);
    try {
        std::vector<uint8_t> map(static_cast<std::size_t>(count), BlockEmpty);
        job.BlockState.swap(map);
    } catch (const std::bad_alloc&) {
        FailureBox("Malloc", ENOMEM);
        return false;
    } catch (const std::length_error&) {
        FailureBox("Malloc", ENOMEM);
        return false;
    }
    job.BlockCount = count;
    return true;
}

void DiscardBlockMap(JobRecord& job) {
    std::vector<uint8_t>().swap(job.BlockState);
    job.BlockCount = 0;
    job.Size = 0;
    job.DownloadedSize = 0;
}

int64_t BlockLength(const JobRecord& job, int64_t block) {
    if (block < 0 || block >= job.BlockCount) return 0;
    if (block < job.BlockCount - 1) return BLOCK_SIZE;
    const int64_t rest = job.Size % BLOCK_SIZE;
    return rest == 0 ? BLOCK_SIZE : rest;
}

uint8_t GetBlockState(const JobRecord& job, int64_t block) {
    return InMap(job, block) ? Load(job, block) : BlockEmpty;
}

void SetBlock(JobRecord& job, int64_t block, uint8_t state, const BlockNotifier& notify) {
    if (!InMap(job, block) || Load(job, block) == state) return;
    Store(job, block, state);
    Notify(notify, job, block);
}

int64_t LowestEmptyBlock(const JobRecord& job) {
    for (int64_t i = 0; InMap(job, i); ++i) {
        if (Load(job, i) == BlockEmpty) return i;
    }
    return -1;
}

void CloseAntConnections(JobRecord& job, AntSlot& slot) {
    HardClose(slot.Socket);
    if (job.Transport == TransportFtp) HardClose(slot.DataSocket);
    slot.Connected = 0;
}

BlockTake DistributeFirstBlock(JobRecord& job, int ant, const BlockNotifier& notify) {
    BlockTake take;
    if (!ValidAnt(ant)) return take;
    AntSlot& slot = job.AntSlots[static_cast<std::size_t>(ant)];
    slot.Block = -1;
    int64_t first = -1;
    if (ant == 0) {
        slot.Socket = job.ProbeSocket;
        job.ProbeSocket = -1;
        if (job.Transport == TransportFtp) {
            slot.DataSocket = job.ProbeDataSocket;
            job.ProbeDataSocket = -1;
        }
        // Without a socket from the probe there is nothing to read on from.
        slot.Connected = slot.Socket != -1 ? 1 : 0;
        first = job.ResumeState == ResumeNotPossible ? 0 : LowestEmptyBlock(job);
    } else {
        slot.Connected = 0;
        const int64_t i = ant;
        if (job.DownloadedSize == 0 && 10 * i < job.BlockCount && job.AntNumber > 0) {
            first = std::max(job.BlockCount / job.AntNumber * i, 10 * i);
        }
    }
    // Every busy block has exactly one owner: a busy block is never given a second time.
    if (!InMap(job, first) || Load(job, first) == BlockBusy) return take;
    take.Block = first;
    take.NeedsData = TakeBlock(job, ant, first, notify);
    return take;
}

int64_t ChooseNextBlock(JobRecord& job, int ant) {
    if (!ValidAnt(ant)) return -1;
    AntSlot& slot = job.AntSlots[static_cast<std::size_t>(ant)];
    const int64_t count = std::min<int64_t>(job.BlockCount,
                                            static_cast<int64_t>(job.BlockState.size()));
    const int64_t k = slot.Block;

    // Rules 1 and 2: the open connection reads on.
    if (k >= 0 && k < count - 1 &&
        (job.ResumeState == ResumeNotPossible || Load(job, k + 1) == BlockEmpty)) {
        slot.Connected = 1;
        return k + 1;
    }

    // Rule 3: the lowest gap right after a done block.
    for (int64_t i = 0; i + 1 < count; ++i) {
        if (Load(job, i) == BlockDone && Load(job, i + 1) == BlockEmpty) {
            CloseAntConnections(job, slot);
            return i + 1;
        }
    }

    // Rule 4: take over the second half of the longest stretch ahead of another ant.
    int64_t bestStart = -1;
    int64_t bestRun = 0;
    for (int other = 0; other < MAX_ANTS; ++other) {
        if (other == ant) continue;
        const AntSlot& o = job.AntSlots[static_cast<std::size_t>(other)];
        const int64_t b = o.Block;
        if (o.ThreadId == 0 || b < 0 || b >= count) continue;
        int64_t run = 0;
        while (b + 1 + run < count && Load(job, b + 1 + run) == BlockEmpty) ++run;
        if (run > bestRun) {
            bestRun = run;
            bestStart = b + 1;
        }
    }
    CloseAntConnections(job, slot);
    if (bestRun >= kMinSplitRun) return bestStart + bestRun / 2;

    // Rule 5: no block left.
    return -1;
}

bool TakeBlock(JobRecord& job, int ant, int64_t block, const BlockNotifier& notify) {
    if (!ValidAnt(ant) || !InMap(job, block)) return false;
    const bool needsData = Load(job, block) != BlockDone;
    job.AntSlots[static_cast<std::size_t>(ant)].Block = block;
    SetBlock(job, block, BlockBusy, notify);
    return needsData;
}

BlockTake TakeNextBlock(JobRecord& job, int ant, const BlockNotifier& notify) {
    BlockTake take;
    if (!ValidAnt(ant)) return take;
    const int64_t block = ChooseNextBlock(job, ant);
    if (block < 0) {
        job.AntSlots[static_cast<std::size_t>(ant)].Block = -1;
        return take;
    }
    take.Block = block;
    take.NeedsData = TakeBlock(job, ant, block, notify);
    return take;
}

void FinishBlock(JobRecord& job, int ant, bool written, const BlockNotifier& notify) {
    if (!ValidAnt(ant)) return;
    const int64_t block = job.AntSlots[static_cast<std::size_t>(ant)].Block;
    if (!InMap(job, block)) return;
    const int64_t length = BlockLength(job, block);
    if (written && Load(job, block) != BlockDone) job.DownloadedSize += length;
    if (ant == 0) job.StreamBytes += length;
    SetBlock(job, block, BlockDone, notify);
}

void GiveBackBlock(JobRecord& job, int ant, bool needsData, const BlockNotifier& notify) {
    if (!ValidAnt(ant)) return;
    AntSlot& slot = job.AntSlots[static_cast<std::size_t>(ant)];
    const int64_t block = slot.Block;
    slot.Block = -1;
    if (InMap(job, block) && Load(job, block) == BlockBusy) {
        SetBlock(job, block, needsData ? BlockEmpty : BlockDone, notify);
    }
}

}  // namespace kv
