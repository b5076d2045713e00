// File names and directory listing.
#pragma once

#include <cstddef>
#include <vector>

#include "qzString.h"
#include "qzThread.h"

namespace qzOS {

class File {
public:
    explicit File(const qzString::IString& path) : m_path(path) {}
    virtual ~File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    const qzString::IString& path() const { return m_path; }
    // Fills `names` with the bare names of the directory's entries; the flag asks for a
    // recursive listing, which is not offered (ignored).
    qzUtil::Error readDir(std::vector<qzString::IString>& names, bool recursive) const;

private:
    friend class FileFactory;
    qzString::IString m_path;
};

class FileFactory {
public:
    static FileFactory* getFileFactory();
    // A directory object for the path, or null when none can be made. The factory keeps it;
    // the caller never releases it. It stays valid on the calling thread until that thread
    // has asked for kFilesPerThread more, or ends.
    File* createFile(const qzString::IString& path);

    static constexpr std::size_t kFilesPerThread = 8;

private:
    FileFactory() = default;
};

class Filename {
public:
    explicit Filename(const qzString::IString& path) : m_path(path) {}
    // The name without directory and extension: "/a/b/wave.pc2" gives "wave".
    qzString::IString baseTrunk() const;

private:
    qzString::IString m_path;
};

}  // namespace qzOS
