#include "qzFileSystem.h"

#include <filesystem>
#include <system_error>

#include <cerrno>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace qzOS {
namespace {

#if !defined(_WIN32)
void fillIdentity(const struct stat& status, FileIdentity& identity) {
    identity.device = static_cast<std::uint64_t>(status.st_dev);
    identity.node = static_cast<std::uint64_t>(status.st_ino);
    identity.modifiedNs = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                          static_cast<std::int64_t>(status.st_mtim.tv_nsec);
    identity.known = true;
}
#endif

// Paths arrive as UTF-8; std::filesystem widens them on Windows.
fs::path toPath(const char* utf8Path) { return fs::u8path(utf8Path); }

}  // namespace

std::FILE* openFile(const char* utf8Path, const char* mode) {
    if (!utf8Path || !*utf8Path || !mode) return nullptr;
#if defined(_WIN32)
    const fs::path path = toPath(utf8Path);
    std::wstring wideMode;
    for (const char* m = mode; *m; ++m) wideMode.push_back(static_cast<wchar_t>(*m));
    return _wfopen(path.c_str(), wideMode.c_str());
#else
    return std::fopen(utf8Path, mode);
#endif
}

bool fileSize(const char* utf8Path, std::uint64_t& size) {
    if (!utf8Path || !*utf8Path) return false;
    std::error_code error;
    const fs::path path = toPath(utf8Path);
    if (!fs::is_regular_file(path, error)) return false;
    const auto bytes = fs::file_size(path, error);
    if (error) return false;
    size = static_cast<std::uint64_t>(bytes);
    return true;
}

bool fileExists(const char* utf8Path) {
    if (!utf8Path || !*utf8Path) return false;
    std::error_code error;
    return fs::exists(toPath(utf8Path), error);
}

bool renameFile(const char* from, const char* to) {
    if (!from || !*from || !to || !*to) return false;
    std::error_code error;
    fs::rename(toPath(from), toPath(to), error);
    return !error;
}

bool removeFile(const char* utf8Path) {
    if (!utf8Path || !*utf8Path) return false;
    std::error_code error;
    return fs::remove(toPath(utf8Path), error) && !error;
}

bool listDirectory(const char* utf8Path, std::vector<std::string>& names) {
    names.clear();
    std::string text = utf8Path ? utf8Path : "";
    for (char& c : text) {
        if (c == '\\') c = '/';
    }
    if (text.empty()) text = ".";
    std::error_code error;
    fs::directory_iterator it(toPath(text.c_str()), error);
    if (error) return false;
    for (const fs::directory_iterator end; it != end; it.increment(error)) {
        if (error) return false;
        names.push_back(it->path().filename().u8string());
    }
    return !error;
}

int seekFile(std::FILE* file, std::int64_t offset, int whence) {
    if (!file) return -1;
#if defined(_WIN32)
    return _fseeki64(file, offset, whence);
#else
    return fseeko(file, static_cast<off_t>(offset), whence);
#endif
}

std::int64_t tellFile(std::FILE* file) {
    if (!file) return -1;
#if defined(_WIN32)
    return _ftelli64(file);
#else
    return static_cast<std::int64_t>(ftello(file));
#endif
}

std::size_t readFileAt(std::FILE* file, std::uint64_t offset, void* data, std::size_t count) {
    if (!file || !data || count == 0) return 0;
#if defined(_WIN32)
    if (_fseeki64(file, static_cast<std::int64_t>(offset), SEEK_SET) != 0) return 0;
    const std::size_t got = std::fread(data, 1, count, file);
    if (got != count) std::clearerr(file);
    return got;
#else
    // One system call where a seek and a read would take two.
    auto* out = static_cast<unsigned char*>(data);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = pread(fileno(file), out + done, count - done,
                                  static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
#endif
}

bool identityAndLengthOf(std::FILE* file, FileIdentity& identity, std::uint64_t& length) {
    identity = FileIdentity();
#if !defined(_WIN32)
    struct stat status {};
    if (!file || fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    fillIdentity(status, identity);
    length = static_cast<std::uint64_t>(status.st_size);
    return true;
#else
    (void)file;
    (void)length;
    return false;
#endif
}

bool identityAt(const char* utf8Path, FileIdentity& identity, std::uint64_t& length) {
    identity = FileIdentity();
    if (!utf8Path || !*utf8Path) return false;
#if !defined(_WIN32)
    struct stat status {};
    if (stat(utf8Path, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    fillIdentity(status, identity);
    length = static_cast<std::uint64_t>(status.st_size);
    return true;
#else
    (void)length;
    return false;
#endif
}

}  // namespace qzOS
