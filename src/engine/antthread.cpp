#include "engine/antthread.h"

#include "engine/blockmap.h"
#include "engine/httpjob.h"
#include "engine/jobthread.h"
#include "engine/joblog.h"
#include "engine/messages.h"
#include "engine/rungate.h"
#include "net/socket.h"
#include "platform/boxes.h"
#include "platform/msg.h"
#include "platform/systime.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace kv {
namespace {

// Shortest time between two flushes of one job's file.
constexpr uint32_t kMinFlushIntervalMs = 1000;

const BlockNotifier kNotify = [](JobRecord& job, int64_t block) { PostBlockChanged(job, block); };

// Progress for the windows, sent at a bounded rate whatever the throughput: bytes to the
// main window and the row and info refreshes at most every 100 ms (and at the end).
class ProgressReporter {
public:
    explicit ProgressReporter(JobRecord& job) : job_(job), last_(TickCount()) {}

    void Bytes(int64_t n) {
        pendingBytes_ += n;
        MaybeFlush();
    }
    void Blocks() {
        blocksChanged_ = true;
        MaybeFlush();
    }
    void Flush() {
        if (pendingBytes_ > 0) {
            if (HWND main = EngineWindows().mainWindow.load()) {
                PostMessageRetry(main, MSG_BYTES_RECEIVED, static_cast<WPARAM>(pendingBytes_), 0);
            }
            pendingBytes_ = 0;
        }
        if (blocksChanged_) {
            RefreshJobRow(&job_, ROW_AFTER_BLOCK);
            NotifyJobInfoChanged(&job_, INFO_AFTER_BLOCK);
            blocksChanged_ = false;
        }
        last_ = TickCount();
    }

private:
    void MaybeFlush() {
        if (TickCount() - last_ >= 100) Flush();
    }

    JobRecord& job_;
    int64_t pendingBytes_ = 0;
    bool blocksChanged_ = false;
    uint32_t last_;
};

// Writes all `length` bytes at `offset`; false after the failure box "WriteFile".
bool WriteAt(int fd, const char* data, int64_t length, int64_t offset) {
    while (length > 0) {
        ssize_t n = ::pwrite(fd, data, static_cast<std::size_t>(length), offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            FailureBox("WriteFile", n == 0 ? ENOSPC : errno);
            return false;
        }
        data += n;
        length -= n;
        offset += n;
    }
    return true;
}

class Ant {
public:
    explicit Ant(const AntStart& start)
        : start_(start),
          job_(*start.Job),
          ant_(start.Ant),
          slot_(job_.AntSlots.at(static_cast<std::size_t>(start.Ant))),
          jobThread_(job_.ThreadId.load()),
          reporter_(job_),
          buffer_(static_cast<std::size_t>(kAntRunBlocks) * BLOCK_SIZE) {}

    int Run() {
        ScopedLogContext context(&job_, ant_);
        PostThreadMessageRetry(jobThread_, MSG_ANT_STARTED, static_cast<WPARAM>(ant_), 0);
        needsData_ = start_.NeedsData;
        int result = 0;
        if (slot_.Block.load() == -1) {
            std::unique_lock lock(job_.JobMutex);
            BlockTake take = TakeNextBlock(job_, ant_, kNotify);
            lock.unlock();
            if (take.Block < 0) {
                LogMessage(3026, LOG_NORMAL);  // "No block left, ant finish"
                End();
                return 0;
            }
            needsData_ = take.NeedsData;
        }
        if (slot_.Connected != 0) {
            LogMessage(3027, LOG_NORMAL);  // "Receiving data..."
            retryWait_ = true;
        }
        result = Loop();
        End();
        return result;
    }

private:
    enum class Step { Again, EndNormal, EndFailed };

    int Loop() {
        while (RunGate()) {
            Message m;
            if (PeekMessage(m, nullptr, 0, 0, PM_REMOVE)) {
                if (m.hwnd == nullptr && m.message == MSG_STOP) {
                    LogMessage(3025, LOG_NORMAL);  // "Cancelled by user"
                    return 0;
                }
                if (m.hwnd == nullptr && m.message == MSG_RESTART_ANT) {
                    LogMessage(3032, LOG_NORMAL);  // "Ant restart"
                }
                continue;
            }
            if (slot_.Connected == 0) {
                if (retryWait_) {
                    int waited = WaitForRetry(job_.RetryDelay);
                    if (waited == -2) continue;
                    if (waited < 0) return -1;
                } else {
                    retryWait_ = true;
                }
                int requested = start_.Ops.BlockRequest(job_, ant_);
                if (requested == 0 || requested == -2) continue;
                if (requested != 1) return -1;
                have_ = 0;
                LogMessage(3027, LOG_NORMAL);  // "Receiving data..."
            }
            switch (ReceiveAndStore()) {
                case Step::Again:
                    break;
                case Step::EndNormal:
                    return 0;
                case Step::EndFailed:
                    return -1;
            }
        }
        return 0;
    }

    // Receives what the connection has for the current block (and the blocks after it, up
    // to the buffer), then stores every complete block.
    Step ReceiveAndStore() {
        const int64_t block = slot_.Block.load();
        const int64_t length = BlockLength(job_, block);
        if (have_ < length) {
            const int64_t fileLeft = job_.Size - BlockOffset(block);
            const int64_t capacity = std::min<int64_t>(static_cast<int64_t>(buffer_.size()), fileLeft);
            int socket = job_.Transport == TransportFtp ? slot_.DataSocket : slot_.Socket;
            int64_t n = Receive(socket, buffer_.data() + have_, capacity - have_, 0,
                                job_.ReceiveTimeout, true, false);
            if (n > 0) {
                have_ += n;
                job_.SampleBytes.fetch_add(n);
                reporter_.Bytes(n);
            } else {
                CloseAntConnections(job_, slot_);
                have_ = 0;
                if (n == -2) return Step::Again;  // handled at the top of the loop
                int none = -1;
                return CountError(job_, none) == 0 ? Step::Again : Step::EndFailed;
            }
            if (have_ < length) return Step::Again;
        }
        return StoreBlocks();
    }

    // Under the job mutex: writes the complete blocks of the buffer that the block rule
    // lets this connection keep (the current block, and each next one while it is free, or
    // whatever its state when the server can't resume), marks them done one by one and
    // takes the next block. Nothing is marked before its data is written.
    Step StoreBlocks() {
        std::unique_lock lock(job_.JobMutex);
        const int64_t first = slot_.Block.load();
        pieces_.clear();
        int64_t pos = 0;
        for (int64_t b = first;; ++b) {
            const int64_t length = BlockLength(job_, b);
            if (have_ - pos < length) break;
            const bool needs = b == first ? needsData_ : GetBlockState(job_, b) != BlockDone;
            pieces_.push_back({b, length, needs});
            pos += length;
            if (b + 1 >= job_.BlockCount) break;
            if (job_.ResumeState != ResumeNotPossible && GetBlockState(job_, b + 1) != BlockEmpty) break;
        }
        // Write runs of consecutive blocks that need their data.
        int64_t runStart = 0, runLength = 0, offsetInBuffer = 0;
        auto flush = [&]() {
            bool ok = runLength == 0 ||
                      WriteAt(job_.FileHandle, buffer_.data() + runStart, runLength,
                              BlockOffset(first) + runStart);
            runLength = 0;
            return ok;
        };
        for (const auto& p : pieces_) {
            if (p.needsData) {
                if (runLength == 0) runStart = offsetInBuffer;
                runLength += p.length;
            } else if (!flush()) {
                return Step::EndFailed;
            }
            offsetInBuffer += p.length;
        }
        if (!flush()) return Step::EndFailed;

        bool saveDue = false;
        bool noBlock = false;
        const uint32_t now = TickCount();
        for (const auto& p : pieces_) {
            FinishBlock(job_, ant_, p.needsData, kNotify);
            // Every AutoSaveSize blocks the file is flushed and the job saved; at today's
            // rates that could be thousands of times a second, so a flush due less than
            // kMinFlushIntervalMs after the last one waits until that much time has passed
            // (the counter stays at its mark). The saved map never claims a block that
            // is not on disk either way.
            if (job_.FlushCounter < start_.Options.AutoSaveSize) ++job_.FlushCounter;
            if (job_.FlushCounter >= std::max(1, start_.Options.AutoSaveSize) &&
                now - job_.LastFlushTick >= kMinFlushIntervalMs) {
                job_.FlushCounter = 0;
                job_.LastFlushTick = now;
                saveDue = true;
            }
            BlockTake next = TakeNextBlock(job_, ant_, kNotify);
            if (next.Block < 0) {
                noBlock = true;
                break;
            }
            needsData_ = next.NeedsData;
            if (slot_.Connected == 0) {
                // A distant block: a new request follows at once. Moving on to new work
                // is not a retry, so it does not wait RetryDelay.
                retryWait_ = false;
                break;
            }
        }
        // Bytes beyond the stored blocks belong to the new block when the connection goes
        // on; otherwise they are of no use.
        if (!noBlock && slot_.Connected != 0 && slot_.Block.load() == first + static_cast<int64_t>(pieces_.size())) {
            std::memmove(buffer_.data(), buffer_.data() + pos, static_cast<std::size_t>(have_ - pos));
            have_ -= pos;
        } else {
            have_ = 0;
        }
        if (saveDue && start_.Options.AutoSave) {
            if (::fdatasync(job_.FileHandle) != 0) {
                FailureBox("FlushFileBuffers");
                return Step::EndFailed;
            }
            // The job is saved while this ant holds the mutex, so the saved map matches
            // the file.
            if (HWND main = EngineWindows().mainWindow.load()) {
                SendMessage(main, MSG_SAVE_JOB, 0, JobParam(&job_));
            }
        }
        lock.unlock();
        reporter_.Blocks();
        if (noBlock) {
            LogMessage(3026, LOG_NORMAL);  // "No block left, ant finish"
            return Step::EndNormal;
        }
        return Step::Again;
    }

    void End() {
        reporter_.Flush();
        if (slot_.Block.load() != -1) {
            std::lock_guard lock(job_.JobMutex);
            GiveBackBlock(job_, ant_, needsData_, kNotify);
        }
        CloseAntConnections(job_, slot_);
        slot_.ThreadId.store(0);  // the slot is free; the job thread joins this thread
        PostThreadMessageRetry(jobThread_, MSG_ANT_ENDED, static_cast<WPARAM>(ant_), 0);
    }

    struct Piece {
        int64_t block;
        int64_t length;
        bool needsData;
    };

    const AntStart& start_;
    JobRecord& job_;
    const int ant_;
    AntSlot& slot_;
    const ThreadId jobThread_;
    ProgressReporter reporter_;
    std::vector<char> buffer_;
    std::vector<Piece> pieces_;
    int64_t have_ = 0;  // bytes in the buffer from the start of the current block on
    bool needsData_ = false;
    bool retryWait_ = false;  // wait RetryDelay before the next connection attempt
};

}  // namespace

void AntGate::Release(bool abandon) {
    {
        std::lock_guard lock(Mutex);
        Go = true;
        Abandon = abandon;
    }
    Released.notify_all();
}

void AntGate::Wait(bool& abandon) {
    std::unique_lock lock(Mutex);
    Released.wait(lock, [this] { return Go; });
    abandon = Abandon;
}

void PostBlockChanged(JobRecord& job, int64_t block) {
    if (HWND window = EngineWindows().blockWindow.load()) {
        PostMessageRetry(window, MSG_BLOCK_CHANGED, static_cast<WPARAM>(block), JobParam(&job));
    }
}

ProtocolOps ProtocolOpsFor(const JobRecord& job, const EngineOptions& options) {
    ProtocolOps ops;
    if (job.Transport == TransportHttp) {
        HttpOptions http;
        http.StopNoResume = options.StopNoResume;
        http.UseCookie = options.UseCookie;
        http.CookieLookup = CurrentEngineHooks().CookieLookup;
        ops.Probe = [http](JobRecord& j, std::string& redirect) { return HttpProbe(j, http, redirect); };
        ops.BlockRequest = [http](JobRecord& j, int ant) { return HttpBlockRequest(j, ant, http); };
    } else {
        ops.Probe = [](JobRecord&, std::string&) {
            LogMessage(3035, LOG_FAIL);  // FTP is not available in this build
            return -1;
        };
        ops.BlockRequest = [](JobRecord&, int) {
            LogMessage(3035, LOG_FAIL);
            return -1;
        };
    }
    return ops;
}

bool StartAntThread(AntStart start, std::shared_ptr<AntGate> gate) {
    JobRecord& job = *start.Job;
    AntSlot& slot = job.AntSlots.at(static_cast<std::size_t>(start.Ant));
    if (slot.ThreadHandle.joinable()) slot.ThreadHandle.join();  // an ant that has ended
    ThreadId id = 0;
    try {
        slot.ThreadHandle = StartThread(id, [start = std::move(start), gate]() {
            bool abandon = false;
            gate->Wait(abandon);
            if (!abandon) RunAnt(start);
        });
    } catch (const std::system_error&) {
        return false;
    }
    slot.ThreadId.store(id);
    return true;
}

int RunAnt(const AntStart& start) {
    Ant ant(start);
    return ant.Run();
}

}  // namespace kv
