#include "frame/file_io.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <sys/stat.h>

namespace morvik3 {

namespace {

Error os_error(int code) {
    return Error::io(std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")");
}

// Devices, pipes and directories have no end a document could be read to.
Error not_regular(const std::string& path) { return Error::io("Not a regular file: '" + path + "'"); }

bool regular(const struct stat& s) { return (s.st_mode & S_IFMT) == S_IFREG; }

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

Result<void> write_file(const std::string& path, std::string_view data) {
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) return std::unexpected(os_error(errno));
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), f.get()) != data.size()) {
        return std::unexpected(os_error(errno ? errno : EIO));
    }
    std::FILE* raw = f.release();
    if (std::fclose(raw) != 0) return std::unexpected(os_error(errno ? errno : EIO));
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
