#include "export/replacement_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

namespace tavi {
namespace {

constexpr int kNameAttempts = 16;

// The file a path stands for: the target of a symbolic link (so the link stays a link, as when the
// file is written through it), or the path itself.
std::string ResolvedDestination(const char* path) {
    struct stat status {};
    if (::lstat(path, &status) == 0 && S_ISLNK(status.st_mode)) {
        if (char* target = ::realpath(path, nullptr)) {
            std::string resolved(target);
            std::free(target);
            return resolved;
        }
    }
    return path;
}

}  // namespace

ReplacementFile::ReplacementFile(const char* path) {
    // The names are built in memory; without it nothing is opened and the writer reports the file as
    // not opened (no file descriptor is open while a name is being built).
    try {
        Open(path);
    } catch (const std::bad_alloc&) {
        file_ = nullptr;
        temporary_.clear();  // may name another writer's file from a refused attempt
    }
}

void ReplacementFile::Open(const char* path) {
    destination_ = ResolvedDestination(path);
    struct stat status {};
    const bool exists = ::stat(destination_.c_str(), &status) == 0;
    if ((!exists || S_ISREG(status.st_mode)) && OpenBeside(destination_)) {
        // A file that is replaced keeps its permissions.
        if (exists) ::fchmod(::fileno(file_), status.st_mode & 07777);
        return;
    }
    temporary_.clear();
    file_ = std::fopen(destination_.c_str(), "wb");
}

bool ReplacementFile::OpenBeside(const std::string& destination) {
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        temporary_ = destination + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
        const int fd = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return false;
        file_ = ::fdopen(fd, "wb");
        if (file_ != nullptr) return true;
        ::close(fd);
        ::unlink(temporary_.c_str());
        return false;
    }
    return false;
}

bool ReplacementFile::Commit() {
    if (file_ == nullptr) return false;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (temporary_.empty()) return closed;
    const bool moved = closed && ::rename(temporary_.c_str(), destination_.c_str()) == 0;
    if (!moved) ::unlink(temporary_.c_str());
    temporary_.clear();
    return moved;
}

ReplacementFile::~ReplacementFile() {
    if (file_ != nullptr) std::fclose(file_);
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

}  // namespace tavi
