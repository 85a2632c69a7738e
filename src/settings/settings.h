#pragma once
// The download manager's configuration record and its store under
// HKEY_CURRENT_USER\Software\Kestova\Configure, one value per field, named as the field.
//
// One record, AppSettings(), for the whole run: loaded once at start-up, written back when
// the main window closes and when the Preferences sheet is confirmed. Every thread reads it
// without a lock; only the user-interface thread writes it, a 32-bit field at a time or
// (the Preferences sheet) the whole record. Texts are fixed buffers, so a reader that races
// a writer sees at worst a mixed text, never freed memory.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kv {

// A zero-terminated text in a buffer of N bytes: at most N - 1 bytes; longer texts are cut
// when assigned.
template <size_t N>
class FixedText {
public:
    static constexpr size_t kSize = N;  // bytes, with the terminating zero

    FixedText() = default;
    FixedText(std::string_view text) { assign(text); }  // NOLINT: texts convert freely
    FixedText& operator=(std::string_view text) {
        assign(text);
        return *this;
    }
    void assign(std::string_view text) {
        size_t n = text.size() < N - 1 ? text.size() : N - 1;
        std::memcpy(data_, text.data(), n);
        std::memset(data_ + n, 0, N - n);
    }

    const char* c_str() const { return data_; }
    size_t size() const { return ::strnlen(data_, N); }
    bool empty() const { return data_[0] == '\0'; }
    std::string_view view() const { return std::string_view(data_, size()); }
    std::string str() const { return std::string(view()); }
    operator std::string_view() const { return view(); }  // NOLINT

    friend bool operator==(const FixedText& a, const FixedText& b) { return a.view() == b.view(); }
    friend bool operator==(const FixedText& a, std::string_view b) { return a.view() == b; }

private:
    char data_[N] = {};
};

struct Settings {
    int32_t MaxError = 0;
    uint32_t AlwaysRetry = 0;
    int32_t RetryDelay = 0;
    int32_t ConnectTimeout = 0;
    int32_t ReceiveTimeout = 0;
    int32_t MaxRunJob = 0;
    int32_t BandWidthMode = 0;      // 0 unlimited, 1 manual, 2 automatic
    int32_t MaxBandWidth = 0;       // bytes per second
    int32_t YieldBandWidth = 0;     // bytes per second
    int32_t BandWidth = 0;          // bytes per second, 0 to MaxBandWidth
    int32_t FileExistMode = 0;      // 0 prompt, 1 overwrite, 2 resume, 3 auto rename, 4 cancel
    uint32_t ShowAddJob = 0;
    uint32_t AutoDelJob = 0;
    uint32_t AutoStartJob = 0;
    uint32_t StopNoResume = 0;
    uint32_t UseCookie = 0;
    uint32_t GetFileDate = 0;
    uint32_t CreateNFO = 0;
    FixedText<261> DefaultDirectory;
    int32_t DefaultAntNumber = 0;
    uint32_t DefaultDoItNow = 0;
    uint32_t StartAsTray = 0;
    uint32_t AutoSave = 0;
    int32_t AutoSaveSize = 0;       // blocks of 1024 bytes
    int32_t HistoScale = 0;
    int32_t HistoSample = 0;        // seconds
    uint32_t SendPop = 0;
    uint32_t ShowNotify = 0;
    FixedText<51> SendPopTo;
    uint32_t UseSound = 0;
    uint32_t AutoHangup = 0;
    uint32_t AutoExit = 0;
    uint32_t AutoShutdown = 0;
    uint32_t AutoBackup = 0;
    uint32_t MonitorClipboard = 0;
    FixedText<200> CBFileType;
    uint32_t IntegrateBrowser = 0;
    FixedText<200> BSFileType;
    uint32_t OpenCancelledUrl = 0;
    uint32_t VirusCheck = 0;
    FixedText<261> Scanner;
    FixedText<101> ScannerArg;
    uint32_t UseDefaultProxy = 0;
    uint32_t UseDialup = 0;
    FixedText<51> DialupEntry;
    int32_t DialupAttempt = 0;
    int32_t DialupWait = 0;
    FixedText<51> DialupUser;
    FixedText<51> DialupPassword;   // plain in memory, enciphered in the registry
    uint32_t AutoDialup = 0;
    FixedText<51> ReestablishWinTitle;
    uint32_t ScheduleDownload = 0;
    int32_t ScheduleDownloadHour = 0;
    int32_t ScheduleDownloadMin = 0;
    uint32_t ScheduleHangup = 0;
    int32_t ScheduleHangupHour = 0;
    int32_t ScheduleHangupMin = 0;
    uint32_t WavebarBackColor = 0;  // colours: RGB, red in the low byte
    uint32_t WavebarPlotBeginColor = 0;
    uint32_t WavebarPlotEndColor = 0;
    uint32_t WavebarScaleColor = 0;
    FixedText<51> SkinEntry;
    FixedText<301> Referer;
    FixedText<101> UserAgent;
    FixedText<200> ASCFileType;

    friend bool operator==(const Settings&, const Settings&) = default;
};

// Format version this program writes under Software\Kestova as "Version", and the one a
// missing or mistyped "Version" stands for. Passwords are enciphered in data of a version
// above kOldestSettingsVersion.
inline constexpr uint32_t kSettingsVersion = 0x01220100;
inline constexpr uint32_t kOldestSettingsVersion = 0x01000230;

inline constexpr const char* kKestovaKey = "Software\\Kestova";
inline constexpr const char* kConfigureKey = "Software\\Kestova\\Configure";
inline constexpr const char* kDefaultUserAgent = "Kestova/1.22";
inline constexpr const char* kDefaultReestablishWinTitle = "Reestablish Connection";
inline constexpr const char* kDefaultFileTypes = "zip exe bin gz z tar arj lzh mp3 ";

// The process's one record. Holds zeros until LoadSettings fills it.
Settings& AppSettings();

// The record every field at its default ("c:\" being the user's download folder).
Settings DefaultSettings();

// Fills `settings` from the registry; every missing, unreadable or out-of-range value takes
// its default. Never fails.
bool LoadSettings(Settings& settings);

// Writes every field, then the version. On failure shows the failure box naming
// "RegCreateKeyEx" or "RegSetValueEx" and returns false; the values after the failing one
// keep what they held.
bool SaveSettings(const Settings& settings);

}  // namespace kv
