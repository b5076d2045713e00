// Pieces that stitching and rebuilding caches share with the cache checker: the parts of a
// description path, the files a cache's names take in its directory, sampling records made
// from a list of times, and the files a run creates, removed again unless it succeeds. Not
// installed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qzCacheFileAccessor.h"

namespace qzOS {
class FileSystem;
}

namespace qzFarm {

struct ReleaseAccessor {
    void operator()(qzCacheFileAccessor* accessor) const {
        if (accessor != nullptr) accessor->unref();
    }
};
using AccessorHolder = std::unique_ptr<qzCacheFileAccessor, ReleaseAccessor>;

// "dir/shot.xml" gives "dir/" and "shot"; false for a name without the ".xml" of descriptions
// or without a name before it.
bool splitDescriptionPath(const std::string& path, std::string& location, std::string& baseName);

// The entries of a cache's directory that its names take: the description, the one-file data
// files ("shot.kc", "shot.kcx") and every entry that begins like a frame file ("shotFrame"),
// as bare names.
struct CacheFileNames {
    bool description = false;
    std::vector<std::string> oneFile;
    std::vector<std::string> frameFiles;
    bool any() const { return description || !oneFile.empty() || !frameFiles.empty(); }
};
// False when the directory cannot be listed.
bool findCacheFileNames(qzOS::FileSystem& files, const std::string& location,
                        const std::string& baseName, CacheFileNames& names);

// Gives the channel the sampling record that its sample times, added in ascending order, make:
// regular while they are evenly spaced, a list of times otherwise. False, the channel left as
// it was, when the record cannot hold them (a list longer than a record lists).
bool setSamplingFromTimes(qzCacheFileAccessor& accessor, unsigned int channel,
                          const std::vector<int>& times);

// The files a run creates. Unless kept, they are removed again when this object goes (the
// caller releases every handle on them first), so that a failed run leaves none behind.
class CreatedFiles {
public:
    explicit CreatedFiles(qzOS::FileSystem& files) : m_files(files) {}
    ~CreatedFiles();
    CreatedFiles(const CreatedFiles&) = delete;
    CreatedFiles& operator=(const CreatedFiles&) = delete;

    // Noted before the file is made, so that a failure half way removes it too. A linked file
    // is another's: it is not synced.
    void add(const std::string& path, bool linked = false);
    // Brings every file made to the device.
    bool syncAll();
    void keep() { m_kept = true; }

private:
    struct Entry {
        std::string path;
        bool linked;
    };
    qzOS::FileSystem& m_files;
    std::vector<Entry> m_created;
    bool m_kept = false;
};

}  // namespace qzFarm
