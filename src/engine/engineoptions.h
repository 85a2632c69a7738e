#pragma once
// What the engine reads of the preferences and of the proxy list. The program that hosts
// the engine (the desktop program, kvget, a test) owns the settings; it hands the engine a
// copy here whenever they change, and installs the hooks once before any job starts.
// A job thread takes its own copy when it starts, so a change of the preferences reaches
// jobs started after it.
#include <cstdint>
#include <functional>
#include <string>

namespace kv {

struct JobRecord;
struct ProxyEntry;

// Values of `FileExistMode`, and the answers of the file-exists dialog.
inline constexpr int32_t FileExistPrompt = 0;
inline constexpr int32_t FileExistOverwrite = 1;
inline constexpr int32_t FileExistResume = 2;
inline constexpr int32_t FileExistAutoRename = 3;
inline constexpr int32_t FileExistCancel = 4;

struct EngineOptions {
    int32_t FileExistMode = FileExistPrompt;
    bool AutoSave = true;
    int32_t AutoSaveSize = 100;  // blocks (KB)
    bool StopNoResume = false;
    bool UseCookie = false;
    bool GetFileDate = true;
    bool CreateNFO = false;
    bool SendPop = false;
    std::string SendPopTo;
    bool ShowNotify = false;
    bool UseSound = false;
    bool VirusCheck = false;
    std::string Scanner;
    std::string ScannerArg;
    bool UseDefaultProxy = false;
    int32_t DefaultHTTPProxy = 0;
    int32_t DefaultFTPProxy = 0;
    std::string ASCFileType;
};

struct EngineHooks {
    // Copies proxy entry `id` of the proxy list; false when there is none. Without a hook
    // only entry 0, the direct connection, exists.
    std::function<bool(int32_t id, ProxyEntry& copy)> GetProxyEntry;
    // The file-exists dialog for `path`, asked on the job thread (it must hand the
    // question to the user-interface thread and wait): 1 Overwrite, 2 Resume, 3 Auto
    // Rename, 4 Cancel (or closed), -1 when it can't be shown. Without a hook the
    // dialog can't be shown.
    std::function<int(JobRecord& job, const std::string& path)> FileExistDialog;
    // The browser's cookies for a URL ("a=1; b=2"); none without a hook.
    std::function<std::string(const std::string& url)> CookieLookup;
};

// Set from the user-interface thread; read (as a copy) by any thread.
void SetEngineOptions(const EngineOptions& options);
EngineOptions CurrentEngineOptions();

// Installed once at start-up, before any job thread runs.
void SetEngineHooks(EngineHooks hooks);
const EngineHooks& CurrentEngineHooks();

}  // namespace kv
