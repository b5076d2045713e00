// Cache data files in the chunked IFF container: "kcc" files use 32-bit groups ("FOR4",
// extension "kc"), "kcx" files 64-bit groups ("FOR8", extension "kcx").
#pragma once

#include "qzCacheExport.h"
#include "qzCacheFileIO.h"
#include "qzString.h"

#include <memory>

namespace iff {
class qzIffTag;
}  // namespace iff
struct qzCacheFileIffIOPrivate;

class QZCACHE_API qzCacheFileIffIO : public qzCacheFileIO {
public:
    // An unrecognised format (neither "kcc" nor "kcx") takes its variant from the first file
    // opened: an existing file keeps its own, a new one is written as "FOR8".
    qzCacheFileIffIO(qzCacheFileAccess access, const qzString::IString& cacheFormat);
    ~qzCacheFileIffIO() override;
    qzCacheFileIffIO(const qzCacheFileIffIO&) = delete;
    qzCacheFileIffIO& operator=(const qzCacheFileIffIO&) = delete;

    bool open(const qzString::IString& fileName) override;
    // A reader keeps the closed file's handle until it opens another name or is destroyed, so
    // that opening the same file again while it is unchanged costs one look at its status.
    // (Files are opened sharing reading, writing and deletion; isValid is false after close.)
    void close() override;
    bool isValid() override;
    bool readHeader() override;
    bool writeHeader(qzString::IString version, int startTime, int endTime) override;
    void beginWriteChunk() override;
    void endWriteChunk() override;
    bool beginReadChunk() override;
    void endReadChunk() override;
    bool writeTime(int time) override;
    bool readTime(int& time) override;
    bool findTime(int time, int& foundTime) override;
    bool readNextTime(int& time) override;
    unsigned int readArraySize() override;
    bool writeDoubleArray(const double* data, unsigned int count) override;
    bool readDoubleArray(double* data, unsigned int count) override;
    bool writeFloatArray(const float* data, unsigned int count) override;
    bool readInt32Array(int* data, unsigned int count) override;
    bool writeInt32Array(const int* data, unsigned int count) override;
    bool readFloatArray(float* data, unsigned int count) override;
    bool writeDoubleVectorArray(const double* data, unsigned int count) override;
    bool readDoubleVectorArray(double* data, unsigned int count) override;
    bool writeFloatVectorArray(const float* data, unsigned int count) override;
    bool readFloatVectorArray(float* data, unsigned int count) override;
    bool writeChannelName(const qzString::IString& name) override;
    bool findChannelName(const qzString::IString& name) override;
    bool readChannelName(qzString::IString& name) override;
    bool rewind() override;
    qzString::IString extension() override;

    int readInt32();
    bool writeInt32(int value);

    // Set once any write to the current file failed (a full disk, a lost device); cleared by
    // the next open. Like a stream's fail bit.
    bool hasWriteError() const;
    // Hands buffered writes to the operating system; false when that fails.
    bool flush();
    // For a reader of a file that a writer may still be appending to: forgets what it read
    // ahead and takes the file's new length, so that reading goes on into what was added.
    // (findTime does so by itself when a search runs off the end of the file.)
    void takeGrowth();
    // The last failure as text (file, chunk tag, offset, value), empty when none.
    const char* lastError() const;
    // How the current file's bytes failed a read since it was opened or rewound: not at all, a
    // file that ends inside a group or chunk whose sizes otherwise agree (cut off), or a size or
    // tag that contradicts its group or the file. `offset` receives where the failing group or
    // chunk begins; it is left alone when nothing failed.
    enum qzReadDamage : int { kNotDamaged = 0, kTruncatedFile = 1, kCorruptFile = 2 };
    qzReadDamage readDamage(std::uint64_t& offset) const;

protected:
    bool findTag(const iff::qzIffTag& type);
    bool nextTag();
    bool writeTag(const iff::qzIffTag& type);
    bool readIstring(const iff::qzIffTag& tag, qzString::IString& text);
    bool writeIstring(const iff::qzIffTag& tag, const qzString::IString& text);
    bool readInt32WithTag(const iff::qzIffTag& tag, int& value);
    bool writeInt32WithTag(const iff::qzIffTag& tag, int value);
    bool readbool(bool& value);
    bool writebool(bool value);

private:
    friend struct qzCacheFileIffIOPrivate;
    std::unique_ptr<qzCacheFileIffIOPrivate> m_private;
};
