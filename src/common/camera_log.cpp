#include <sys/time.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "TaviSDK/CameraLog.h"

std::atomic<int> LogSwitches::error{0};
std::atomic<int> LogSwitches::warning{0};
std::atomic<int> LogSwitches::info{0};
std::atomic<int> LogSwitches::debug{0};

bool LogSwitches::AnyOn() {
    return error.load(std::memory_order_relaxed) != 0 || warning.load(std::memory_order_relaxed) != 0 ||
           info.load(std::memory_order_relaxed) != 0 || debug.load(std::memory_order_relaxed) != 0;
}

void LogSwitches::AllOff() {
    error = 0;
    warning = 0;
    info = 0;
    debug = 0;
}

// Destroying a log leaves its file to its owner's close, and turns every switch off process-wide.
cameralog::~cameralog() {
    file = nullptr;
    LogSwitches::AllOff();
}

namespace {

constexpr size_t kMaxBaseNameLength = 19;
constexpr size_t kMessageBufferSize = 256;
constexpr size_t kTimeBufferSize = 84;

void FormatLocalTime(char (&out)[kTimeBufferSize]) {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    std::snprintf(out, sizeof out, "%d/%d/%d  %d:%d:%d.%d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(now.tv_usec / 1000));
}

void WriteLine(cameralog* log, int switch_value, const char* tag, const char* format, va_list args) {
    if (log == nullptr || switch_value == 0) return;
    FILE* file = log->file.load();
    if (file == nullptr) return;
    char message[kMessageBufferSize] = {};
    std::vsnprintf(message, sizeof message, format, args);
    char time_text[kTimeBufferSize] = {};
    FormatLocalTime(time_text);
    // One write per line, so lines of different threads never interleave.
    std::fprintf(file, "%s[%s]%s\n", tag, time_text, message);
}

}  // namespace

int log_open(cameralog* log, const char* base_name) {
    if (log == nullptr) return -12;
    if (!LogSwitches::AnyOn()) return 0;
    log_close(log);
    char file_name[kMaxBaseNameLength + sizeof ".log"] = {};
    std::snprintf(file_name, sizeof file_name, "%.*s.log", static_cast<int>(kMaxBaseNameLength),
                  base_name != nullptr ? base_name : "");
    FILE* file = std::fopen(file_name, "w+");
    log->file = file;
    return file != nullptr ? 0 : -12;
}

void log_close(cameralog* log) {
    if (log == nullptr) return;
    FILE* file = log->file.exchange(nullptr);
    if (file != nullptr) std::fclose(file);
}

#define TAVI_DEFINE_LOG_WRITER(name, tag)                                  \
    void name(cameralog* log, int switch_value, const char* format, ...) { \
        va_list args;                                                      \
        va_start(args, format);                                            \
        WriteLine(log, switch_value, tag, format, args);                   \
        va_end(args);                                                      \
    }

TAVI_DEFINE_LOG_WRITER(log_error, "[E]")
TAVI_DEFINE_LOG_WRITER(log_warning, "[W]")
TAVI_DEFINE_LOG_WRITER(log_info, "[I]")
TAVI_DEFINE_LOG_WRITER(log_debug, "[D]")
