#include "engine/jobrecord.h"

#include <ctime>

namespace kv {

void ResetRunTimeFields(JobRecord& job, bool continuesRedirection) {
    job.ResumeState = ResumeUndetermined;
    job.AddressResolved = 0;
    job.SampleBytes = 0;
    job.FlushCounter = 0;
    job.StreamBytes = 0;
    job.SampleSeconds = 0;
    job.AverageSpeed = -1;
    job.CurrentSpeed = -1;
    job.TimeLeft = -1;
    job.RunningAnts = 1;
    job.AntSlotCount = MAX_ANTS;
    job.State = JobStateRunning;
    if (!continuesRedirection) {
        job.StartTime = static_cast<uint32_t>(std::time(nullptr));
        job.StartTick = TickCount();
        job.ElapsedSeconds = 0;
        job.ErrorCount = 0;
        job.RedirectUrl.clear();
        job.RedirectCount = 0;
    }
}

}  // namespace kv
