#include "frame/file_io.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvik3 {

namespace {

Error os_error(int code) {
    return Error::io(std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")");
}

// Devices, pipes and directories have no end a document could be read to,
// and renaming a file over one would replace it.
Error not_regular(const std::string& path) { return Error::io("Not a regular file: '" + path + "'"); }

bool regular(const struct stat& s) { return (s.st_mode & S_IFMT) == S_IFREG; }

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a write to `path` replaces: through every symbolic link at the
// end of it to the file the last one names, which need not exist yet.
Result<std::string> followed(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat s{};
        if (lstat(path.c_str(), &s) != 0) {
            if (errno == ENOENT) return path;
            return std::unexpected(os_error(errno));
        }
        if (!S_ISLNK(s.st_mode)) return path;
        std::string target(static_cast<std::size_t>(s.st_size > 0 ? s.st_size : 255) + 1, '\0');
        const ssize_t n = readlink(path.c_str(), target.data(), target.size());
        if (n < 0) return std::unexpected(os_error(errno));
        // A link rewritten since lstat may have grown: read it again.
        if (static_cast<std::size_t>(n) == target.size()) continue;
        target.resize(static_cast<std::size_t>(n));
        path = target.front() == '/' ? target : folder_of(path) + "/" + target;
    }
    return std::unexpected(os_error(ELOOP));
}

// A new file beside `target`, named after it, open for writing with the
// permissions a new file gets (the umask applies).
Result<std::pair<int, std::string>> create_beside(const std::string& target) {
    static std::atomic<std::uint64_t> created{0};
    const std::size_t slash = target.rfind('/');
    // Cut so that the suffix still fits in a file name.
    const std::string stem = target.substr(0, (slash == std::string::npos ? 0 : slash + 1) + 200);
    for (int attempt = 0;; ++attempt) {
        const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        const std::uint64_t tag = (now * 0x9E3779B97F4A7C15ull) ^ (static_cast<std::uint64_t>(getpid()) << 32) ^
                                  created.fetch_add(1, std::memory_order_relaxed);
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", static_cast<unsigned long long>(tag));
        std::string name = stem + suffix;
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return std::pair{fd, std::move(name)};
        if (errno != EEXIST || attempt == 100) return std::unexpected(os_error(errno));
    }
}

Result<void> write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_error(errno));
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

// Makes a rename in `folder` durable; a file system that cannot sync a
// folder has nothing more to do.
void sync_folder(const std::string& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)fsync(fd);
    close(fd);
}

}  // namespace

Result<void> write_file(const std::string& path, std::string_view data) {
    const Result<std::string> target = followed(path);
    if (!target) return std::unexpected(target.error());
    struct stat existing{};
    const bool exists = stat(target->c_str(), &existing) == 0;
    if (exists && !regular(existing)) return std::unexpected(not_regular(path));
    if (!exists && errno != ENOENT) return std::unexpected(os_error(errno));

    auto created = create_beside(*target);
    if (!created) return std::unexpected(created.error());
    auto [fd, temporary] = std::move(*created);
    Result<void> done;
    if (exists) {
        // The replacement keeps the file's permissions, and its owner where
        // this process may give it (else it is this process's, as if new).
        if (fchmod(fd, existing.st_mode & 07777) != 0) done = std::unexpected(os_error(errno));
        [[maybe_unused]] const int owned = fchown(fd, existing.st_uid, existing.st_gid);
    }
    if (done) done = write_all(fd, data);
    if (done && fsync(fd) != 0) done = std::unexpected(os_error(errno));
    if (close(fd) != 0 && done) done = std::unexpected(os_error(errno));
    if (done && std::rename(temporary.c_str(), target->c_str()) != 0) done = std::unexpected(os_error(errno));
    if (!done) {
        unlink(temporary.c_str());
        return done;
    }
    sync_folder(folder_of(*target));
    return {};
}

Result<std::string> read_file(const std::string& path) {
    // Checked before opening too: opening a pipe waits for its writer.
    struct stat before{};
    if (stat(path.c_str(), &before) == 0 && !regular(before)) return std::unexpected(not_regular(path));
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) return std::unexpected(os_error(errno));
    struct stat opened{};
    if (fstat(fileno(f.get()), &opened) != 0) return std::unexpected(os_error(errno));
    if (!regular(opened)) return std::unexpected(not_regular(path));
    std::string out;
    // The size is a hint: the file may change while it is read.
    if (opened.st_size > 0) out.reserve(static_cast<std::size_t>(opened.st_size));
    char buffer[1 << 16];
    while (true) {
        const std::size_t n = std::fread(buffer, 1, sizeof buffer, f.get());
        out.append(buffer, n);
        if (n < sizeof buffer) {
            if (std::ferror(f.get())) return std::unexpected(os_error(errno ? errno : EIO));
            break;
        }
    }
    return out;
}

}  // namespace morvik3
