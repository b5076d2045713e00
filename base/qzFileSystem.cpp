#include "qzFileSystem.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace qzOS {
namespace {

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

}  // namespace qzOS
