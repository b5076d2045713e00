// Helpers shared by the tests: a private temporary directory per test and file utilities.
// Every path here is UTF-8, as the library takes it; on Windows it is widened, never read in
// the ANSI code page.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qzString.h"

class qzCacheFileAccessor;

namespace qztest {

// Creates a fresh directory under the system's temporary directory and removes it, with
// everything in it, when destroyed. Its name holds non-ASCII letters, so that every test that
// touches files also shows that UTF-8 paths reach the right file. Throws when no directory can
// be made.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The directory path with a trailing "/", ready to be used as a storage location.
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + name; }

private:
    std::string m_path;
};

// A UTF-8 path for std::filesystem and the standard streams.
inline std::filesystem::path fsPath(const std::string& utf8) {
    return std::filesystem::u8path(utf8);
}

// Windows refuses to replace a file that another handle holds open, unless it renames with
// POSIX semantics (Windows 10 and later on NTFS; not wine). The holder reads the old file on.
#if defined(_WIN32)
constexpr bool kReplacingAHeldFileMayBeRefused = true;
#else
constexpr bool kReplacingAHeldFileMayBeRefused = false;
#endif

std::vector<std::uint8_t> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
bool fileExists(const std::string& path);

// Library text from UTF-8.
qzString::IString text(const std::string& utf8);

// Holds one reference to a new accessor and gives it back at the end of the test.
struct Unref {
    void operator()(qzCacheFileAccessor* accessor) const;
};
struct AccessorRef : std::unique_ptr<qzCacheFileAccessor, Unref> {
    AccessorRef();
    // Takes over the caller's reference, e.g. to an accessor of a derived test class.
    explicit AccessorRef(qzCacheFileAccessor* adopted) : unique_ptr(adopted) {}
};

// Bounded waits: a test that would otherwise hang fails with a message instead.
constexpr std::chrono::seconds kPatience{30};
// Polls `condition` until it holds or `patience` has passed; its last answer.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds patience = kPatience);
// Runs `work` on a thread of its own; false when it has not ended within `patience` (it is
// then left running: what it uses must be kept alive by `work` itself).
bool endsInTime(std::function<void()> work, std::chrono::milliseconds patience = kPatience);

}  // namespace qztest
