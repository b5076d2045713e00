// Files held in memory, for reading input that never was a file (a fuzzer's bytes, a data file
// received over a wire) and for tests. Not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qzFileSystem.h"

namespace qzOS {

// Paths are names as given: nothing is resolved, except that "\" separates directories like
// "/" when listing. A directory exists while a file lies in it. Open handles keep their file's
// bytes when it is removed or replaced, as on POSIX. Safe to use from several threads.
class MemoryFileSystem final : public FileSystem {
public:
    MemoryFileSystem();
    ~MemoryFileSystem() override;

    // Adds a file holding these bytes, replacing any of that name.
    void addFile(const std::string& path, std::vector<unsigned char> bytes);
    // Adds a file that reads the caller's bytes where they are, without a copy: they must stay
    // unchanged and alive while this file system or a handle of it may read them. Opening the
    // file for writing copies them first.
    void addView(const std::string& path, const void* data, std::size_t size);
    // A copy of a file's bytes; false when there is none.
    bool contents(const std::string& path, std::vector<unsigned char>& bytes) const;

    std::unique_ptr<FileHandle> open(const char* path, OpenMode mode) override;
    bool status(const char* path, FileStatus& status) override;
    bool renameReplacing(const char* from, const char* to) override;
    bool remove(const char* path) override;
    bool listDirectory(const char* path, std::vector<std::string>& names) override;
    bool syncDirectory(const char* path) override;
    // A link names the same bytes twice: a write through either name shows under both.
    bool copyFile(const char* from, const char* to, bool mayLink, bool& linked) override;

    struct Node;

private:
    std::shared_ptr<Node> makeNode();
    std::shared_ptr<Node> find(const std::string& path) const;

    mutable std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<Node>> m_files;
    std::uint64_t m_nextNode = 1;
};

}  // namespace qzOS
