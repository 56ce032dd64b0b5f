#pragma once
// The per-object log file and the four process-wide level switches.

#include <atomic>
#include <cstdio>
#include <mutex>

#include "TaviSDK/Export.h"

// The process-wide level switches; a level is written when its switch is non-zero. They are set
// through Discovery::SetLogLevelSwitch and turned off when any Discovery or GigeCamera is destroyed.
struct TAVI_API LogSwitches {
    static std::atomic<int> error;
    static std::atomic<int> warning;
    static std::atomic<int> info;
    static std::atomic<int> debug;
    static bool AnyOn();
    static void AllOff();
};

// One log file. Owned by a Discovery or a GigeCamera; a camera's streams write into their camera's log.
// Destroying it closes a file still open, and turns every switch off process-wide.
class TAVI_API cameralog {
  public:
    cameralog() = default;
    ~cameralog();
    cameralog(const cameralog&) = delete;
    cameralog& operator=(const cameralog&) = delete;

    std::atomic<FILE*> file{nullptr};
    // Held while a line is written and while the file is opened or closed, so that a stream thread
    // logging while its camera disconnects never writes to a closed file.
    std::mutex lock;
};

// Opens "<base_name>.log" in the current directory, truncating it; -12 on a null log or a failed
// open, 0 without opening anything when every switch is off. The base name is a camera's serial
// number, so only its letters, digits, '-', '_' and '.' are kept, leading dots dropped, and the rest
// cut to 19 characters: the file always lands in the current directory. A symbolic link or anything
// but a regular file at that name is not opened (-12). A log that is already open is closed first.
TAVI_API int log_open(cameralog* log, const char* base_name);
TAVI_API void log_close(cameralog* log);

// Each writes one line "<tag>[<local time>]<message>\n" when the log is open and `switch_value` is
// non-zero. A message longer than 255 characters is cut to 255.
TAVI_API void log_error(cameralog* log, int switch_value, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
TAVI_API void log_warning(cameralog* log, int switch_value, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
TAVI_API void log_info(cameralog* log, int switch_value, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
TAVI_API void log_debug(cameralog* log, int switch_value, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The writers above, each reading its own switch.
#define TAVI_LOG_ERROR(log, ...) \
    log_error((log), LogSwitches::error.load(std::memory_order_relaxed), __VA_ARGS__)
#define TAVI_LOG_WARNING(log, ...) \
    log_warning((log), LogSwitches::warning.load(std::memory_order_relaxed), __VA_ARGS__)
#define TAVI_LOG_INFO(log, ...) \
    log_info((log), LogSwitches::info.load(std::memory_order_relaxed), __VA_ARGS__)
// Debug lines stand in the receive thread's path of every packet: their switch is read before the
// call, so that a switched-off debug log costs one load and no formatting arguments.
#define TAVI_LOG_DEBUG(log, ...)                                                          \
    do {                                                                                  \
        const int tavi_debug_switch = LogSwitches::debug.load(std::memory_order_relaxed); \
        if (tavi_debug_switch != 0) log_debug((log), tavi_debug_switch, __VA_ARGS__);     \
    } while (0)
