#include "file_io.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace morvik3 {

namespace {

Error os_error(int code) {
    return Error::io(std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")");
}

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
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) return std::unexpected(os_error(errno));
    std::string out;
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
