#pragma once
// The job record: one per download. The job list owns it and chains it through `Next`;
// the job thread and its ants fill in the run-time fields; the job store persists the user
// fields and the block map.
//
// Locking: `JobMutex` guards every change of `BlockState` once ants run, the writes into
// `FileHandle` together with `DownloadedSize`, `FlushCounter` and `StreamBytes`. Fields
// that other threads read without that lock (thread ids, the ants' current blocks,
// running-ant count, byte counters) are atomics, so a reader never sees a torn value.
#include "platform/systime.h"
#include "platform/text.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kv {

struct ProxyEntry;
struct UrlParts;

// One block of the remote file. Block i covers bytes i*1024 .. i*1024+1023; the last block
// covers the rest.
inline constexpr int BLOCK_SIZE = 1024;

// Ant slots per job, and so the most connections one job opens at once.
inline constexpr int MAX_ANTS = 5;

// Longest texts the text fields hold, in bytes (without a terminator).
inline constexpr std::size_t MAX_TARGET_LENGTH = 260;
inline constexpr std::size_t MAX_LOCAL_FILE_LENGTH = 259;
inline constexpr std::size_t MAX_USER_LENGTH = 50;
inline constexpr std::size_t MAX_PASSWORD_LENGTH = 50;
inline constexpr std::size_t MAX_COMMENT_LENGTH = 1024;
inline constexpr std::size_t MAX_REFERER_LENGTH = 300;
inline constexpr std::size_t MAX_USER_AGENT_LENGTH = 100;
inline constexpr std::size_t MAX_REDIRECT_URL_LENGTH = 260;

// Redirections one start of a job follows before it gives up (as browsers do).
inline constexpr int32_t MAX_REDIRECTIONS = 20;

// Block states, one byte per block.
inline constexpr uint8_t BlockEmpty = 0;  // not downloaded, free to be taken
inline constexpr uint8_t BlockBusy = 1;   // taken by an ant (or the probe), being fetched
inline constexpr uint8_t BlockDone = 2;   // downloaded and written in place

// Values of `JobRecord::State` (their texts are string ids 9001 to 9005).
inline constexpr uint8_t JobStateNormal = 1;
inline constexpr uint8_t JobStateRunning = 2;
inline constexpr uint8_t JobStateQueue = 3;
inline constexpr uint8_t JobStateError = 4;
inline constexpr uint8_t JobStateDownloaded = 5;

// Values of `JobRecord::ResumeState`.
inline constexpr int32_t ResumeServesRanges = 0;
inline constexpr int32_t ResumeNotPossible = 1;  // one ant reads the file in order
inline constexpr int32_t ResumeUndetermined = 2;

// Values of `JobRecord::Transport`.
inline constexpr uint32_t TransportHttp = 0;
inline constexpr uint32_t TransportFtp = 1;

struct AntSlot {
    int Socket = -1;      // HTTP connection or FTP control connection; -1 = none
    int DataSocket = -1;  // FTP data connection; -1 = none
    uint32_t Connected = 0;  // 1 = the open connection delivers the next block unasked
    std::atomic<int64_t> Block{-1};  // block being fetched; -1 = none
    std::thread ThreadHandle;        // ant thread; not joinable when none
    std::atomic<uint32_t> ThreadId{0};  // ant thread id; 0 = the slot is free
};

struct JobRecord {
    uint32_t Transport = TransportHttp;
    std::string Target;  // the URL as entered
    uint32_t FlagLocalFile = 0;  // 0 fixed path, 1 full path still changeable, 2 directory only
    std::string LocalFile;
    int32_t Priority = 0;
    int64_t Size = 0;  // remote size in bytes; 0 = not yet known
    std::atomic<int64_t> DownloadedSize{0};  // bytes of blocks that reached BlockDone by a write
    int32_t AntNumber = 0;  // ants to start, 1 to 5
    std::atomic<int32_t> RunningAnts{0};
    int32_t AntSlotCount = 0;  // usable ant slots
    int64_t BlockCount = 0;    // ceil(Size / BLOCK_SIZE)
    std::vector<uint8_t> BlockState;  // BlockCount states; read and set through blockmap.h
    int FileHandle = -1;  // the open temporary file; -1 = closed
    std::mutex JobMutex;
    std::thread ThreadHandle;  // job thread
    std::atomic<uint32_t> ThreadId{0};  // 0 = no job thread
    int ProbeSocket = -1;      // probe's connection, handed to ant 0
    int ProbeDataSocket = -1;  // probe's FTP data connection, handed to ant 0
    std::atomic<int32_t> ErrorCount{0};  // errors counted against MaxError
    uint32_t AddressResolved = 0;
    sockaddr_storage ServerAddress{};  // host or proxy the job connects to
    int32_t ResumeState = 0;  // ResumeServesRanges, ResumeNotPossible or ResumeUndetermined
    uint32_t Authorization = 0;  // 1 = send User/Password
    uint32_t CheckUpdate = 0;    // 1 = this run only checks whether the remote file is newer
    SystemTime FileDate;      // remote file's date; year 0 = none
    SystemTime DownloadDate;  // local time of the last (re)start
    std::atomic<int64_t> SampleBytes{0};  // bytes received since the last speed sample
    int32_t FlushCounter = 0;  // blocks written since the last flush (under JobMutex)
    uint32_t LastFlushTick = 0;  // tick count of the last flush (under JobMutex)
    std::atomic<int64_t> StreamBytes{0};  // bytes ant 0 passed on since start
    int32_t SampleSeconds = 0;
    int32_t AverageSpeed = 0;  // bytes per second; -1 = none yet
    uint32_t StartTime = 0;    // calendar seconds of the start
    uint32_t StartTick = 0;    // millisecond tick count of the start
    int32_t CurrentSpeed = 0;  // bytes per second of the last sample; -1 = none yet
    uint32_t ElapsedSeconds = 0;
    int32_t TimeLeft = 0;  // seconds to go; -1 = no estimate
    std::string User;
    std::string Password;  // in clear while in memory
    int32_t HTTPProxyID = 0;
    int32_t FTPProxyID = 0;
    std::shared_ptr<kv::ProxyEntry> ProxyEntry;  // copy of the proxy entry in use
    std::shared_ptr<kv::UrlParts> UrlParts;      // the job's parsed URL
    uint8_t State = 0;  // JobStateNormal .. JobStateDownloaded
    uint32_t StoreNumber = 0;       // number of the job's storage in the job store
    void* StoreHandle = nullptr;    // open storage of the job, owned by the job store
    int32_t MaxError = 0;
    int32_t AlwaysRetry = 0;
    int32_t RetryDelay = 0;      // seconds
    int32_t ConnectTimeout = 0;  // seconds
    int32_t ReceiveTimeout = 0;  // seconds
    std::string Comment;
    std::string Referer;
    std::string UserAgent;
    uint32_t ASCIIMode = 0;  // 0 binary, 1 ASCII, 2 ASCII for names matching ASCFileType
    std::string RedirectUrl;  // when not empty, used instead of Target to connect
    std::array<AntSlot, MAX_ANTS> AntSlots;
    uint32_t ViewItem = 0;
    // Redirections followed since the user started the job (kept across the restarts
    // that follow them); a chain longer than MAX_REDIRECTIONS ends the job in error.
    int32_t RedirectCount = 0;
    JobRecord* Next = nullptr;  // next record of the job list (the list owns records)
};

// Resets the run-time fields when the job is started. `continuesRedirection` is true when
// the start follows a redirection of the same run: the start time, the elapsed time, the
// error count and `RedirectUrl` are then kept.
void ResetRunTimeFields(JobRecord& job, bool continuesRedirection);

}  // namespace kv
