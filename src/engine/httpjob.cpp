#include "engine/httpjob.h"

#include "engine/blockmap.h"
#include "engine/joblog.h"
#include "engine/messages.h"
#include "net/proxyentry.h"
#include "net/socket.h"
#include "net/url.h"
#include "platform/boxes.h"

#include <unistd.h>

#include <algorithm>

namespace kv {
namespace {

int ProxyKind(const JobRecord& job) { return job.ProxyEntry ? job.ProxyEntry->Type : PROXY_DIRECT; }

bool IsRetriedServerError(int status) {
    return status >= 500 && status <= 599 && status != 501 && status != 505;
}

void SetResumeState(JobRecord& job, int32_t state) {
    if (job.ResumeState == state) return;
    job.ResumeState = state;
    RefreshJobRow(&job, ROW_RESUME_CHANGED);
    NotifyJobInfoChanged(&job, INFO_RESUME_CHANGED);
}

// Compose, connect, send and read the reply header: 1 with `socket` open and `block`
// filled, otherwise the operation's result (the socket is then closed).
int Exchange(JobRecord& job, int64_t offset, const HttpOptions& options, int& socket,
             std::string& block) {
    std::string request = ComposeHttpRequest(HttpRequestFieldsOf(job, options), offset);
    int opened = OpenHttpConnection(job, socket);
    if (opened != 1) return opened;
    if (Send(socket, request.data(), static_cast<int64_t>(request.size()), 0, nullptr) !=
        static_cast<int64_t>(request.size())) {
        return CountError(job, socket);
    }
    unsigned failureId = 0;
    int read = ReadHttpReplyHeader(socket, job.ReceiveTimeout, false, block, failureId);
    if (read == 0) return CountError(job, socket);
    if (read != 1) {
        if (failureId != 0) LogMessage(failureId, LOG_FAIL);
        HardClose(socket);
        return read;
    }
    LogText(block, LOG_REPLY);
    if (HttpStatusCode(block) == -1) {
        LogMessage(3028, LOG_FAIL);  // "Bad HTTP reply code"
        HardClose(socket);
        return -1;
    }
    return 1;
}

int FailAndClose(unsigned id, int& socket) {
    LogMessage(id, LOG_FAIL);
    HardClose(socket);
    return -1;
}

}  // namespace

const std::string& JobCurrentUrl(const JobRecord& job) {
    return job.RedirectUrl.empty() ? job.Target : job.RedirectUrl;
}

HttpRequestFields HttpRequestFieldsOf(const JobRecord& job, const HttpOptions& options) {
    HttpRequestFields f;
    const int kind = ProxyKind(job);
    if (job.UrlParts) {
        f.Target = job.UrlParts->Path;
        f.Host = job.UrlParts->Host;
        f.Port = job.UrlParts->Port;
        f.PortWritten = job.UrlParts->PortDefaulted == 0;
    }
    if (kind == PROXY_HTTP_GET) f.Target = JobCurrentUrl(job);
    f.Referer = job.Referer;
    f.UserAgent = job.UserAgent;
    if (job.ProxyEntry) {
        f.NoCache = job.ProxyEntry->NoCache != 0;
        if (kind == PROXY_HTTP_GET && job.ProxyEntry->Authorization != 0) {
            f.ProxyAuthorization = true;
            f.ProxyUser = job.ProxyEntry->User;
            f.ProxyPassword = job.ProxyEntry->Password;
        }
    }
    if (job.Authorization != 0) {
        f.Authorization = true;
        f.User = job.User;
        f.Password = job.Password;
    }
    if (options.UseCookie && options.CookieLookup) f.Cookies = options.CookieLookup(JobCurrentUrl(job));
    return f;
}

int CountError(JobRecord& job, int& socket) {
    HardClose(socket);
    int32_t count = job.ErrorCount.fetch_add(1) + 1;
    RefreshJobRow(&job, ROW_AFTER_ERROR);
    NotifyJobInfoChanged(&job, INFO_AFTER_ERROR);
    if (job.AlwaysRetry != 0 || count < job.MaxError) return 0;
    LogMessage(3004, LOG_FAIL);  // "Reach max error, ant halt"
    return -1;
}

int OpenHttpConnection(JobRecord& job, int& socket) {
    const int kind = ProxyKind(job);
    const bool viaProxy = kind != PROXY_DIRECT;
    if (kind != PROXY_DIRECT && kind != PROXY_HTTP_GET) {
        // Tunnels (CONNECT, SOCKS) are opened by their own layer; the FTP kinds can't
        // carry HTTP at all.
        LogMessage(3011, LOG_FAIL);  // "Bad proxy configure"
        return -1;
    }
    socket = OpenSocket();
    if (socket < 0) {
        FailureBox("socket");
        return -1;
    }
    if (viaProxy) {
        LogMessageFormatted(3015, LOG_NORMAL, {job.ProxyEntry->Address, job.ProxyEntry->Port});
    } else {
        LogMessageFormatted(3000, LOG_NORMAL,
                            {job.UrlParts ? job.UrlParts->Host : std::string(),
                             job.UrlParts ? job.UrlParts->Port : 0});
    }
    int connected = Connect(socket, job.ServerAddress, job.ConnectTimeout);
    if (connected == -2) {
        HardClose(socket);
        return -2;
    }
    if (connected != 1) {
        LogMessage(viaProxy ? 3019 : 3002, LOG_FAIL);
        return CountError(job, socket);
    }
    LogMessage(viaProxy ? 3018 : 3001, LOG_SUCCESS);
    return 1;
}

void LogStatusMessage(int code) {
    if (const char* text = HttpStatusText(code)) LogText(text, LOG_FAIL);
}

int HttpProbe(JobRecord& job, const HttpOptions& options, std::string& redirectUrl) {
    redirectUrl.clear();
    int64_t offset = 0;
    if (job.Size > 0 && job.CheckUpdate == 0) {
        for (int64_t b = 0; b < job.BlockCount; ++b) {
            if (GetBlockState(job, b) == BlockBusy) {
                offset = BlockOffset(b);
                break;
            }
        }
    }
    int socket = -1;
    std::string block;
    int exchanged = Exchange(job, offset, options, socket, block);
    if (exchanged != 1) return exchanged;
    const int status = HttpStatusCode(block);

    if (status >= 300 && status <= 399 && status != 304 && status != 305) {
        if (auto word = HttpLocationText(block)) {
            auto resolved = ResolveUrl(JobCurrentUrl(job), *word);
            if (resolved) {
                redirectUrl = *resolved;
                LogMessage(3006, LOG_NORMAL);  // "Redirect link to other site"
                HardClose(socket);
                return status == 302 ? -4 : -5;
            }
            LogMessage(3007, LOG_FAIL);  // "The redirect URL is invalid"
        }
    }
    if (IsRetriedServerError(status)) return CountError(job, socket);
    if (status != 200 && status != 206) {
        LogStatusMessage(status);
        HardClose(socket);
        return -1;
    }

    SystemTime newDate = HttpLastModified(block).value_or(SystemTime{});
    if (job.CheckUpdate != 0) {
        if (!IsNewerDate(newDate, job.FileDate)) {
            LogMessage(3023, LOG_FAIL);  // "File is up to date"
            HardClose(socket);
            return -3;
        }
        // The remote file changed: download it afresh.
        job.CheckUpdate = 0;
        DiscardBlockMap(job);
        job.Size = 0;
        job.DownloadedSize = 0;
        if (job.FileHandle >= 0) {
            ::close(job.FileHandle);
            job.FileHandle = -1;
        }
        if (!job.LocalFile.empty()) ::unlink(job.LocalFile.c_str());
    }
    job.FileDate = newDate;
    NotifyJobInfoChanged(&job, INFO_FILE_DATE_SET);

    const int64_t total = HttpTotalSize(block);
    if (total == -1) return FailAndClose(3012, socket);  // size unknown
    const bool sizeKnown = job.Size > 0;
    if (sizeKnown && job.Size != total) return FailAndClose(3009, socket);  // file changed

    if (auto limit = HttpServerConnectionLimit(block)) {
        job.AntNumber = std::min(job.AntNumber, *limit);
        job.AntSlotCount = std::min(job.AntSlotCount, *limit);
        RefreshJobRow(&job, ROW_ANTS_CHANGED);
    }

    if (sizeKnown) {
        if (offset == 0) {
            SetResumeState(job, HttpAcceptsRanges(block) ? ResumeServesRanges : ResumeUndetermined);
        } else if (status == 206) {
            SetResumeState(job, ResumeServesRanges);
            if (!HttpContentRangeMatches(block, offset, job.Size)) return FailAndClose(3017, socket);
        } else {
            SetResumeState(job, ResumeNotPossible);
            job.AntNumber = 1;
            job.AntSlotCount = 1;
            if (options.StopNoResume) return FailAndClose(3005, socket);
        }
    } else {
        job.ResumeState = HttpAcceptsRanges(block) ? ResumeServesRanges : ResumeUndetermined;
        job.Size = total;
        RefreshJobRow(&job, ROW_SIZE_LEARNED);
        NotifyJobInfoChanged(&job, INFO_SIZE_LEARNED);
        if (!LayOutBlockMap(job)) {
            HardClose(socket);
            return -1;
        }
    }
    job.ProbeSocket = socket;
    return 1;
}

int HttpBlockRequest(JobRecord& job, int ant, const HttpOptions& options) {
    AntSlot& slot = job.AntSlots.at(static_cast<std::size_t>(ant));
    const int64_t offset = BlockOffset(std::max<int64_t>(slot.Block.load(), 0));
    if (offset > 0 && job.ResumeState == ResumeNotPossible) {
        LogMessage(3005, LOG_FAIL);  // "This site doesn't support resume, ant halt"
        return -1;
    }
    int socket = -1;
    std::string block;
    int exchanged = Exchange(job, offset, options, socket, block);
    if (exchanged != 1) return exchanged;
    const int status = HttpStatusCode(block);
    if (IsRetriedServerError(status)) return CountError(job, socket);
    if (status != 200 && status != 206) {
        LogStatusMessage(status);
        HardClose(socket);
        return -1;
    }
    if (offset > 0) {
        if (status == 200 && job.ResumeState != ResumeServesRanges) {
            SetResumeState(job, ResumeNotPossible);
            return FailAndClose(3005, socket);
        }
        if (status == 200) {
            // It said it could resume but did not this time: ask again after the delay.
            LogMessage(3033, LOG_NORMAL);  // "Ant restart to try resume again"
            HardClose(socket);
            return 0;
        }
        SetResumeState(job, ResumeServesRanges);
        if (!HttpContentRangeMatches(block, offset, job.Size)) return FailAndClose(3017, socket);
    }
    slot.Socket = socket;
    slot.Connected = 1;
    return 1;
}

}  // namespace kv
