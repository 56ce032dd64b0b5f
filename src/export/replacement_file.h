#pragma once
// An export file written beside its destination and moved over it only once it is complete, so that
// a write that fails (a full disk, a frame that cannot be written) leaves the previous file as it
// was instead of a truncated one. Where no file can be made beside the destination (a directory
// without write permission, a name at the length limit) or the destination is no regular file
// (/dev/null, a FIFO), the destination is written directly, as a plain open would.

#include <cstdio>
#include <string>

namespace tavi {

class ReplacementFile {
  public:
    explicit ReplacementFile(const char* path);
    // A file that was not committed is closed and its temporary copy removed.
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Where to write; null when neither the temporary file nor the destination could be opened.
    FILE* file() const { return file_; }
    // Closes the file and puts it in the destination's place. False when closing or moving failed;
    // the destination is then as it was before (or, written directly, as far as it got).
    bool Commit();

  private:
    void Open(const char* path);
    bool OpenBeside(const std::string& destination);

    FILE* file_ = nullptr;
    std::string destination_;
    std::string temporary_;  // empty when the destination is written directly
};

}  // namespace tavi
