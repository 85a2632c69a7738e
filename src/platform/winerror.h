#pragma once
// The system error codes the stand-ins report, with the numbers the programs and their
// logs know. One place for all of them.
#include <cstdint>

namespace kv {

inline constexpr int32_t ERROR_SUCCESS = 0;
inline constexpr int32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr int32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr int32_t ERROR_ACCESS_DENIED = 5;             // also: window of another thread
inline constexpr int32_t ERROR_INVALID_HANDLE = 6;
inline constexpr int32_t ERROR_WRITE_FAULT = 29;
inline constexpr int32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr int32_t ERROR_DISK_FULL = 112;
inline constexpr int32_t ERROR_MORE_DATA = 234;
inline constexpr int32_t ERROR_NO_MORE_ITEMS = 259;
inline constexpr int32_t ERROR_KEY_DELETED = 1018;
inline constexpr int32_t ERROR_INVALID_WINDOW_HANDLE = 1400;  // no such window
inline constexpr int32_t ERROR_INVALID_THREAD_ID = 1444;      // no such thread
inline constexpr int32_t ERROR_UNSUPPORTED_TYPE = 1630;
inline constexpr int32_t ERROR_NOT_ENOUGH_QUOTA = 1816;       // the target queue is full

}  // namespace kv
