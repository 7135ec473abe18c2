// Reading and writing whole files through the operating system, with every failure reported as
// an IoError that names the path the caller gave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tessaron {

// A file read once from start to end through a buffer.
class InputFile {
  public:
    // Opens `path` for reading; a missing file, a directory or a refused permission throws.
    explicit InputFile(const std::string& path);
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    // The length of a regular file when it was opened; none for pipes and devices.
    std::optional<std::uint64_t> length() const { return length_; }
    // Copies up to `count` bytes to `out`; fewer only at the end of the file.
    std::size_t read(unsigned char* out, std::size_t count);

  private:
    bool refill();

    int fd_ = -1;
    std::string path_;
    std::optional<std::uint64_t> length_;
    std::vector<unsigned char> buffer_;
    std::size_t position_ = 0;
    std::size_t filled_ = 0;
};

// Buffered output to an open file descriptor; every failed write throws.
class ByteSink {
  public:
    ByteSink(int fd, const std::string& path) : fd_(fd), path_(path) { buffer_.reserve(1 << 16); }
    void put(const unsigned char* bytes, std::size_t count);
    // Hands everything buffered to the operating system.
    void flush();

  private:
    int fd_;
    const std::string& path_;
    std::vector<unsigned char> buffer_;
};

// Writes the file at `path` with `produce`, replacing an existing regular file only once every
// byte is written and synced: the bytes go to a fresh temporary file in the same directory, which
// is renamed over the target. On any failure the temporary file is removed and the old file is
// left as it was. A symbolic link is followed, and a device or pipe is written in place.
void write_file_safely(const std::string& path, const std::function<void(ByteSink&)>& produce);

}  // namespace tessaron
