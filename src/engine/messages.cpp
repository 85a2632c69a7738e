#include "engine/messages.h"

#include <mutex>

namespace kv {
namespace {

std::mutex gRowRefresherMutex;
JobRowRefresher& RowRefresher() {
    static JobRowRefresher refresher;
    return refresher;
}

}  // namespace

EngineWindowHandles& EngineWindows() {
    static EngineWindowHandles handles;
    return handles;
}

void SetJobRowRefresher(JobRowRefresher refresher) {
    std::lock_guard lock(gRowRefresherMutex);
    RowRefresher() = std::move(refresher);
}

void RefreshJobRow(JobRecord* job, uint32_t rowFlags) {
    JobRowRefresher refresher;
    {
        std::lock_guard lock(gRowRefresherMutex);
        refresher = RowRefresher();
    }
    if (refresher && job) refresher(job, rowFlags);
}

void NotifyJobInfoChanged(JobRecord* job, uint32_t infoFlags) {
    if (HWND info = EngineWindows().infoWindow.load()) {
        SendMessage(info, MSG_JOB_INFO_CHANGED, infoFlags, JobParam(job));
    }
}

}  // namespace kv
