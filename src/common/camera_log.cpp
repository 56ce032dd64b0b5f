#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
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

// An owner that never closed its log (a failed connection, a forgotten disconnect) does not leak the
// file.
cameralog::~cameralog() {
    log_close(this);
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
    if (log == nullptr || switch_value == 0 || log->file.load() == nullptr) return;
    char message[kMessageBufferSize] = {};
    std::vsnprintf(message, sizeof message, format, args);
    char time_text[kTimeBufferSize] = {};
    FormatLocalTime(time_text);
    // The file is looked at again under the lock: a close may have come in between.
    std::lock_guard<std::mutex> writing(log->lock);
    FILE* file = log->file.load();
    if (file == nullptr) return;
    // One write per line, so lines of different threads never interleave.
    std::fprintf(file, "%s[%s]%s\n", tag, time_text, message);
}

bool IsSafeNameCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
}

// The file name for a base name that comes from a camera: only safe characters, no leading dot (so
// neither "." nor ".." nor a hidden file), at most 19 of them, then ".log".
void SafeFileName(const char* base_name, char (&file_name)[kMaxBaseNameLength + sizeof ".log"]) {
    size_t length = 0;
    for (const char* c = base_name != nullptr ? base_name : ""; *c != '\0'; ++c) {
        if (length == kMaxBaseNameLength) break;
        if (!IsSafeNameCharacter(*c) || (length == 0 && *c == '.')) continue;
        file_name[length++] = *c;
    }
    std::memcpy(file_name + length, ".log", sizeof ".log");
}

// Created or truncated, never through a symbolic link and only when it is a regular file (a FIFO
// would block the camera's connection, a device must not be truncated).
FILE* OpenLogFile(const char* file_name) {
    const int fd = ::open(file_name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return nullptr;
    struct stat status {};
    FILE* file = nullptr;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && ::ftruncate(fd, 0) == 0)
        file = ::fdopen(fd, "w+");
    if (file == nullptr) ::close(fd);
    return file;
}

}  // namespace

int log_open(cameralog* log, const char* base_name) {
    if (log == nullptr) return -12;
    if (!LogSwitches::AnyOn()) return 0;
    log_close(log);
    char file_name[kMaxBaseNameLength + sizeof ".log"] = {};
    SafeFileName(base_name, file_name);
    FILE* file = OpenLogFile(file_name);
    std::lock_guard<std::mutex> opening(log->lock);
    log->file = file;
    return file != nullptr ? 0 : -12;
}

void log_close(cameralog* log) {
    if (log == nullptr) return;
    std::lock_guard<std::mutex> closing(log->lock);
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
