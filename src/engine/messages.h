#pragma once
// The messages between engine threads and windows, the change flags that tell the job
// window and the info window what to redraw, and the windows the engine reports to.
//
// Several numbers mean different things depending on where they go: 1025 is `MSG_STOP`
// to a job or ant thread and `MSG_LOG_CREATE` to the log window. The groups below are
// kept apart for that reason; never compare a message with a constant of another group.
#include "platform/msg.h"

#include <atomic>
#include <cstdint>
#include <functional>

namespace kv {

struct JobRecord;

// ---- thread messages (to job threads and ant threads; post with PostThreadMessageRetry)

inline constexpr uint32_t MSG_START_ANT = 1024;    // to job thread, wParam ant index
inline constexpr uint32_t MSG_STOP = 1025;         // to job thread (wParam ant index; before
                                                   // the ants run, 0 cancels the job) or to
                                                   // an ant (wParam 0)
inline constexpr uint32_t MSG_ANT_STARTED = 1026;  // to job thread, from an ant
inline constexpr uint32_t MSG_ANT_ENDED = 1027;    // to job thread: the ant freed its slot
inline constexpr uint32_t MSG_STOP_JOB = 1028;     // to job thread: stop the whole job
inline constexpr uint32_t MSG_RESTART_ANT = 1032;  // to job thread (wParam ant index) or to
                                                   // an ant (reconnect)

// ---- window messages from the engine (lParam = JobRecord* unless said otherwise)

inline constexpr uint32_t MSG_BLOCK_CHANGED = 2024;      // block window, posted, wParam block
inline constexpr uint32_t MSG_BLOCK_MAP_CHANGED = 2031;  // block window, posted
inline constexpr uint32_t MSG_BYTES_RECEIVED = 2032;     // main window, posted, wParam bytes,
                                                         // lParam 0
inline constexpr uint32_t MSG_JOB_RESTART = 2035;        // main window, posted
inline constexpr uint32_t MSG_JOB_ENDED = 2036;          // main window, posted, wParam result
inline constexpr uint32_t MSG_SAVE_JOB = 2037;           // main window, sent (JobMutex held)
inline constexpr uint32_t MSG_BANDWIDTH_REQUEST = 2039;  // main window, posted, wParam bytes,
                                                         // lParam the event to signal
inline constexpr uint32_t MSG_DIAL_NOW = 2047;           // main window, sent, lParam 0
inline constexpr uint32_t MSG_JOB_INFO_CHANGED = 2055;   // info window, sent, wParam info flags
inline constexpr uint32_t MSG_NOTIFY_TEXT = 2061;        // notify window, sent, lParam text

// ---- log window messages (all sent to the log window)

inline constexpr uint32_t MSG_LOG_CREATE = 1025;    // wParam pages 0..5, lParam job
inline constexpr uint32_t MSG_LOG_DELETE = 1026;    // lParam job
inline constexpr uint32_t MSG_LOG_CLEAR = 1027;     // lParam job
inline constexpr uint32_t MSG_LOG_SELECT = 1028;    // lParam job or 0
inline constexpr uint32_t MSG_LOG_RESET = 1029;     // wParam pages 0..5, lParam job
inline constexpr uint32_t MSG_LOG_LINE = 1030;      // lParam const LogLine*
inline constexpr uint32_t MSG_LOG_ADD_ANTS = 1031;  // wParam n, lParam job

// ---- log entry types (they choose the log view's colours)

inline constexpr uint32_t LOG_NORMAL = 0;   // progress
inline constexpr uint32_t LOG_REQUEST = 1;  // text sent to the server
inline constexpr uint32_t LOG_REPLY = 2;    // header blocks and control replies received
inline constexpr uint32_t LOG_SUCCESS = 3;  // a step that succeeded
inline constexpr uint32_t LOG_FAIL = 4;     // errors

// ---- change flags of the job window's row: one bit per column, in column order

inline constexpr uint32_t ROW_STATE = 1;
inline constexpr uint32_t ROW_FILE = 2;
inline constexpr uint32_t ROW_PRIORITY = 4;
inline constexpr uint32_t ROW_SIZE = 8;
inline constexpr uint32_t ROW_RATIO = 16;
inline constexpr uint32_t ROW_BPS = 32;
inline constexpr uint32_t ROW_TIME_ELAPSED = 64;
inline constexpr uint32_t ROW_TIME_LEFT = 128;
inline constexpr uint32_t ROW_ANT_NUMBER = 256;
inline constexpr uint32_t ROW_ERROR = 512;
inline constexpr uint32_t ROW_TARGET = 1024;
inline constexpr uint32_t ROW_COMMENT = 2048;

// ---- info-row flags of MSG_JOB_INFO_CHANGED: one bit per row of the info view

inline constexpr uint32_t INFO_TARGET = 1;
inline constexpr uint32_t INFO_LOCAL_FILE = 2;
inline constexpr uint32_t INFO_FILE_DATE = 4;
inline constexpr uint32_t INFO_DOWNLOAD_DATE = 8;
inline constexpr uint32_t INFO_FILE_SIZE = 16;
inline constexpr uint32_t INFO_BYTE_RECEIVED = 32;
inline constexpr uint32_t INFO_BYTE_LEFT = 64;
inline constexpr uint32_t INFO_RESUME = 128;
inline constexpr uint32_t INFO_COMMENT = 256;
inline constexpr uint32_t INFO_TIME_ELAPSED = 512;
inline constexpr uint32_t INFO_TIME_LEFT = 1024;
inline constexpr uint32_t INFO_CURRENT_BPS = 2048;
inline constexpr uint32_t INFO_ERROR = 4096;

// ---- the combinations the engine and the job list use

inline constexpr uint32_t ROW_AFTER_BLOCK = ROW_RATIO;
inline constexpr uint32_t INFO_AFTER_BLOCK = INFO_BYTE_RECEIVED | INFO_BYTE_LEFT;
inline constexpr uint32_t ROW_AFTER_ERROR = ROW_ERROR;
inline constexpr uint32_t INFO_AFTER_ERROR = INFO_ERROR;
inline constexpr uint32_t ROW_RESUME_CHANGED = ROW_STATE;
inline constexpr uint32_t INFO_RESUME_CHANGED = INFO_RESUME;
inline constexpr uint32_t ROW_SIZE_LEARNED = ROW_STATE | ROW_SIZE | ROW_RATIO;
inline constexpr uint32_t INFO_SIZE_LEARNED =
    INFO_FILE_SIZE | INFO_BYTE_RECEIVED | INFO_BYTE_LEFT | INFO_RESUME;
inline constexpr uint32_t INFO_FILE_DATE_SET = INFO_FILE_DATE;
inline constexpr uint32_t ROW_LOCAL_FILE_CHANGED = ROW_FILE;
inline constexpr uint32_t INFO_LOCAL_FILE_CHANGED = INFO_LOCAL_FILE;
inline constexpr uint32_t ROW_ANTS_CHANGED = ROW_ANT_NUMBER;
inline constexpr uint32_t ROW_JOB_START = ROW_STATE | ROW_SIZE | ROW_RATIO | ROW_BPS |
                                          ROW_TIME_ELAPSED | ROW_TIME_LEFT |
                                          ROW_ANT_NUMBER | ROW_ERROR | ROW_TARGET;
inline constexpr uint32_t INFO_JOB_START = INFO_TARGET | INFO_FILE_SIZE |
                                           INFO_BYTE_RECEIVED | INFO_BYTE_LEFT |
                                           INFO_RESUME | INFO_TIME_ELAPSED |
                                           INFO_TIME_LEFT | INFO_CURRENT_BPS | INFO_ERROR;
inline constexpr uint32_t INFO_DOWNLOAD_DATE_CHANGED = INFO_DOWNLOAD_DATE;
inline constexpr uint32_t ROW_SPEED_SAMPLE = ROW_BPS | ROW_TIME_ELAPSED | ROW_TIME_LEFT;
inline constexpr uint32_t INFO_SPEED_SAMPLE =
    INFO_TIME_ELAPSED | INFO_TIME_LEFT | INFO_CURRENT_BPS;
inline constexpr uint32_t ROW_BETWEEN_SAMPLES = ROW_TIME_ELAPSED;
inline constexpr uint32_t INFO_BETWEEN_SAMPLES = INFO_TIME_ELAPSED;

static_assert(ROW_SIZE_LEARNED == 25 && INFO_SIZE_LEARNED == 240);
static_assert(INFO_AFTER_BLOCK == 96);
static_assert(ROW_JOB_START == 2041 && INFO_JOB_START == 7921);
static_assert(ROW_SPEED_SAMPLE == 224 && INFO_SPEED_SAMPLE == 3584);

// ---- the windows the engine reports to

// Set by the user-interface thread as it creates them (nullptr while there is none);
// engine threads read them. A message to a missing window goes nowhere.
struct EngineWindowHandles {
    std::atomic<HWND> mainWindow{nullptr};
    std::atomic<HWND> blockWindow{nullptr};
    std::atomic<HWND> infoWindow{nullptr};
    std::atomic<HWND> logWindow{nullptr};
    std::atomic<HWND> notifyWindow{nullptr};
};
EngineWindowHandles& EngineWindows();

// The engine asks the job window to redraw columns of a job's row through this hook
// (`rowFlags` as above). The job window installs it; it is called from engine threads,
// so it must hand the request to the user-interface thread itself, and it does nothing
// for a job without a row. Without a hook nothing happens.
using JobRowRefresher = std::function<void(JobRecord* job, uint32_t rowFlags)>;
void SetJobRowRefresher(JobRowRefresher refresher);
void RefreshJobRow(JobRecord* job, uint32_t rowFlags);

// Sends MSG_JOB_INFO_CHANGED with `infoFlags` to the info window (waits until it is
// handled).
void NotifyJobInfoChanged(JobRecord* job, uint32_t infoFlags);

inline LPARAM JobParam(JobRecord* job) { return reinterpret_cast<LPARAM>(job); }
inline JobRecord* JobFromParam(LPARAM lParam) { return reinterpret_cast<JobRecord*>(lParam); }

}  // namespace kv
