#pragma once
// A scratch directory that a test works in; the process's current directory is restored after.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tavi::test {

class ScratchDirectory {
  public:
    ScratchDirectory() : previous_(std::filesystem::current_path()) {
        char pattern[] = "/tmp/tavi-test-XXXXXX";
        path_ = ::mkdtemp(pattern);
        std::filesystem::current_path(path_);
    }
    ~ScratchDirectory() {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    bool Exists(const std::string& name) const { return std::filesystem::exists(path_ / name); }
    std::string Read(const std::string& name) const {
        std::ifstream file(path_ / name, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

  private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
};

}  // namespace tavi::test
