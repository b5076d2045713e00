// The XML description file of a cache: a plain record of the description (its settings and
// one entry per channel, as the file holds them), one operation that parses a file into it
// and one that writes it out. It knows nothing of the accessor, so that a description can be
// written from any record (the accessor maps its settings and channels onto one).
// Internal: libxml2 stays in the .cpp.
#pragma once

#include <cstdint>
#include <vector>

#include "qzString.h"

struct _xmlNode;
namespace qzOS {
class FileSystem;
}

class qzCacheDescriptionIO {
public:
    // The file's vocabulary. The values are those of qzCacheFileAccessor::
    // qzCacheFileDistribution, qzCacheData::qzCacheDataType and qzCacheChannel::
    // qzCacheSamplingType, which the accessor's mapping relies on.
    enum CacheType : int { kNoCacheType = 0, kOneFile = 1, kOneFilePerFrame = 2 };
    enum DataType : int {
        kUnknownData = 0, kDouble, kDoubleArray, kDoubleVectorArray, kInt32Array, kFloatArray,
        kFloatVectorArray
    };
    enum SamplingType : int { kRegular = 0, kIrregular = 1 };

    struct ChannelDescription {
        qzString::IString m_name;
        DataType m_dataType = kUnknownData;
        qzString::IString m_interpretation;
        SamplingType m_samplingType = kRegular;
        int m_samplingRate = 0;
        int m_startTime = 0;
        int m_endTime = 0;
    };

    // `fileName` is the description file's full path (UTF-8).
    explicit qzCacheDescriptionIO(const qzString::IString& fileName);
    virtual ~qzCacheDescriptionIO();

    // Parses the file into the record. On failure the record keeps what it received before
    // the failure; callers discard it. Prints nothing.
    bool readFile();
    // How far a write goes before it returns: synced to the device (the new file, then its
    // rename, last through a power cut), or handed to the operating system only (it lasts
    // through a crash of the process, which is all a cache still being written needs).
    enum class Durability { kSynced, kHandedOver };
    // Replaces the file by the record in one step: written beside it under another name, then
    // renamed over it. On any failure the earlier file is left as it was and false returned.
    bool writeFile(Durability durability = Durability::kSynced);
    // Appends one ChannelDescription per element child of a "Channels" element; false when a
    // child that is not text lacks an attribute or carries a number that does not scan.
    bool readChannels(_xmlNode* channels);

    // Unlisted values give "UnknownData".
    static const char* dataTypeName(DataType type);
    // Unlisted names, "UnknownData" among them, give kUnknownData.
    static DataType dataTypeFromName(const qzString::IString& name);

    const qzString::IString& fileName() const { return m_fileName; }
    // The file system the file is read from and written to: the process default unless set.
    // It must outlive the object.
    void setFileSystem(qzOS::FileSystem& fileSystem) { m_fileSystem = &fileSystem; }

    void addChannel(const ChannelDescription& channel) { m_channels.push_back(channel); }
    unsigned int channelCount() const { return static_cast<unsigned int>(m_channels.size()); }
    // Null when the index is out of range.
    const ChannelDescription* channel(unsigned int index) const;

    void setVersion(const qzString::IString& version) { m_version = version; }
    const qzString::IString& version() const { return m_version; }

    void addDescriptionInfo(const qzString::IString& line) { m_descriptionInfo.push_back(line); }
    unsigned int descriptionInfoCount() const {
        return static_cast<unsigned int>(m_descriptionInfo.size());
    }
    // Empty when the index is out of range.
    qzString::IString descriptionInfo(unsigned int index) const;

    void setCacheType(CacheType type) { m_cacheType = type; }
    CacheType cacheType() const { return m_cacheType; }

    void setStartTime(int time) { m_startTime = time; }
    int startTime() const { return m_startTime; }
    void setEndTime(int time) { m_endTime = time; }
    int endTime() const { return m_endTime; }
    void setTimeRangeSet(bool set) { m_timeRangeSet = set; }
    bool timeRangeSet() const { return m_timeRangeSet; }

    // A document without "cacheTimePerFrame" leaves the time per frame unset; it then reads 0.
    void setTimePerFrame(int ticks) {
        m_timePerFrame = ticks;
        m_hasTimePerFrame = true;
    }
    int timePerFrame() const { return m_timePerFrame; }
    bool hasTimePerFrame() const { return m_hasTimePerFrame; }

    void setCacheFormat(const qzString::IString& format) { m_cacheFormat = format; }
    const qzString::IString& cacheFormat() const { return m_cacheFormat; }

    // A cache written live carries a "cacheWriting" element (readers that do not know it ignore
    // it): `write` names the write, anew for every write, so that a reader tells a cache
    // written anew under the same name; `complete` says that its writer finished. Until then
    // the description names the times completed so far and, for a one-file cache,
    // `writtenTimeGroups` how many time groups from the start of its data file those fill;
    // later groups are the writer's work in progress. Without the element a cache is complete.
    void setLiveWrite(const qzString::IString& write, bool complete) {
        m_live = true;
        m_liveWrite = write;
        m_liveComplete = complete;
    }
    bool writtenLive() const { return m_live; }
    // Empty when the element names none.
    const qzString::IString& liveWrite() const { return m_liveWrite; }
    bool beingWritten() const { return m_live && !m_liveComplete; }
    void setWrittenTimeGroups(std::uint64_t groups) {
        m_writtenTimeGroups = groups;
        m_hasWrittenTimeGroups = true;
    }
    // False when the element gives no readable count (a per-frame cache, or damage).
    bool writtenTimeGroups(std::uint64_t& groups) const {
        if (m_hasWrittenTimeGroups) groups = m_writtenTimeGroups;
        return m_hasWrittenTimeGroups;
    }

private:
    qzOS::FileSystem& fileSystem() const;

    qzOS::FileSystem* m_fileSystem = nullptr;
    qzString::IString m_fileName;
    std::vector<ChannelDescription> m_channels;
    qzString::IString m_version;
    std::vector<qzString::IString> m_descriptionInfo;
    CacheType m_cacheType;
    int m_startTime;
    int m_endTime;
    int m_timePerFrame;
    bool m_hasTimePerFrame;
    bool m_timeRangeSet;
    qzString::IString m_cacheFormat;
    bool m_live = false;
    qzString::IString m_liveWrite;
    bool m_liveComplete = false;
    bool m_hasWrittenTimeGroups = false;
    std::uint64_t m_writtenTimeGroups = 0;
};
