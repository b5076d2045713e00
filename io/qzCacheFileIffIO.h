// Cache data files in the chunked IFF container: "kcc" files use 32-bit groups ("FOR4",
// extension "kc"), "kcx" files 64-bit groups ("FOR8", extension "kcx").
#pragma once

#include "qzCacheExport.h"
#include "qzCacheFileIO.h"
#include "qzString.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace iff {
class qzIffFile;
class qzIffTag;
}  // namespace iff

class QZCACHE_API qzCacheFileIffIO : public qzCacheFileIO {
public:
    // An unrecognised format (neither "kcc" nor "kcx") takes its variant from the first file
    // opened: an existing file keeps its own, a new one is written as "FOR8".
    qzCacheFileIffIO(qzCacheFileAccess access, const qzString::IString& cacheFormat);
    ~qzCacheFileIffIO() override;
    qzCacheFileIffIO(const qzCacheFileIffIO&) = delete;
    qzCacheFileIffIO& operator=(const qzCacheFileIffIO&) = delete;

    bool open(const qzString::IString& fileName) override;
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
    template <typename T>
    bool writeArray(const iff::qzIffTag& tag, const T* data, unsigned int count,
        unsigned int componentsPerElement);
    template <typename T>
    bool readArray(const iff::qzIffTag& tag, T* data, unsigned int count,
        unsigned int componentsPerElement);
    bool readU32WithTag(const iff::qzIffTag& tag, unsigned int& value);

    // Where the time groups met by findTime begin, so that a search that has to start over
    // (after a rewind, or for a time behind the position) jumps instead of walking the file
    // again. Kept while the same file is reopened with the same length; the groups are known
    // without a gap from the first one up to `end`.
    struct TimeGroup {
        std::uint64_t start;
        int time;
        bool hasTime;
    };
    struct GroupIndex {
        qzString::IString fileName;
        std::uint64_t fileLength = 0;
        std::uint64_t first = 0;  // where the first group after the header begins
        std::uint64_t end = 0;    // the known groups end here
        std::vector<TimeGroup> groups;   // in file order
        std::vector<std::size_t> timed;  // positions in `groups` of those with a time
        bool increasing = true;          // the times of `timed` increase strictly
        bool valid = false;
    };
    void resetGroupIndex(bool keepIfSameFile);
    bool findTagAt(const iff::qzIffTag& type, std::uint64_t& start);
    // One step of the plain search: the next time group, entered, its time read.
    bool walkToNextTimeGroup(int& groupTime, bool& hasTime);
    enum class IndexAnswer { kFound, kNotFound, kRewind, kWalkOn, kStale };
    IndexAnswer searchGroupIndex(int time, bool& mayRewind);
    bool enterIndexedGroup(std::size_t group);

    GroupIndex m_index;

    // Where the channel records of the last group searched by findChannelName begin, so that
    // reading a time's channels one after another does not scan the group again for each.
    // Every readable record between `from` and `to` is known.
    struct RecordIndex {
        std::uint64_t groupStart = 0;
        std::uint64_t groupEnd = 0;
        std::uint64_t from = 0;
        std::uint64_t to = 0;
        bool complete = false;  // the group has no further readable chunk after `to`
        std::vector<std::uint64_t> starts;  // in file order
        std::unordered_map<std::string, std::vector<std::size_t>> byName;  // into `starts`
        bool valid = false;
        bool largeRecords() const;
    };
    bool startOrExtendRecords();
    void limitReadAheadOfKnownFile();
    bool answerFromRecordIndex(const qzString::IString& name, bool& found);

    RecordIndex m_records;

    // The time group findTime entered last: where it begins and ends, and where its records
    // begin after the time.
    struct EnteredGroup {
        std::uint64_t start = 0;
        std::uint64_t end = 0;
        std::uint64_t body = 0;
        int time = 0;
        bool valid = false;
    };
    void rememberEnteredGroup(int time);
    bool reenterInsteadOfRewind(int time);
    std::vector<std::size_t>::const_iterator decisiveTimedGroup(
        std::vector<std::size_t>::const_iterator from, int time) const;
    EnteredGroup m_lastEntered;
    // True when no write to the current file has failed so far.
    bool writesOk() const;

    std::unique_ptr<iff::qzIffFile> m_file;
    qzString::IString m_fileName;
    qzString::IString m_cacheFormat;
};
