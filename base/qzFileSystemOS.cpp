// The operating system's files: POSIX, and Windows below. The only place in the library that
// makes file system calls of the platform.
#include "qzFileSystem.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#if defined(_WIN32)
#include "qzWindows.h"

#include <cwchar>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qzOS {
namespace {

#if !defined(_WIN32)

bool listWithStd(const char* path, std::vector<std::string>& names) {
    names.clear();
    std::string text = path ? path : "";
    std::replace(text.begin(), text.end(), '\\', '/');
    if (text.empty()) text = ".";
    std::error_code error;
    std::filesystem::directory_iterator it(std::filesystem::u8path(text), error);
    if (error) return false;
    for (const std::filesystem::directory_iterator end; it != end; it.increment(error)) {
        if (error) return false;
        names.push_back(it->path().filename().u8string());
    }
    return !error;
}

void fillStatus(const struct stat& info, FileStatus& status) {
    status.length = static_cast<std::uint64_t>(info.st_size);
    status.regular = S_ISREG(info.st_mode);
    status.identity.device = static_cast<std::uint64_t>(info.st_dev);
    status.identity.node = static_cast<std::uint64_t>(info.st_ino);
#if defined(__APPLE__)
    const struct timespec& modified = info.st_mtimespec;
#else
    const struct timespec& modified = info.st_mtim;
#endif
    status.identity.modifiedNs =
        static_cast<std::int64_t>(modified.tv_sec) * 1000000000 + modified.tv_nsec;
    status.identity.known = true;
}

// One call moves at most this much, so that a count never exceeds what ssize_t holds.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

class PosixFile final : public FileHandle {
public:
    explicit PosixFile(int descriptor) : m_descriptor(descriptor) {}
    ~PosixFile() override { close(); }

    bool read(std::uint64_t offset, void* data, std::size_t count, std::size_t& got) override {
        got = 0;
        auto* out = static_cast<unsigned char*>(data);
        while (got < count) {
            const ssize_t n = ::pread(m_descriptor, out + got, std::min(count - got, kMaxTransfer),
                                      static_cast<off_t>(offset + got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

    bool write(std::uint64_t offset, const void* data, std::size_t count) override {
        const auto* in = static_cast<const unsigned char*>(data);
        for (std::size_t done = 0; done < count;) {
            const ssize_t n = ::pwrite(m_descriptor, in + done, std::min(count - done, kMaxTransfer),
                                       static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    bool status(FileStatus& status) override {
        struct stat info {};
        if (m_descriptor < 0 || ::fstat(m_descriptor, &info) != 0) return false;
        fillStatus(info, status);
        return true;
    }

    bool flush() override { return m_descriptor >= 0; }

    bool sync() override {
        if (m_descriptor < 0) return false;
#if defined(__APPLE__)
        // fsync leaves the data in the drive's cache there.
        if (::fcntl(m_descriptor, F_FULLFSYNC) == 0) return true;
        return ::fsync(m_descriptor) == 0;
#elif defined(__linux__)
        return ::fdatasync(m_descriptor) == 0;
#else
        return ::fsync(m_descriptor) == 0;
#endif
    }

    bool close() override {
        if (m_descriptor < 0) return false;
        // Not retried on EINTR: the descriptor is gone either way.
        const bool closed = ::close(m_descriptor) == 0;
        m_descriptor = -1;
        return closed;
    }

private:
    int m_descriptor;
};

class PosixFileSystem final : public FileSystem {
public:
    std::unique_ptr<FileHandle> open(const char* path, OpenMode mode) override {
        if (!path || !*path) return nullptr;
        int flags = O_CLOEXEC;
        switch (mode) {
        case OpenMode::kRead: flags |= O_RDONLY; break;
        case OpenMode::kCreate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
        case OpenMode::kReadWrite: flags |= O_RDWR; break;
        }
        int descriptor = -1;
        do {
            descriptor = ::open(path, flags, 0666);
        } while (descriptor < 0 && errno == EINTR);
        if (descriptor < 0) return nullptr;
        struct stat info {};
        if (::fstat(descriptor, &info) != 0 || S_ISDIR(info.st_mode)) {
            ::close(descriptor);
            return nullptr;
        }
        return std::make_unique<PosixFile>(descriptor);
    }

    bool status(const char* path, FileStatus& status) override {
        struct stat info {};
        if (!path || !*path || ::stat(path, &info) != 0) return false;
        fillStatus(info, status);
        return true;
    }

    bool renameReplacing(const char* from, const char* to) override {
        return from && *from && to && *to && ::rename(from, to) == 0;
    }

    bool remove(const char* path) override { return path && *path && ::unlink(path) == 0; }

    bool listDirectory(const char* path, std::vector<std::string>& names) override {
        return listWithStd(path, names);
    }

    bool copyFile(const char* from, const char* to, bool mayLink, bool& linked) override {
        linked = false;
        if (!from || !*from || !to || !*to) return false;
        if (mayLink && ::link(from, to) == 0) {
            linked = true;
            return true;
        }
        std::unique_ptr<FileHandle> source = open(from, OpenMode::kRead);
        if (!source) return false;
        int descriptor = -1;
        do {
            descriptor = ::open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        } while (descriptor < 0 && errno == EINTR);
        if (descriptor < 0) return false;
        PosixFile target(descriptor);
        const bool copied = copyContents(*source, target);
        return target.close() && copied;
    }

#if defined(__linux__)
    // One syncfs per file system holding the files: it waits for all of that file system's
    // data, which costs one device flush instead of one per file.
    bool syncFiles(const std::vector<std::string>& paths) override {
        std::vector<std::uint64_t> synced;
        for (const std::string& path : paths) {
            struct stat info {};
            if (::stat(path.c_str(), &info) != 0) return false;
            const auto device = static_cast<std::uint64_t>(info.st_dev);
            if (std::find(synced.begin(), synced.end(), device) != synced.end()) continue;
            const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (descriptor < 0) return false;
            const bool done = ::syncfs(descriptor) == 0;
            ::close(descriptor);
            if (!done) return false;
            synced.push_back(device);
        }
        return true;
    }
#endif

    bool syncDirectory(const char* path) override {
        const char* directory = path && *path ? path : ".";
        const int descriptor = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (descriptor < 0) return false;
        // Some file systems cannot sync a directory (EINVAL): nothing more can be done there.
        const bool synced = ::fsync(descriptor) == 0 || errno == EINVAL;
        ::close(descriptor);
        return synced;
    }
};

#else  // _WIN32

// The absolute form of a path, with "/" turned to "\" and "." and ".." resolved.
bool absolute(const std::wstring& path, std::wstring& full) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return false;
    full.assign(needed, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (written == 0 || written >= needed) return false;
    full.resize(written);
    return true;
}

// UTF-8 to the UTF-16 of the wide calls; false for text that is not UTF-8. A path as long as
// the classic limit (MAX_PATH, less the 12 characters a directory keeps free) is made absolute
// and given the "\\?\" prefix, which lifts the limit without the system-wide opt-in; shorter
// ones go to the system as given.
bool widen(const char* utf8, std::wstring& wide) {
    wide.clear();
    if (!utf8 || !*utf8) return false;
    const int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    if (needed <= 0) return false;
    wide.resize(static_cast<std::size_t>(needed));
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, &wide[0], needed) != needed) {
        return false;
    }
    wide.resize(static_cast<std::size_t>(needed) - 1);
    const bool prefixed = wide.compare(0, 4, L"\\\\?\\") == 0 || wide.compare(0, 4, L"\\\\.\\") == 0;
    if (wide.size() < MAX_PATH - 12 || prefixed) return true;
    std::wstring full;
    if (!absolute(wide, full)) return false;
    wide = full.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
    return true;
}

// UTF-16 to UTF-8. Windows allows names that are not valid UTF-16; their stray halves become
// U+FFFD rather than an error, so that one such name does not hide a directory's others.
std::string narrow(const wchar_t* wide) {
    const int needed = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1) return std::string();
    std::string text(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], needed, nullptr, nullptr);
    text.resize(static_cast<std::size_t>(needed) - 1);
    return text;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// How long a replace that another program's open handle refuses is tried again.
constexpr DWORD kReplaceRetryMs = 1000;
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;
// 100-nanosecond steps from 1601 to 1970.
constexpr std::int64_t kEpochDifference = 116444736000000000LL;
// FileRenameInfoEx, which the headers of mingw-w64 10 leave out.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED overlapped{};
    overlapped.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return overlapped;
}

bool statusOf(HANDLE handle, FileStatus& status) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) return false;
    status.length = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    status.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    status.identity.device = info.dwVolumeSerialNumber;
    status.identity.node = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    const std::int64_t ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
        info.ftLastWriteTime.dwLowDateTime);
    status.identity.modifiedNs = (ticks - kEpochDifference) * 100;
    status.identity.known = true;
    return true;
}

// Replaces with POSIX semantics: a target that other handles hold open (with delete sharing,
// as every handle here) is replaced too, and they read the old file on; the classic rename
// refuses that. Windows 10 and later on NTFS; elsewhere (older systems, FAT, most network
// shares, wine) the call fails and the classic rename is left to try.
bool replaceHeldTarget(const std::wstring& from, const std::wstring& to) {
    std::wstring target;
    if (!absolute(to, target)) return false;
    const HANDLE handle = CreateFileW(from.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const std::size_t nameBytes = target.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* info = new (buffer.data()) FILE_RENAME_INFO{};
    info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(info->FileName, target.data(), nameBytes);
    const bool replaced = SetFileInformationByHandle(handle, kFileRenameInfoEx, info,
                                                     static_cast<DWORD>(buffer.size())) != 0;
    CloseHandle(handle);
    return replaced;
}

class WindowsFile final : public FileHandle {
public:
    explicit WindowsFile(HANDLE handle) : m_handle(handle) {}
    ~WindowsFile() override { close(); }

    // A synchronous handle reads at the OVERLAPPED offset; the handle's own position moves,
    // but nothing here relies on it. Past the end such a read fails with ERROR_HANDLE_EOF.
    bool read(std::uint64_t offset, void* data, std::size_t count, std::size_t& got) override {
        got = 0;
        auto* out = static_cast<unsigned char*>(data);
        while (got < count) {
            OVERLAPPED overlapped = at(offset + got);
            DWORD done = 0;
            const DWORD asked = static_cast<DWORD>(std::min(count - got, kMaxTransfer));
            if (!ReadFile(m_handle, out + got, asked, &done, &overlapped)) {
                if (GetLastError() == ERROR_HANDLE_EOF) break;
                return false;
            }
            if (done == 0) break;
            got += done;
        }
        return true;
    }

    bool write(std::uint64_t offset, const void* data, std::size_t count) override {
        const auto* in = static_cast<const unsigned char*>(data);
        for (std::size_t done = 0; done < count;) {
            OVERLAPPED overlapped = at(offset + done);
            DWORD written = 0;
            const DWORD asked = static_cast<DWORD>(std::min(count - done, kMaxTransfer));
            if (!WriteFile(m_handle, in + done, asked, &written, &overlapped) || written == 0) {
                return false;
            }
            done += written;
        }
        return true;
    }

    bool status(FileStatus& status) override {
        return m_handle != INVALID_HANDLE_VALUE && statusOf(m_handle, status);
    }

    bool flush() override { return m_handle != INVALID_HANDLE_VALUE; }

    bool sync() override { return m_handle != INVALID_HANDLE_VALUE && FlushFileBuffers(m_handle); }

    bool close() override {
        if (m_handle == INVALID_HANDLE_VALUE) return false;
        const bool closed = CloseHandle(m_handle) != 0;
        m_handle = INVALID_HANDLE_VALUE;
        return closed;
    }

private:
    HANDLE m_handle;
};

class WindowsFileSystem final : public FileSystem {
public:
    // Every handle shares reading, writing and deleting, so that a writer may replace a file
    // that a reader holds open.
    std::unique_ptr<FileHandle> open(const char* path, OpenMode mode) override {
        std::wstring wide;
        if (!widen(path, wide)) return nullptr;
        DWORD access = GENERIC_READ | GENERIC_WRITE;
        DWORD disposition = OPEN_EXISTING;
        if (mode == OpenMode::kRead) access = GENERIC_READ;
        if (mode == OpenMode::kCreate) disposition = CREATE_ALWAYS;
        const HANDLE handle = CreateFileW(wide.c_str(), access, kShareAll, nullptr, disposition,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return nullptr;
        // A device name (NUL, CON, COM1, a pipe) opens too; reading a console or a port waits.
        if (GetFileType(handle) != FILE_TYPE_DISK) {
            CloseHandle(handle);
            return nullptr;
        }
        return std::make_unique<WindowsFile>(handle);
    }

    bool status(const char* path, FileStatus& status) override {
        std::wstring wide;
        if (!widen(path, wide)) return false;
        // No access asked: the identity can be read even of a file another process holds.
        const HANDLE handle = CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return false;
        const bool known = statusOf(handle, status);
        CloseHandle(handle);
        return known;
    }

    // A program that opened the target without sharing deletion (a reader of another library,
    // a virus scanner looking at a new file) refuses the replace until it closes it: tried
    // again for up to a second rather than failing the write. Our own readers share it.
    bool renameReplacing(const char* from, const char* to) override {
        std::wstring wideFrom;
        std::wstring wideTo;
        if (!widen(from, wideFrom) || !widen(to, wideTo)) return false;
        if (replaceHeldTarget(wideFrom, wideTo)) return true;
        DWORD pause = 1;
        for (DWORD waited = 0;; waited += pause, pause = std::min<DWORD>(pause * 2, 64)) {
            if (MoveFileExW(wideFrom.c_str(), wideTo.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
                return true;
            }
            const DWORD error = GetLastError();
            const bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                              error == ERROR_LOCK_VIOLATION;
            if (!held || waited >= kReplaceRetryMs) return false;
            Sleep(pause);
        }
    }

    // A file that other handles hold may keep its name taken until the last one closes
    // (delete pending), unless the system deletes with POSIX semantics, as recent ones do.
    bool remove(const char* path) override {
        std::wstring wide;
        return widen(path, wide) && DeleteFileW(wide.c_str()) != 0;
    }

    bool listDirectory(const char* path, std::vector<std::string>& names) override {
        names.clear();
        std::wstring pattern;
        if (!widen(path && *path ? path : ".", pattern)) return false;
        if (pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
        pattern += L'*';
        WIN32_FIND_DATAW entry{};
        const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry,
                                               FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (search == INVALID_HANDLE_VALUE) return false;
        do {
            if (std::wcscmp(entry.cFileName, L".") == 0 || std::wcscmp(entry.cFileName, L"..") == 0) {
                continue;
            }
            names.push_back(narrow(entry.cFileName));
        } while (FindNextFileW(search, &entry));
        const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
        FindClose(search);
        if (!complete) names.clear();
        return complete;
    }

    // Windows offers no flush of a directory's entries; NTFS commits a rename to its journal
    // on its own.
    bool syncDirectory(const char*) override { return true; }

    bool copyFile(const char* from, const char* to, bool mayLink, bool& linked) override {
        linked = false;
        std::wstring wideFrom;
        std::wstring wideTo;
        if (!widen(from, wideFrom) || !widen(to, wideTo)) return false;
        if (mayLink && CreateHardLinkW(wideTo.c_str(), wideFrom.c_str(), nullptr)) {
            linked = true;
            return true;
        }
        // Fails when `to` exists.
        return CopyFileW(wideFrom.c_str(), wideTo.c_str(), TRUE) != 0;
    }
};

#endif

}  // namespace

FileSystem& systemFileSystem() {
#if defined(_WIN32)
    static WindowsFileSystem system;
#else
    static PosixFileSystem system;
#endif
    return system;
}

}  // namespace qzOS
