#include "persistence/file_io.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include "common/errors.hpp"
#include "common/platform.hpp"

namespace tessaron {
namespace {

constexpr std::size_t buffer_bytes = 1 << 16;

[[noreturn]] void fail(int error_number, const std::string& path) {
    throw IoError(error_number, path, std::generic_category().message(error_number));
}

void write_all(int fd, const unsigned char* bytes, std::size_t count, const std::string& path) {
    while (count > 0) {
        const ssize_t written = ::write(fd, bytes, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            fail(errno, path);
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
}

// An output file being written: closed if still open, and removed if it is a temporary file that
// was never renamed into place.
struct PendingFile {
    int fd = -1;
    std::string temporary;

    PendingFile() = default;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() {
        if (fd >= 0) ::close(fd);
        if (!temporary.empty()) ::unlink(temporary.c_str());
    }
    // A failed close may mean that written data was lost, so it is a failure of the write.
    void close(const std::string& path) {
        if (::close(std::exchange(fd, -1)) != 0) fail(errno, path);
    }
};

void produce_into(int fd, const std::string& path, const std::function<void(ByteSink&)>& produce) {
    ByteSink sink(fd, path);
    produce(sink);
    sink.flush();
}

// For what cannot be replaced by renaming (devices, pipes) and for a dangling symbolic link, which
// opening creates the target of.
void write_in_place(const std::string& path, const std::function<void(ByteSink&)>& produce) {
    PendingFile file;
    file.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file.fd < 0) fail(errno, path);
    produce_into(file.fd, path, produce);
    file.close(path);
}

// A name in the target's directory that no other writer uses: pid, a process-wide counter and
// the clock, and O_EXCL catches the rest. The target's name is shortened so that the temporary
// name stays within any file system's limit.
std::string temporary_name(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = target.substr(slash == std::string::npos ? 0 : slash + 1);
    const auto clock = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    char suffix[80];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.%llx.tmp", static_cast<long>(::getpid()),
                  counter.fetch_add(1), clock & 0xffffffffffULL);
    return directory + "." + base.substr(0, 128) + suffix;
}

}  // namespace

InputFile::InputFile(const std::string& path) : path_(path) {
    do {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) fail(errno, path);
    struct stat info;
    int error_number = 0;
    if (::fstat(fd_, &info) != 0)
        error_number = errno;
    else if (S_ISDIR(info.st_mode))
        error_number = EISDIR;
    if (error_number != 0) {
        ::close(fd_);
        fail(error_number, path);
    }
    if (S_ISREG(info.st_mode)) length_ = static_cast<std::uint64_t>(info.st_size);
    buffer_.resize(buffer_bytes);
}

InputFile::~InputFile() {
    ::close(fd_);
}

std::size_t InputFile::read(unsigned char* out, std::size_t count) {
    std::size_t copied = 0;
    while (copied < count) {
        if (position_ == filled_ && !refill()) break;
        const std::size_t chunk = std::min(count - copied, filled_ - position_);
        std::memcpy(out + copied, buffer_.data() + position_, chunk);
        position_ += chunk;
        copied += chunk;
    }
    return copied;
}

bool InputFile::refill() {
    for (;;) {
        const ssize_t got = ::read(fd_, buffer_.data(), buffer_.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            fail(errno, path_);
        }
        position_ = 0;
        filled_ = static_cast<std::size_t>(got);
        return got > 0;
    }
}

void ByteSink::put(const unsigned char* bytes, std::size_t count) {
    if (buffer_.size() + count > buffer_bytes) flush();
    if (count >= buffer_bytes) {
        write_all(fd_, bytes, count, path_);
        return;
    }
    buffer_.insert(buffer_.end(), bytes, bytes + count);
}

void ByteSink::flush() {
    write_all(fd_, buffer_.data(), buffer_.size(), path_);
    buffer_.clear();
}

void write_file_safely(const std::string& path, const std::function<void(ByteSink&)>& produce) {
    if (path.empty()) fail(ENOENT, path);
    std::string target = path;
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) return write_in_place(path, produce);
        target = resolved;
        std::free(resolved);
    }
    const bool exists = ::stat(target.c_str(), &info) == 0;
    if (!exists && errno != ENOENT) fail(errno, path);
    if (exists && S_ISDIR(info.st_mode)) fail(EISDIR, path);
    if (exists && !S_ISREG(info.st_mode)) return write_in_place(path, produce);
    // Opening "name/" for writing fails the same way when nothing is there.
    if (target.back() == '/') fail(EISDIR, path);

    PendingFile file;
    for (int attempt = 0; file.fd < 0; ++attempt) {
        std::string name = temporary_name(target);
        file.fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (file.fd >= 0) {
            file.temporary = std::move(name);
        } else if (errno != EEXIST && errno != EINTR) {
            fail(errno, path);
        } else if (attempt == 100) {
            fail(EEXIST, path);
        }
    }
    if (exists) {
        // The replacement keeps the owner and permissions of the file it replaces, as truncating
        // that file would; where this is not allowed the new file keeps the defaults.
        if (::fchown(file.fd, info.st_uid, info.st_gid) != 0) {
        }
        if (::fchmod(file.fd, info.st_mode & 07777) != 0) {
        }
    }
    produce_into(file.fd, path, produce);
    if (::fsync(file.fd) != 0) fail(errno, path);
    file.close(path);
    if (::rename(file.temporary.c_str(), target.c_str()) != 0) fail(errno, path);
    file.temporary.clear();
}

}  // namespace tessaron
