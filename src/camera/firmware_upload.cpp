// The firmware file's way to the camera: libcurl's FTP upload, binary, with bounded waits.

#include "camera/firmware_upload.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "TaviSDK/Types.h"

namespace tavi {

namespace {

constexpr const char* kUser = "plown";
constexpr const char* kPassword = "plown";
constexpr const char* kRemoteDirectory = "/var/";
constexpr const char* kNoAddress = "0.0.0.0";
constexpr int kProgressSteps = 10;  // one progress line per tenth of the file

// The server's answer to a completed login.
constexpr const char* kLoggedInReply = "230";

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
struct EasyCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

// What the callbacks learn during one upload.
struct UploadState {
    cameralog* log = nullptr;
    bool logged_in = false;
    int progress_step = 0;
};

// The server's answers come here line by line; the login's answer marks the end of connecting.
size_t OnServerLine(char* line, size_t size, size_t count, void* user) {
    auto* state = static_cast<UploadState*>(user);
    const size_t length = size * count;
    if (length >= 3 && std::memcmp(line, kLoggedInReply, 3) == 0) state->logged_in = true;
    return length;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t total, curl_off_t sent) {
    auto* state = static_cast<UploadState*>(user);
    if (total <= 0) return 0;
    const int step = static_cast<int>(sent * kProgressSteps / total);
    if (step > state->progress_step) {
        state->progress_step = step;
        TAVI_LOG_INFO(state->log, "[function:FirmwareUpgrade] Uploaded %lld of %lld bytes of the firmware.",
                      static_cast<long long>(sent), static_cast<long long>(total));
    }
    return 0;
}

// The file's name: the text after the last '/' or '\' (the whole path when there is none).
const char* FileName(const char* path) {
    const char* name = path;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\') name = c + 1;
    }
    return name;
}

// Opens the local file when it is a regular one; its size in `size`.
std::unique_ptr<FILE, FileCloser> OpenRegularFile(const char* path, curl_off_t* size) {
    if (path == nullptr) return nullptr;
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "rb"));
    struct stat status {};
    if (!file || fstat(fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
    *size = static_cast<curl_off_t>(status.st_size);
    return file;
}

bool CurlReady() {
    // Once per process, before any handle; thread-safe through the static's initialisation.
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

// ftp://server:port/%2Fvar/<name>: the encoded slash makes the path absolute on the server, and
// the name is escaped, so spaces or '#' in it reach the server as they are.
std::string UploadUrl(CURL* curl, const char* server, int port, const char* name) {
    std::unique_ptr<char, decltype(&curl_free)> escaped(curl_easy_escape(curl, name, 0), &curl_free);
    if (!escaped) return {};
    return "ftp://" + std::string(server) + ":" + std::to_string(port) + "/%2Fvar/" + escaped.get();
}

void Configure(CURL* curl, const std::string& url, FILE* file, curl_off_t size, UploadState* state) {
    const FtpUploadSettings& settings = FirmwareUploadSettings();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERNAME, kUser);
    curl_easy_setopt(curl, CURLOPT_PASSWORD, kPassword);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_TRANSFERTEXT, 0L);  // binary
    curl_easy_setopt(curl, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(curl, CURLOPT_READDATA, file);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, size);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // callers' threads keep their signals
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, settings.connect_timeout_ms);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, settings.response_timeout_s);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, settings.low_speed_limit_bytes_per_s);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, settings.low_speed_time_s);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnServerLine);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, state);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, state);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
}

// A failure before the login completed is the connection's; after it, the transfer's.
int CodeOf(CURLcode result, const UploadState& state) {
    if (result == CURLE_LOGIN_DENIED || !state.logged_in) return TAVI_ERR_FTP_CONNECT;
    return TAVI_ERR_FTP_TRANSFER;
}

}  // namespace

FtpUploadSettings& FirmwareUploadSettings() {
    static FtpUploadSettings settings;
    return settings;
}

std::string RemoteFirmwarePath(const char* local_path) {
    std::string path = std::string(kRemoteDirectory) + FileName(local_path);
    if (path.size() > static_cast<size_t>(kMaxRemotePathLength)) return {};
    return path;
}

int UploadFirmware(const char* server, const char* local_path, cameralog* log) {
    curl_off_t size = 0;
    const std::unique_ptr<FILE, FileCloser> file = OpenRegularFile(local_path, &size);
    if (!file) return TAVI_ERR_FILE_OR_COUNT;
    const std::string remote = RemoteFirmwarePath(local_path);
    if (remote.empty()) {
        TAVI_LOG_ERROR(log,
                       "[function:FirmwareUpgrade] The firmware file name is longer than the camera takes "
                       "(%d characters after /var/). error code: %d",
                       kMaxRemotePathLength - 5, TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    // A camera without an address: "0.0.0.0" would reach this machine's own FTP server.
    if (server == nullptr || std::strcmp(server, kNoAddress) == 0) {
        TAVI_LOG_ERROR(log,
                       "[function:FirmwareUpgrade] The camera has no address to upload to. error code: %d",
                       TAVI_ERR_FTP_CONNECT);
        return TAVI_ERR_FTP_CONNECT;
    }
    if (!CurlReady()) return TAVI_ERR_FTP_HANDLE;
    const std::unique_ptr<CURL, EasyCleanup> curl(curl_easy_init());
    if (!curl) return TAVI_ERR_FTP_HANDLE;
    const std::string url =
        UploadUrl(curl.get(), server, FirmwareUploadSettings().port, FileName(local_path));
    if (url.empty()) return TAVI_ERR_FTP_HANDLE;

    UploadState state{log};
    Configure(curl.get(), url, file.get(), size, &state);
    TAVI_LOG_INFO(log, "[function:FirmwareUpgrade] Uploading %lld bytes of firmware to %s:%s.",
                  static_cast<long long>(size), server, remote.c_str());
    const CURLcode result = curl_easy_perform(curl.get());
    if (result != CURLE_OK) {
        const int code = CodeOf(result, state);
        TAVI_LOG_ERROR(log, "[function:FirmwareUpgrade] The firmware upload failed: %s. error code: %d",
                       curl_easy_strerror(result), code);
        return code;
    }
    TAVI_LOG_INFO(log, "[function:FirmwareUpgrade] The firmware is uploaded.");
    return 0;
}

}  // namespace tavi
