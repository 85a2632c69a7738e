#include "engine/jobthread.h"

#include "engine/antthread.h"
#include "engine/blockmap.h"
#include "engine/completion.h"
#include "engine/engineoptions.h"
#include "engine/httpjob.h"
#include "engine/joblog.h"
#include "engine/messages.h"
#include "engine/rungate.h"
#include "net/proxyentry.h"
#include "net/socket.h"
#include "net/url.h"
#include "platform/boxes.h"
#include "platform/msg.h"
#include "platform/paths.h"
#include "platform/systime.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace kv {
namespace {

const BlockNotifier kNotify = [](JobRecord& job, int64_t block) { PostBlockChanged(job, block); };

bool IsScheme(const std::string& scheme, const char* name) {
    if (scheme.size() != std::strlen(name)) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(scheme[i])) != name[i]) return false;
    }
    return true;
}

bool GetProxy(int32_t id, ProxyEntry& copy) {
    const EngineHooks& hooks = CurrentEngineHooks();
    if (hooks.GetProxyEntry) return hooks.GetProxyEntry(id, copy);
    if (id != 0) return false;
    copy = ProxyEntry{};  // the direct connection
    return true;
}

void PostBlockMapChanged(JobRecord& job) {
    if (HWND window = EngineWindows().blockWindow.load()) {
        PostMessageRetry(window, MSG_BLOCK_MAP_CHANGED, 0, JobParam(&job));
    }
}

// Opens `path` for writing and locks it against other writers (the file is not shared);
// -1 after the failure box "CreateFile".
int OpenUnshared(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_RDWR | O_CLOEXEC, 0644);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        ::close(fd);
        errno = error;
        fd = -1;
    }
    if (fd < 0) FailureBox("CreateFile");
    return fd;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

class JobThread {
public:
    explicit JobThread(JobRecord& job) : job_(job), options_(CurrentEngineOptions()) {}

    void Run() {
        job_.ThreadId.store(GetCurrentThreadId());
        PostBlockMapChanged(job_);
        ScopedLogContext context(&job_, 0);
        int result = Work();
        if (result == JobResultError && job_.Size > 0 && job_.DownloadedSize.load() == job_.Size &&
            antsRan_) {
            result = JobResultComplete;
        }
        AntSlot& slot0 = job_.AntSlots[0];
        if (slot0.ThreadId.load() == GetCurrentThreadId()) slot0.ThreadId.store(0);
        CompleteJob(job_, result, redirectUrl_, options_);
    }

private:
    int Work() {
        if (!Prepare()) return JobResultError;
        int resolved = ResolveServer();
        if (resolved != 1) return resolved == -2 ? JobResultCancelled : JobResultError;
        int probed = Probe();
        switch (probed) {
            case 1:
                break;
            case -5:
            case -4:
                if (job_.RedirectCount >= MAX_REDIRECTIONS) {
                    LogMessageFormatted(3034, LOG_FAIL, {job_.RedirectCount});  // too many
                    redirectUrl_.clear();
                    return JobResultError;
                }
                ++job_.RedirectCount;
                return probed == -5 ? JobResultPermRedirect : JobResultTempRedirect;
            case -3:
                return JobResultUnchanged;
            case -2:
                return JobResultCancelled;
            default:
                return JobResultError;
        }
        resumeAfterProbe_ = job_.ResumeState;
        PostBlockMapChanged(job_);
        FixLocalName();
        int opened = OpenTemporaryFile();
        if (opened >= 0) return opened;
        return RunAnts();
    }

    bool Prepare() {
        AntSlot& slot0 = job_.AntSlots[0];
        slot0.ThreadId.store(GetCurrentThreadId());  // the job thread stands for ant 0
        if (job_.FileHandle >= 0) ::close(job_.FileHandle);
        job_.FileHandle = -1;
        job_.ProbeSocket = -1;
        job_.ProbeDataSocket = -1;
        for (int i = 1; i < job_.AntSlotCount && i < MAX_ANTS; ++i) {
            job_.AntSlots[static_cast<std::size_t>(i)].Block.store(-1);
            job_.AntSlots[static_cast<std::size_t>(i)].ThreadId.store(0);
        }
        auto parts = ParseUrl(JobCurrentUrl(job_));
        if (!parts) {
            LogMessage(3036, LOG_FAIL);  // the URL can't be used
            return false;
        }
        if (parts->Port == 0) {
            parts->Port = IsScheme(parts->Scheme, "ftp") ? 21 : 80;
            parts->PortDefaulted = 1;
        }
        const bool ftp = IsScheme(parts->Scheme, "ftp");
        job_.UrlParts = std::make_shared<UrlParts>(*parts);

        int32_t id = ftp ? (options_.UseDefaultProxy ? options_.DefaultFTPProxy : job_.FTPProxyID)
                         : (options_.UseDefaultProxy ? options_.DefaultHTTPProxy : job_.HTTPProxyID);
        ProxyEntry entry;
        if (!GetProxy(id, entry)) {
            LogMessage(3011, LOG_FAIL);  // "Bad proxy configure"
            return false;
        }
        job_.ProxyEntry = std::make_shared<ProxyEntry>(entry);
        if (!ftp) {
            const int t = entry.Type;
            if (t != PROXY_DIRECT && t != PROXY_HTTP_GET && t != PROXY_HTTP_CONNECT &&
                t != PROXY_SOCKS4 && t != PROXY_SOCKS5) {
                LogMessage(3011, LOG_FAIL);
                return false;
            }
            job_.Transport = TransportHttp;
        } else {
            job_.Transport = entry.Type == PROXY_HTTP_GET ? TransportHttp : TransportFtp;
        }
        ops_ = ProtocolOpsFor(job_, options_);
        return true;
    }

    // Handles one waiting message of the resolve and probe phases: true when it cancels.
    bool HandleEarlyMessage() {
        Message m;
        if (!PeekMessage(m, nullptr, 0, 0, PM_REMOVE)) return false;
        if (m.hwnd != nullptr) return false;
        if ((m.message == MSG_STOP && m.wParam == 0) || m.message == MSG_STOP_JOB) {
            LogMessage(3025, LOG_NORMAL);  // "Cancelled by user"
            return true;
        }
        if (m.message == MSG_RESTART_ANT && m.wParam == 0) LogMessage(3032, LOG_NORMAL);
        return false;
    }

    bool HasWaitingMessage() {
        Message m;
        return PeekMessage(m, nullptr, 0, 0, PM_NOREMOVE);
    }

    // 1 resolved, -2 cancelled, -1 failed.
    int ResolveServer() {
        const bool viaProxy = job_.ProxyEntry->Type != PROXY_DIRECT;
        const std::string& name = viaProxy ? job_.ProxyEntry->Address : job_.UrlParts->Host;
        const uint16_t port = viaProxy ? job_.ProxyEntry->Port : job_.UrlParts->Port;
        while (RunGate()) {
            if (HasWaitingMessage()) {
                if (HandleEarlyMessage()) return -2;
                continue;
            }
            in_addr address{};
            int r = Resolve(name.c_str(), viaProxy, address);
            if (r == -2) continue;
            if (r != 1) return -1;
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(port);
            sa.sin_addr = address;
            std::memset(&job_.ServerAddress, 0, sizeof job_.ServerAddress);
            std::memcpy(&job_.ServerAddress, &sa, sizeof sa);
            job_.AddressResolved = 1;
            return 1;
        }
        return -1;
    }

    int Probe() {
        // The probe stands for ant 0 and holds the block it will ask for.
        int64_t reserved = -1;
        if (job_.Size > 0) {
            reserved = job_.CheckUpdate != 0 ? 0 : LowestEmptyBlock(job_);
            if (reserved >= 0) SetBlock(job_, reserved, BlockBusy, kNotify);
        }
        int result = -1;
        bool first = true;
        while (true) {
            if (!RunGate()) {
                result = -1;
                break;
            }
            if (HasWaitingMessage()) {
                if (HandleEarlyMessage()) {
                    result = -2;
                    break;
                }
                continue;
            }
            if (!first) {
                int waited = WaitForRetry(job_.RetryDelay);
                if (waited == -2) continue;
                if (waited < 0) {
                    result = -1;
                    break;
                }
            }
            first = false;
            result = ops_.Probe(job_, redirectUrl_);
            if (result == 0 || result == -2) continue;
            break;
        }
        if (reserved >= 0 && reserved < job_.BlockCount) {
            SetBlock(job_, reserved, job_.CheckUpdate != 0 ? BlockDone : BlockEmpty, kNotify);
        }
        return result;
    }

    void FixLocalName() {
        if (job_.FlagLocalFile == 2) {
            std::string name;
            if (auto fromUrl = UrlFileName(JobCurrentUrl(job_))) name = CleanFileName(PercentDecode(*fromUrl));
            if (name.empty()) name = "index.html";  // a URL that names a directory
            std::string dir = job_.LocalFile;
            if (!dir.empty() && dir.back() != kPathSeparator) dir.push_back(kPathSeparator);
            const std::size_t room = dir.size() < 260 ? 260 - dir.size() : 0;
            job_.LocalFile = dir + LimitText(name, room);
            job_.FlagLocalFile = 0;
            RefreshJobRow(&job_, ROW_LOCAL_FILE_CHANGED);
            NotifyJobInfoChanged(&job_, INFO_LOCAL_FILE_CHANGED);
        } else if (job_.FlagLocalFile == 1) {
            job_.FlagLocalFile = 0;
        }
    }

    // Prepares the temporary file; a result code when the job ends here, else -1.
    int OpenTemporaryFile() {
        std::string temporary = TemporaryFileName(job_.LocalFile);
        if (job_.DownloadedSize.load() > 0) {
            job_.FileHandle = OpenUnshared(temporary, 0);
            if (job_.FileHandle < 0) return JobResultError;
        } else {
            CreateParentDirectories(job_.LocalFile);
            int existing = ::open(job_.LocalFile.c_str(), O_WRONLY | O_CLOEXEC);
            if (existing >= 0) {
                int decided = DecideExistingFile(existing, temporary);
                if (decided >= 0) return decided;
            }
            if (job_.FileHandle < 0) {
                CreateParentDirectories(temporary);
                job_.FileHandle = OpenUnshared(temporary, O_CREAT);
                if (job_.FileHandle < 0) return JobResultError;
            }
        }
        if (::ftruncate(job_.FileHandle, job_.Size) != 0) {
            FailureBox("SetEndOfFile");
            return JobResultError;
        }
        // Reserve the space now, so that a full disk shows before any data arrives
        // (file systems that can't reserve simply skip it).
        if (::fallocate(job_.FileHandle, 0, 0, job_.Size) != 0 && errno == ENOSPC) {
            FailureBox("SetEndOfFile");
            return JobResultError;
        }
        return -1;
    }

    // The file-exists policy for the open `existing` LocalFile: a result code when the job
    // ends here, -1 to go on (with FileHandle open when the old file became the temporary
    // file's start, else still to be created).
    int DecideExistingFile(int existing, std::string& temporary) {
        int mode = options_.FileExistMode;
        if (mode == FileExistPrompt) {
            const EngineHooks& hooks = CurrentEngineHooks();
            mode = hooks.FileExistDialog ? hooks.FileExistDialog(job_, job_.LocalFile) : -1;
            if (mode < FileExistOverwrite || mode > FileExistCancel) {
                ::close(existing);
                FailureBox("DialogBox(FileExist)");
                return JobResultError;
            }
        }
        switch (mode) {
            case FileExistOverwrite:
                ::close(existing);
                ::unlink(job_.LocalFile.c_str());
                return -1;
            case FileExistResume:
                return ResumeExistingFile(existing, temporary);
            case FileExistAutoRename:
                ::close(existing);
                for (int n = 1;; ++n) {
                    if (n > 9999) {
                        FailureBox("CreateFile", EEXIST);
                        return JobResultError;
                    }
                    std::string candidate = NumberedFileName(job_.LocalFile, n);
                    if (!FileExists(candidate)) {
                        job_.LocalFile = candidate;
                        break;
                    }
                }
                RefreshJobRow(&job_, ROW_LOCAL_FILE_CHANGED);
                NotifyJobInfoChanged(&job_, INFO_LOCAL_FILE_CHANGED);
                temporary = TemporaryFileName(job_.LocalFile);
                return -1;
            default:
                ::close(existing);
                return JobResultCancelled;
        }
    }

    int ResumeExistingFile(int existing, const std::string& temporary) {
        struct stat st {};
        if (::fstat(existing, &st) != 0) {
            FailureBox("GetFileSize");
            ::close(existing);
            return JobResultError;
        }
        const int64_t oldSize = st.st_size;
        if (::ftruncate(existing, job_.Size) != 0) {
            FailureBox("SetEndOfFile");
            ::close(existing);
            return JobResultError;
        }
        ::close(existing);
        if (::rename(job_.LocalFile.c_str(), temporary.c_str()) != 0) {
            FailureBox("MoveFile");
            return JobResultError;
        }
        if (oldSize >= job_.Size) {
            for (int64_t b = 0; b < job_.BlockCount; ++b) SetBlock(job_, b, BlockDone, {});
            job_.DownloadedSize = job_.Size;
            PostBlockMapChanged(job_);
            return JobResultComplete;
        }
        const int64_t whole = oldSize / BLOCK_SIZE;
        for (int64_t b = 0; b < whole; ++b) SetBlock(job_, b, BlockDone, {});
        job_.DownloadedSize = whole * BLOCK_SIZE;
        PostBlockMapChanged(job_);
        if (job_.DownloadedSize.load() > 0) return JobResultRestart;
        job_.FileHandle = OpenUnshared(temporary, 0);  // a fresh download over it
        return job_.FileHandle < 0 ? JobResultError : -1;
    }

    // Starts the ants and supervises them until none runs; the job's result.
    int RunAnts() {
        if (job_.AntSlotCount > 1) {
            if (HWND log = EngineWindows().logWindow.load()) {
                SendMessage(log, MSG_LOG_ADD_ANTS, static_cast<WPARAM>(job_.AntSlotCount - 1),
                            JobParam(&job_));
            }
        }
        job_.AntSlots[0].ThreadId.store(0);
        job_.RunningAnts = 0;
        const int count = std::clamp(job_.AntNumber, 1, std::max(1, job_.AntSlotCount));
        auto gate = std::make_shared<AntGate>();
        bool started = true;
        for (int i = 0; i < count && started; ++i) {
            BlockTake take = DistributeFirstBlock(job_, i, kNotify);
            started = StartAntThread(MakeStart(i, take.NeedsData), gate);
            if (!started) FailureBox("_beginthreadex");
        }
        if (!started) {
            gate->Release(true);
            for (int i = 0; i < MAX_ANTS; ++i) {
                AntSlot& slot = job_.AntSlots[static_cast<std::size_t>(i)];
                if (slot.ThreadHandle.joinable()) slot.ThreadHandle.join();
                slot.ThreadId.store(0);
                if (slot.Block.load() >= 0) GiveBackBlock(job_, i, true, kNotify);
                CloseAntConnections(job_, slot);
            }
            return JobResultError;
        }
        antsRan_ = true;
        job_.RunningAnts = count;
        RefreshJobRow(&job_, ROW_ANTS_CHANGED);
        gate->Release(false);

        int result = JobResultError;
        while (job_.RunningAnts.load() > 0) {
            Message m;
            if (!GetMessage(m)) continue;
            if (m.hwnd != nullptr) continue;
            const int i = static_cast<int>(m.wParam);
            const bool inRange = i >= 0 && i < job_.AntSlotCount && i < MAX_ANTS;
            switch (m.message) {
                case MSG_START_ANT:
                    if (inRange && SlotFree(i)) {
                        AntSlot& slot = job_.AntSlots[static_cast<std::size_t>(i)];
                        slot.Block.store(-1);
                        slot.Connected = 0;
                        auto late = std::make_shared<AntGate>();
                        if (!StartAntThread(MakeStart(i, false), late)) {
                            FailureBox("_beginthreadex");
                            StopAll();
                            late->Release(true);
                            break;
                        }
                        job_.RunningAnts.fetch_add(1);
                        RefreshJobRow(&job_, ROW_ANTS_CHANGED);
                        late->Release(false);
                    }
                    break;
                case MSG_STOP:
                    if (inRange && !SlotFree(i)) {
                        if (job_.RunningAnts.load() == 1) result = JobResultCancelled;
                        PostThreadMessageRetry(job_.AntSlots[static_cast<std::size_t>(i)].ThreadId.load(),
                                               MSG_STOP, 0, 0);
                    }
                    break;
                case MSG_RESTART_ANT:
                    if (inRange && !SlotFree(i)) {
                        PostThreadMessageRetry(job_.AntSlots[static_cast<std::size_t>(i)].ThreadId.load(),
                                               MSG_RESTART_ANT, 0, 0);
                    }
                    break;
                case MSG_STOP_JOB:
                    result = JobResultCancelled;
                    StopAll();
                    break;
                case MSG_ANT_ENDED:
                    job_.RunningAnts.fetch_sub(1);
                    if (i >= 0 && i < MAX_ANTS) {
                        AntSlot& slot = job_.AntSlots[static_cast<std::size_t>(i)];
                        if (slot.ThreadId.load() == 0 && slot.ThreadHandle.joinable()) {
                            slot.ThreadHandle.join();
                        }
                    }
                    RefreshJobRow(&job_, ROW_ANTS_CHANGED);
                    break;
                default:
                    break;  // MSG_ANT_STARTED and anything else
            }
        }
        for (auto& slot : job_.AntSlots) {
            if (slot.ThreadHandle.joinable()) slot.ThreadHandle.join();
        }
        // The probe could not tell whether the server serves ranges, and an ant found out
        // that it does not: the ants have all halted. Started again, the probe sees the
        // answer to a ranged request and one ant reads the file in order.
        if (result == JobResultError && job_.DownloadedSize.load() < job_.Size &&
            resumeAfterProbe_ == ResumeUndetermined && job_.ResumeState == ResumeNotPossible) {
            LogMessage(3037, LOG_NORMAL);
            result = JobResultRestart;
        }
        return result;
    }

    bool SlotFree(int i) const {
        return job_.AntSlots[static_cast<std::size_t>(i)].ThreadId.load() == 0;
    }

    void StopAll() {
        for (int i = 0; i < job_.AntSlotCount && i < MAX_ANTS; ++i) {
            ThreadId ant = job_.AntSlots[static_cast<std::size_t>(i)].ThreadId.load();
            if (ant != 0) PostThreadMessageRetry(ant, MSG_STOP, 0, 0);
        }
    }

    AntStart MakeStart(int ant, bool needsData) {
        AntStart start;
        start.Ant = ant;
        start.NeedsData = needsData;
        start.Job = &job_;
        start.Options = options_;
        start.Ops = ops_;
        return start;
    }

    JobRecord& job_;
    const EngineOptions options_;
    ProtocolOps ops_;
    std::string redirectUrl_;
    bool antsRan_ = false;
    int32_t resumeAfterProbe_ = ResumeUndetermined;
};

}  // namespace

std::string TemporaryFileName(const std::string& localFile) { return localFile + ".!!!"; }

std::string NumberedFileName(const std::string& path, int n) {
    const std::string dir = PathDirectory(path);
    const std::string name = PathFileName(path);
    const std::size_t dot = name.rfind('.');
    const std::string number = "(" + std::to_string(n) + ")";
    if (dot == std::string::npos || dot + 1 == name.size()) return dir + name + number;
    return dir + name.substr(0, dot) + number + name.substr(dot);
}

bool StartJobThread(JobRecord& job, bool continuesRun) {
    auto parts = ParseUrl(JobCurrentUrl(job));
    if (!parts || !(IsScheme(parts->Scheme, "http") || IsScheme(parts->Scheme, "ftp"))) return false;
    if (job.ThreadHandle.joinable()) job.ThreadHandle.join();
    ResetRunTimeFields(job, continuesRun);
    ThreadId id = 0;
    try {
        job.ThreadHandle = StartThread(id, [&job] { RunJobThread(job); });
    } catch (const std::system_error&) {
        FailureBox("_beginthreadex");
        return false;
    }
    job.ThreadId.store(id);
    return true;
}

void ReapJobThread(JobRecord& job) {
    if (job.ThreadHandle.joinable() && job.ThreadHandle.get_id() != std::this_thread::get_id()) {
        job.ThreadHandle.join();
    }
}

void RunJobThread(JobRecord& job) {
    JobThread thread(job);
    thread.Run();
}

}  // namespace kv
