#include "qzFileSystem.h"

#include <algorithm>
#include <atomic>

namespace qzOS {
namespace {

std::atomic<FileSystem*> g_default{nullptr};

}  // namespace

FileSystem& defaultFileSystem() {
    FileSystem* replacement = g_default.load(std::memory_order_acquire);
    return replacement ? *replacement : systemFileSystem();
}

ScopedDefaultFileSystem::ScopedDefaultFileSystem(FileSystem& replacement)
    : m_previous(g_default.exchange(&replacement, std::memory_order_acq_rel)) {}

ScopedDefaultFileSystem::~ScopedDefaultFileSystem() {
    g_default.store(m_previous, std::memory_order_release);
}

bool fileSize(const char* path, std::uint64_t& size) {
    FileStatus status;
    if (!path || !*path || !defaultFileSystem().status(path, status) || !status.regular) return false;
    size = status.length;
    return true;
}

bool FileSystem::syncFiles(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        std::unique_ptr<FileHandle> file = open(path.c_str(), OpenMode::kReadWrite);
        const bool synced = file && file->sync();
        if (!file || !file->close() || !synced) return false;
    }
    return true;
}

bool copyContents(FileHandle& from, FileHandle& to) {
    // As large as the file up to 1 MiB: frame files are small and many, and a fresh large
    // buffer for each costs more than copying it.
    FileStatus status;
    if (!from.status(status)) return false;
    constexpr std::uint64_t kMostAtOnce = std::uint64_t{1} << 20;
    std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min(status.length + 1, kMostAtOnce)));
    for (std::uint64_t offset = 0;;) {
        std::size_t got = 0;
        if (!from.read(offset, buffer.data(), buffer.size(), got)) return false;
        if (got == 0) return true;
        if (!to.write(offset, buffer.data(), got)) return false;
        offset += got;
    }
}

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return std::string();
    // The root keeps its separator: "/a" lies in "/".
    return path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace qzOS
