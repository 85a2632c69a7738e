#include "settings/enginesettings.h"

namespace kv {

EngineOptions EngineOptionsFrom(const Settings& s) {
    EngineOptions o;
    o.FileExistMode = s.FileExistMode;
    o.AutoSave = s.AutoSave != 0;
    o.AutoSaveSize = s.AutoSaveSize;
    o.StopNoResume = s.StopNoResume != 0;
    o.UseCookie = s.UseCookie != 0;
    o.GetFileDate = s.GetFileDate != 0;
    o.CreateNFO = s.CreateNFO != 0;
    o.SendPop = s.SendPop != 0;
    o.SendPopTo = s.SendPopTo.str();
    o.ShowNotify = s.ShowNotify != 0;
    o.UseSound = s.UseSound != 0;
    o.VirusCheck = s.VirusCheck != 0;
    o.Scanner = s.Scanner.str();
    o.ScannerArg = s.ScannerArg.str();
    o.UseDefaultProxy = s.UseDefaultProxy != 0;
    o.ASCFileType = s.ASCFileType.str();
    return o;
}

void ApplyJobDefaults(JobRecord& job, const Settings& s) {
    job.MaxError = s.MaxError;
    job.AlwaysRetry = static_cast<int32_t>(s.AlwaysRetry);
    job.RetryDelay = s.RetryDelay;
    job.ConnectTimeout = s.ConnectTimeout;
    job.ReceiveTimeout = s.ReceiveTimeout;
    job.AntNumber = s.DefaultAntNumber;
    job.UserAgent = s.UserAgent.str();
    job.Referer = s.Referer.str();
}

}  // namespace kv
