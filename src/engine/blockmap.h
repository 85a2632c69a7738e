#pragma once
// The block map of a job: the remote file in BLOCK_SIZE blocks, one state byte each
// (BlockEmpty, BlockBusy, BlockDone), and the operations that the job thread and its ants
// share on it.
//
// Locking: before any ant runs the job thread calls these without a lock. Once ants run,
// every caller that changes the map (everything below except the pure queries BlockLength,
// BlockOffset and GetBlockState) holds the job's JobMutex. Reading a single state with
// GetBlockState is safe without the lock (the display does so); the value may be stale.
//
// Notices: every change of a block's state calls `notify(job, block)` once, after the
// change, so that the caller can post MSG_BLOCK_CHANGED to the block window. An empty
// notifier is allowed (no notice). The notifier runs while the caller still holds JobMutex:
// it must only post, never wait for this job.
#include "engine/jobrecord.h"

#include <cstdint>
#include <functional>

namespace kv {

using BlockNotifier = std::function<void(JobRecord& job, int64_t block)>;

// A block handed to an ant, and whether its data still has to be written (false when the
// block was already done and the ant only reads through it). Block -1 = none.
struct BlockTake {
    int64_t Block = -1;
    bool NeedsData = false;
};

// Lays out the map for the job's `Size`: BlockCount = ceil(Size / BLOCK_SIZE), every block
// BlockEmpty. Size 0 gives an empty map. A failed allocation shows the failure box "Malloc"
// and returns false (the probe fails); so does a negative Size, without a box.
bool LayOutBlockMap(JobRecord& job);

// Forgets the map and the progress: Size, DownloadedSize and BlockCount become 0 (a
// finished job downloaded again, or a remote file found changed).
void DiscardBlockMap(JobRecord& job);

// Length of block `block`: BLOCK_SIZE, except the last block, which holds the rest of the
// file. 0 for a block outside the map.
int64_t BlockLength(const JobRecord& job, int64_t block);

// Offset of block `block` in the file.
constexpr int64_t BlockOffset(int64_t block) { return block * BLOCK_SIZE; }

// State of one block (BlockEmpty for a block outside the map), and setting it. SetBlock
// notifies when the state changed.
uint8_t GetBlockState(const JobRecord& job, int64_t block);
void SetBlock(JobRecord& job, int64_t block, uint8_t state, const BlockNotifier& notify);

// Lowest-numbered BlockEmpty block; -1 when none.
int64_t LowestEmptyBlock(const JobRecord& job);

// Closes the ant's connection(s) with a hard close: `Socket`, and `DataSocket` too for an
// FTP job; both end at -1. Clears `Connected`.
void CloseAntConnections(JobRecord& job, AntSlot& slot);

// First block of ant `ant` when the job thread starts its ants. The job thread calls it
// once per ant, for ants 0 .. AntNumber-1 in order, after the map is laid out and before
// any ant thread is resumed (no lock needed then).
//  - Ant 0 takes over the probe's connection (ProbeSocket, and ProbeDataSocket for FTP;
//    both end at -1), is Connected when it got a socket, and starts at block 0 when the
//    server can't resume, else at the lowest BlockEmpty block.
//  - Ant i > 0 is not Connected. On a job starting from nothing (DownloadedSize 0) whose
//    file has more than 10*i blocks it starts at max(floor(BlockCount/AntNumber)*i, 10*i);
//    otherwise it gets no block and chooses its own with TakeNextBlock when it starts.
// A given block is marked BlockBusy and set as the slot's Block; the notifier is told.
// A block that is already busy is never given (the ant then chooses its own).
BlockTake DistributeFirstBlock(JobRecord& job, int ant, const BlockNotifier& notify);

// The rule by which an ant finds its next block, from its current `Block`:
//  1. the server can't resume: the single connection reads on to Block+1, whatever its
//     state (Connected = 1);
//  2. Block+1 is empty: the same connection goes on (Connected = 1);
//  3. the lowest empty block right after a done block (a gap);
//  4. the second half of the longest run of empty blocks ahead of another running ant
//     (first such ant in slot order on a tie), when that run is at least 12 blocks long:
//     a run of L blocks is split at floor(L/2) blocks into it;
//  5. none: -1.
// Rules 3 to 5 close the ant's connection(s) and clear Connected. Block 0 never comes from
// rules 3 and 4. Does not mark the block; TakeNextBlock does both. Caller holds JobMutex.
int64_t ChooseNextBlock(JobRecord& job, int ant);

// Marks `block` BlockBusy as the ant's Block and notifies. Returns whether its data still
// has to be written (it was not BlockDone). Caller holds JobMutex once ants run.
bool TakeBlock(JobRecord& job, int ant, int64_t block, const BlockNotifier& notify);

// ChooseNextBlock, then TakeBlock for the chosen block. When no block is left the slot's
// Block becomes -1. Caller holds JobMutex.
BlockTake TakeNextBlock(JobRecord& job, int ant, const BlockNotifier& notify);

// The ant has received its Block: when `written` (its data was needed and has been written
// at its place) DownloadedSize grows by the block's length, unless the block is already
// BlockDone (never counted twice). The block becomes BlockDone. Ant 0 also adds the length
// to StreamBytes, written or not. Caller holds JobMutex.
void FinishBlock(JobRecord& job, int ant, bool written, const BlockNotifier& notify);

// Gives the ant's block back when the ant ends: a block still BlockBusy becomes BlockEmpty
// when its data was still needed (`needsData`), else BlockDone (it was only being read
// through). The slot's Block becomes -1. Caller holds JobMutex.
void GiveBackBlock(JobRecord& job, int ant, bool needsData, const BlockNotifier& notify);

}  // namespace kv
