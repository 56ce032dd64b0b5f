#pragma once
// Temporary directories for tests, checks and benchmarks:
//   TempDirectory      a fresh directory under $TMPDIR (or /tmp), removed with all it holds at the end
//   ScratchDirectory   the same, made the process's current directory (where logs are written) for
//                      its lifetime; the previous one is restored after

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tavi::test {

class TempDirectory {
  public:
    TempDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tavi-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("no temporary directory: " + pattern);
        path_ = pattern;
    }
    ~TempDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The path of `name` inside the directory, as text.
    std::string PathOf(const std::string& name) const { return (path_ / name).string(); }
    bool Exists(const std::string& name) const { return std::filesystem::exists(path_ / name); }
    // The bytes of file `name`; empty when it cannot be read.
    std::string Read(const std::string& name) const {
        std::ifstream file(path_ / name, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

  private:
    std::filesystem::path path_;
};

class ScratchDirectory : public TempDirectory {
  public:
    ScratchDirectory() : previous_(std::filesystem::current_path()) { std::filesystem::current_path(path()); }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
    }

  private:
    std::filesystem::path previous_;
};

}  // namespace tavi::test
