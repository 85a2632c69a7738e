#include "settings/settings.h"

#include "jobs/cipher.h"
#include "platform/boxes.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "settings/dialup_query.h"

#include <filesystem>
#include <strings.h>
#include <system_error>

namespace kv {
namespace {

// Reads the values of one open key (or, when the key could not be opened, fails every
// read so that each field takes its default).
class FieldReader {
public:
    explicit FieldReader(HKey& key) : key_(key) {}

    // The read of a 4-byte number; false when it is missing or not a REG_DWORD.
    bool Number(const char* name, uint32_t& value) {
        return key_.IsOpen() && RegQueryDword(key_, name, value) == ERROR_SUCCESS;
    }

    bool Int(const char* name, int32_t& field, int32_t def, int32_t low, int32_t high) {
        uint32_t v = 0;
        bool ok = Number(name, v) && int32_t(v) >= low && int32_t(v) <= high;
        field = ok ? int32_t(v) : def;
        return ok;
    }

    bool Flag(const char* name, uint32_t& field, uint32_t def) {
        uint32_t v = 0;
        bool ok = Number(name, v) && v <= 1;
        field = ok ? v : def;
        return ok;
    }

    void Colour(const char* name, uint32_t& field, uint32_t def) {
        uint32_t v = 0;
        field = Number(name, v) ? v : def;
    }

    // A text read with a buffer of `bufferSize` bytes; false when it is missing, not a
    // REG_SZ or longer than the buffer.
    bool Raw(const char* name, size_t bufferSize, std::string& text) {
        return key_.IsOpen() && RegQueryString(key_, name, text, bufferSize) == ERROR_SUCCESS;
    }

    template <size_t N>
    bool Text(const char* name, FixedText<N>& field, std::string_view def) {
        std::string text;
        bool ok = Raw(name, N, text);
        field = ok ? std::string_view(text) : def;
        return ok;
    }

    // The older name of a value, read when the current one is missing, and then deleted.
    void Forget(const char* name) {
        if (key_.IsOpen()) RegDeleteValue(key_, name);
    }

    bool Missing(const char* name) {
        return !key_.IsOpen() ||
               RegQueryValueEx(key_, name, nullptr, nullptr, nullptr) == ERROR_FILE_NOT_FOUND;
    }

private:
    HKey& key_;
};

// Writes values in order and stops at the first that fails.
class FieldWriter {
public:
    explicit FieldWriter(HKey& key) : key_(key) {}

    void Int(const char* name, int32_t value) { Number(name, uint32_t(value)); }
    void Number(const char* name, uint32_t value) {
        if (result_ == ERROR_SUCCESS) result_ = RegSetDword(key_, name, value);
    }
    void Text(const char* name, std::string_view text) {
        if (result_ == ERROR_SUCCESS) result_ = RegSetString(key_, name, text);
    }
    int32_t Result() const { return result_; }

private:
    HKey& key_;
    int32_t result_ = ERROR_SUCCESS;
};

bool IsOwnAgent(std::string_view agent) {
    return agent.size() >= 7 && ::strncasecmp(agent.data(), "Kestova", 7) == 0;
}

// A skin is a folder inside "skin" of the program directory; a name that leaves that
// folder is none.
bool SkinExists(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos)
        return false;
    std::error_code ec;
    return std::filesystem::is_directory(
        std::filesystem::path(ProgramDirectory()) / "skin" / std::string(name), ec);
}

uint32_t StoredVersion() {
    HKey key;
    uint32_t version = 0;
    if (RegOpenKey(kKestovaKey, key) != ERROR_SUCCESS ||
        RegQueryDword(key, "Version", version) != ERROR_SUCCESS)
        version = kOldestSettingsVersion;
    return version;
}

}  // namespace

Settings& AppSettings() {
    static Settings settings;
    return settings;
}

Settings DefaultSettings() {
    Settings s;
    s.MaxError = 10;
    s.AlwaysRetry = 0;
    s.RetryDelay = 10;
    s.ConnectTimeout = 120;
    s.ReceiveTimeout = 120;
    s.MaxRunJob = 5;
    s.BandWidthMode = 0;
    s.MaxBandWidth = 5000;
    s.YieldBandWidth = 200;
    s.BandWidth = s.MaxBandWidth;
    s.FileExistMode = 0;
    s.ShowAddJob = 1;
    s.AutoDelJob = 0;
    s.AutoStartJob = 0;
    s.StopNoResume = 0;
    s.UseCookie = 1;
    s.GetFileDate = 0;
    s.CreateNFO = 0;
    s.DefaultDirectory = DownloadDirectory();
    s.DefaultAntNumber = 5;
    s.DefaultDoItNow = 1;
    s.StartAsTray = 0;
    s.AutoSave = 1;
    s.AutoSaveSize = 100;
    s.HistoScale = 5;
    s.HistoSample = 5;
    s.SendPop = 0;
    s.ShowNotify = 1;
    s.SendPopTo = ".";
    s.UseSound = 0;
    s.AutoHangup = 0;
    s.AutoExit = 0;
    s.AutoShutdown = 0;
    s.AutoBackup = 1;
    s.MonitorClipboard = 1;
    s.CBFileType = kDefaultFileTypes;
    s.IntegrateBrowser = 0;
    s.BSFileType = kDefaultFileTypes;
    s.OpenCancelledUrl = 0;
    s.VirusCheck = 0;
    s.Scanner = "";
    s.ScannerArg = "";
    s.UseDefaultProxy = 0;
    s.UseDialup = 0;
    s.DialupEntry = "";
    s.DialupAttempt = 5;
    s.DialupWait = 1;
    s.DialupUser = "";
    s.DialupPassword = "";
    s.AutoDialup = 0;
    s.ReestablishWinTitle = kDefaultReestablishWinTitle;
    s.ScheduleDownload = 0;
    s.ScheduleDownloadHour = 9;
    s.ScheduleDownloadMin = 0;
    s.ScheduleHangup = 0;
    s.ScheduleHangupHour = 21;
    s.ScheduleHangupMin = 0;
    s.WavebarBackColor = 0x000000;
    s.WavebarPlotBeginColor = 0x4080FF;
    s.WavebarPlotEndColor = 0x80FFFF;
    s.WavebarScaleColor = 0x004000;
    s.SkinEntry = "";
    s.Referer = "";
    s.UserAgent = kDefaultUserAgent;
    s.ASCFileType = "txt *htm* ";
    return s;
}

bool LoadSettings(Settings& s) {
    const uint32_t version = StoredVersion();
    const Settings d = DefaultSettings();

    HKey key;
    RegOpenKey(kConfigureKey, key);  // when it fails, every read below fails
    FieldReader r(key);

    r.Int("MaxError", s.MaxError, d.MaxError, 1, 200);
    r.Flag("AlwaysRetry", s.AlwaysRetry, d.AlwaysRetry);
    r.Int("RetryDelay", s.RetryDelay, d.RetryDelay, 0, 300);
    r.Int("ConnectTimeout", s.ConnectTimeout, d.ConnectTimeout, 10, 300);
    r.Int("ReceiveTimeout", s.ReceiveTimeout, d.ReceiveTimeout, 10, 300);
    r.Int("MaxRunJob", s.MaxRunJob, d.MaxRunJob, 1, 10);
    r.Int("BandWidthMode", s.BandWidthMode, d.BandWidthMode, 0, 2);
    // Any rate a line of today can carry: the old top of 200000 bytes per second could not
    // cap even a slow broadband line.
    r.Int("MaxBandWidth", s.MaxBandWidth, d.MaxBandWidth, 1000, INT32_MAX);
    r.Int("YieldBandWidth", s.YieldBandWidth, d.YieldBandWidth, 40, 10000);
    r.Int("BandWidth", s.BandWidth, s.MaxBandWidth, 0, s.MaxBandWidth);
    r.Int("FileExistMode", s.FileExistMode, d.FileExistMode, 0, 4);
    r.Flag("ShowAddJob", s.ShowAddJob, d.ShowAddJob);
    r.Flag("AutoDelJob", s.AutoDelJob, d.AutoDelJob);
    r.Flag("AutoStartJob", s.AutoStartJob, d.AutoStartJob);
    r.Flag("StopNoResume", s.StopNoResume, d.StopNoResume);
    r.Flag("UseCookie", s.UseCookie, d.UseCookie);
    r.Flag("GetFileDate", s.GetFileDate, d.GetFileDate);
    r.Flag("CreateNFO", s.CreateNFO, d.CreateNFO);
    r.Text("DefaultDirectory", s.DefaultDirectory, d.DefaultDirectory);
    if (s.DefaultDirectory.empty()) s.DefaultDirectory = d.DefaultDirectory;
    r.Int("DefaultAntNumber", s.DefaultAntNumber, d.DefaultAntNumber, 1, 5);
    r.Flag("DefaultDoItNow", s.DefaultDoItNow, d.DefaultDoItNow);
    r.Flag("StartAsTray", s.StartAsTray, d.StartAsTray);
    r.Flag("AutoSave", s.AutoSave, d.AutoSave);
    r.Int("AutoSaveSize", s.AutoSaveSize, d.AutoSaveSize, 16, 1024);
    r.Int("HistoScale", s.HistoScale, d.HistoScale, 1, 200);
    r.Int("HistoSample", s.HistoSample, d.HistoSample, 1, 60);
    r.Flag("SendPop", s.SendPop, d.SendPop);
    r.Flag("ShowNotify", s.ShowNotify, d.ShowNotify);
    r.Text("SendPopTo", s.SendPopTo, d.SendPopTo);
    if (s.SendPopTo.empty() && s.SendPop == 1) s.SendPopTo = ".";
    r.Flag("UseSound", s.UseSound, d.UseSound);
    const bool dialup = DialupNetworkingAvailable();
    if (dialup) r.Flag("AutoHangup", s.AutoHangup, d.AutoHangup); else s.AutoHangup = 0;
    r.Flag("AutoExit", s.AutoExit, d.AutoExit);
    r.Flag("AutoShutdown", s.AutoShutdown, d.AutoShutdown);
    r.Flag("AutoBackup", s.AutoBackup, d.AutoBackup);
    r.Flag("MonitorClipboard", s.MonitorClipboard, d.MonitorClipboard);
    r.Text("CBFileType", s.CBFileType, d.CBFileType);
    if (r.Missing("IntegrateBrowser")) {
        uint32_t old = 0;
        bool found = r.Number("IntegrateNetscape", old);
        s.IntegrateBrowser = found && old <= 1 ? old : 0;
        if (found) r.Forget("IntegrateNetscape");
    } else {
        r.Flag("IntegrateBrowser", s.IntegrateBrowser, d.IntegrateBrowser);
    }
    if (r.Missing("BSFileType")) {
        if (r.Text("NSFileType", s.BSFileType, d.BSFileType)) r.Forget("NSFileType");
    } else {
        r.Text("BSFileType", s.BSFileType, d.BSFileType);
    }
    r.Flag("OpenCancelledUrl", s.OpenCancelledUrl, d.OpenCancelledUrl);
    r.Flag("VirusCheck", s.VirusCheck, d.VirusCheck);
    if (!r.Text("Scanner", s.Scanner, d.Scanner) || s.Scanner.empty()) {
        s.Scanner = "";
        s.VirusCheck = 0;
    }
    r.Text("ScannerArg", s.ScannerArg, d.ScannerArg);
    r.Flag("UseDefaultProxy", s.UseDefaultProxy, d.UseDefaultProxy);
    if (dialup) r.Flag("UseDialup", s.UseDialup, d.UseDialup); else s.UseDialup = 0;
    if (!r.Text("DialupEntry", s.DialupEntry, d.DialupEntry) ||
        (!s.DialupEntry.empty() && !PhonebookEntryExists(s.DialupEntry.str()))) {
        s.DialupEntry = "";
        s.UseDialup = 0;
    }
    r.Int("DialupAttempt", s.DialupAttempt, d.DialupAttempt, 1, 100);
    r.Int("DialupWait", s.DialupWait, d.DialupWait, 1, 60);
    r.Text("DialupUser", s.DialupUser, d.DialupUser);
    if (version > kOldestSettingsVersion) {
        std::string cipher;
        s.DialupPassword = r.Raw("DialupPassword", 81, cipher) ? DecipherPassword(cipher) : "";
    } else {
        r.Text("DialupPassword", s.DialupPassword, "");  // plain, from an older version
    }
    if (s.UseDialup == 1) r.Flag("AutoDialup", s.AutoDialup, d.AutoDialup); else s.AutoDialup = 0;
    r.Text("ReestablishWinTitle", s.ReestablishWinTitle, d.ReestablishWinTitle);
    if (s.ReestablishWinTitle.empty()) s.ReestablishWinTitle = kDefaultReestablishWinTitle;
    r.Flag("ScheduleDownload", s.ScheduleDownload, d.ScheduleDownload);
    r.Int("ScheduleDownloadHour", s.ScheduleDownloadHour, d.ScheduleDownloadHour, 0, 23);
    r.Int("ScheduleDownloadMin", s.ScheduleDownloadMin, d.ScheduleDownloadMin, 0, 59);
    r.Flag("ScheduleHangup", s.ScheduleHangup, d.ScheduleHangup);
    r.Int("ScheduleHangupHour", s.ScheduleHangupHour, d.ScheduleHangupHour, 0, 23);
    r.Int("ScheduleHangupMin", s.ScheduleHangupMin, d.ScheduleHangupMin, 0, 59);
    r.Colour("WavebarBackColor", s.WavebarBackColor, d.WavebarBackColor);
    r.Colour("WavebarPlotBeginColor", s.WavebarPlotBeginColor, d.WavebarPlotBeginColor);
    r.Colour("WavebarPlotEndColor", s.WavebarPlotEndColor, d.WavebarPlotEndColor);
    r.Colour("WavebarScaleColor", s.WavebarScaleColor, d.WavebarScaleColor);
    r.Text("SkinEntry", s.SkinEntry, d.SkinEntry);
    if (!s.SkinEntry.empty() && !SkinExists(s.SkinEntry)) s.SkinEntry = "";
    r.Text("Referer", s.Referer, d.Referer);
    r.Text("UserAgent", s.UserAgent, d.UserAgent);
    if (s.UserAgent.empty() || IsOwnAgent(s.UserAgent)) s.UserAgent = kDefaultUserAgent;
    r.Text("ASCFileType", s.ASCFileType, d.ASCFileType);

    RegCloseKey(key);  // saves the removal of an older value name, if any
    return true;
}

bool SaveSettings(const Settings& s) {
    HKey key;
    if (int32_t rc = RegCreateKey(kConfigureKey, key); rc != ERROR_SUCCESS) {
        FailureBox("RegCreateKeyEx", rc);
        return false;
    }
    FieldWriter w(key);
    w.Int("MaxError", s.MaxError);
    w.Number("AlwaysRetry", s.AlwaysRetry);
    w.Int("RetryDelay", s.RetryDelay);
    w.Int("ConnectTimeout", s.ConnectTimeout);
    w.Int("ReceiveTimeout", s.ReceiveTimeout);
    w.Int("MaxRunJob", s.MaxRunJob);
    w.Int("BandWidthMode", s.BandWidthMode);
    w.Int("MaxBandWidth", s.MaxBandWidth);
    w.Int("YieldBandWidth", s.YieldBandWidth);
    w.Int("BandWidth", s.BandWidth);
    w.Int("FileExistMode", s.FileExistMode);
    w.Number("ShowAddJob", s.ShowAddJob);
    w.Number("AutoDelJob", s.AutoDelJob);
    w.Number("AutoStartJob", s.AutoStartJob);
    w.Number("StopNoResume", s.StopNoResume);
    w.Number("UseCookie", s.UseCookie);
    w.Number("GetFileDate", s.GetFileDate);
    w.Number("CreateNFO", s.CreateNFO);
    w.Text("DefaultDirectory", s.DefaultDirectory);
    w.Int("DefaultAntNumber", s.DefaultAntNumber);
    w.Number("DefaultDoItNow", s.DefaultDoItNow);
    w.Number("StartAsTray", s.StartAsTray);
    w.Number("AutoSave", s.AutoSave);
    w.Int("AutoSaveSize", s.AutoSaveSize);
    w.Int("HistoScale", s.HistoScale);
    w.Int("HistoSample", s.HistoSample);
    w.Number("SendPop", s.SendPop);
    w.Number("ShowNotify", s.ShowNotify);
    w.Text("SendPopTo", s.SendPopTo);
    w.Number("UseSound", s.UseSound);
    w.Number("AutoHangup", s.AutoHangup);
    w.Number("AutoExit", s.AutoExit);
    w.Number("AutoShutdown", s.AutoShutdown);
    w.Number("AutoBackup", s.AutoBackup);
    w.Number("MonitorClipboard", s.MonitorClipboard);
    w.Text("CBFileType", s.CBFileType);
    w.Number("IntegrateBrowser", s.IntegrateBrowser);
    w.Text("BSFileType", s.BSFileType);
    w.Number("OpenCancelledUrl", s.OpenCancelledUrl);
    w.Number("VirusCheck", s.VirusCheck);
    w.Text("Scanner", s.Scanner);
    w.Text("ScannerArg", s.ScannerArg);
    w.Number("UseDefaultProxy", s.UseDefaultProxy);
    w.Number("UseDialup", s.UseDialup);
    w.Text("DialupEntry", s.DialupEntry);
    w.Int("DialupAttempt", s.DialupAttempt);
    w.Int("DialupWait", s.DialupWait);
    w.Text("DialupUser", s.DialupUser);
    w.Text("DialupPassword", EncipherPassword(s.DialupPassword.str()));
    w.Number("AutoDialup", s.AutoDialup);
    w.Text("ReestablishWinTitle", s.ReestablishWinTitle);
    w.Number("ScheduleDownload", s.ScheduleDownload);
    w.Int("ScheduleDownloadHour", s.ScheduleDownloadHour);
    w.Int("ScheduleDownloadMin", s.ScheduleDownloadMin);
    w.Number("ScheduleHangup", s.ScheduleHangup);
    w.Int("ScheduleHangupHour", s.ScheduleHangupHour);
    w.Int("ScheduleHangupMin", s.ScheduleHangupMin);
    w.Number("WavebarBackColor", s.WavebarBackColor);
    w.Number("WavebarPlotBeginColor", s.WavebarPlotBeginColor);
    w.Number("WavebarPlotEndColor", s.WavebarPlotEndColor);
    w.Number("WavebarScaleColor", s.WavebarScaleColor);
    w.Text("SkinEntry", s.SkinEntry);
    w.Text("Referer", s.Referer);
    w.Text("UserAgent", s.UserAgent);
    w.Text("ASCFileType", s.ASCFileType);
    if (w.Result() != ERROR_SUCCESS) {
        FailureBox("RegSetValueEx", w.Result());
        RegCloseKey(key);  // what was written before the failure stays
        return false;
    }

    // The version goes into the same save as the fields: a crash in between must not
    // leave enciphered passwords marked as plain ones of an older version.
    HKey kestova;
    if (int32_t rc = RegCreateKey(kKestovaKey, kestova); rc != ERROR_SUCCESS) {
        FailureBox("RegCreateKeyEx", rc);
        return false;
    }
    if (int32_t rc = RegSetDword(kestova, "Version", kSettingsVersion); rc != ERROR_SUCCESS) {
        FailureBox("RegSetValueEx", rc);
        return false;
    }
    // Closing saves the hive; a save that does not reach the disk is a failed write.
    int32_t rc = RegCloseKey(key);
    if (int32_t rc2 = RegCloseKey(kestova); rc == ERROR_SUCCESS) rc = rc2;
    if (rc != ERROR_SUCCESS) {
        FailureBox("RegSetValueEx", rc);
        return false;
    }
    return true;
}

}  // namespace kv
