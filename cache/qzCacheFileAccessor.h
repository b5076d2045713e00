// One cache: a description file plus its data files. Reference counted: created with
// createQzCacheFileAccessor, released with unref.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qzCacheChannel.h"
#include "qzCacheData.h"
#include "qzCacheExport.h"
#include "qzString.h"
#include "qzThread.h"

class qzCacheFileIO;
class qzCacheDescriptionIO;
struct qzCacheFileAccessorPrivate;

class QZCACHE_API qzCacheFileAccessor {
public:
    enum qzCacheFileDistribution : int { kNoDistribution = 0, kOneFile = 1, kOneFilePerFrame = 2 };

    // Lifetime. The creator holds the one reference; null when it cannot be allocated.
    static qzCacheFileAccessor* createQzCacheFileAccessor();
    void ref();
    void unref();

    qzCacheFileAccessor(const qzCacheFileAccessor&) = delete;
    qzCacheFileAccessor& operator=(const qzCacheFileAccessor&) = delete;

    // Settings: plain stores, none validates its argument.
    void setStorageLocation(const qzString::IString& location);
    qzString::IString storageLocation() const;
    void setBaseFileName(const qzString::IString& name);
    qzString::IString baseFileName() const;
    void setCacheFormat(const qzString::IString& format);
    qzString::IString cacheFormat() const;
    void setDistribution(qzCacheFileDistribution distribution);
    qzCacheFileDistribution distribution() const;
    // Any value is stored; with 0 or below nothing divides by it: per-frame names are empty
    // and every operation that would open one reports false.
    void setTimePerFrame(int ticks);
    int getTicksPerFrame() const;
    void setMemoryCache(bool on);
    bool memoryCache() const;
    // Installs the data file reader or writer; owned from then on. A previous one is neither
    // closed nor released here.
    void setFileAccessor(qzCacheFileIO* fileIO);
    qzCacheFileIO* fileAccessor() const;
    void setThreadFileAccessor(qzCacheFileIO* fileIO);
    void removeThreadFileAccessor();
    // Only once the first startMultiThreadRead made it.
    qzThread::Mutex& getThreadWorkingMutex();

    // Channel registry. An index at or beyond numChannels() is out of range: such calls return
    // false (0, null) and leave their outputs untouched.
    bool addChannel(const qzString::IString& name, const qzString::IString& interpretation,
                    qzCacheData::qzCacheDataType dataType, unsigned int& index);
    size_t numChannels() const;
    bool hasChannelByName(const qzString::IString& name, unsigned int& index) const;
    bool isArrayData(unsigned int channel) const;
    bool isChannelSamplingRegular(unsigned int channel) const;
    bool channelName(unsigned int channel, qzString::IString& name) const;
    bool channelInterpretation(unsigned int channel, qzString::IString& interpretation) const;
    bool channelDataType(unsigned int channel, qzCacheData::qzCacheDataType& type) const;
    bool channelInterpolation(unsigned int channel,
                              qzCacheChannel::qzCacheInterpolation& interpolation) const;
    bool setChannelInterpolation(unsigned int channel,
                                 qzCacheChannel::qzCacheInterpolation& interpolation);
    bool channelSamplingType(unsigned int channel, qzCacheChannel::qzCacheSamplingType& type);
    bool setChannelSamplingType(unsigned int channel, qzCacheChannel::qzCacheSamplingType type);
    bool getChannelStartTime(unsigned int channel, int& time) const;
    bool setChannelStartTime(unsigned int channel, int time);
    bool getChannelEndTime(unsigned int channel, int& time) const;
    bool setChannelEndTime(unsigned int channel, int time);
    bool setChannelSamplingRate(unsigned int channel, int rate);
    // Regular channels only; an irregular channel or a bad index gives rate 0 and false.
    bool channelSamplingRate(unsigned int channel, int& rate) const;
    // Smallest start and largest end over all channels, empty ones included; false (outputs
    // untouched) without channels.
    bool getStartEndTime(int& start, int& end) const;
    bool copyChannels(qzCacheFileAccessor& destination);
    // A malloc block of count elements for the channel's type; null for kDouble, kUnknownData
    // and a bad index. Release it with free.
    void* allocateDataForChannel(unsigned int channel, unsigned int count) const;

    void addDescriptionInfo(const qzString::IString& line);
    unsigned int descriptionInfoCount() const;
    void getDescriptionInfo(unsigned int index, qzString::IString& line) const;

    // Data file paths.
    qzString::IString constructDataFilePathForOneFile();
    qzString::IString constructDataFilePathForOneFilePerFrame(int time);

    // Writing.
    void beginWriteAtTime(int time);
    bool addData(unsigned int channel, int time, double value);
    bool addArrayData(unsigned int channel, int time, void* data, unsigned int length);
    void endWriteAtTime();
    bool endFileWrite();
    // Continues a one-file-per-frame cache with a new writer (owned from then on).
    bool reOpenForWrite(qzCacheFileIO* writer);
    static bool copyChannelData(qzCacheFileAccessor& source, unsigned int sourceChannel,
                                qzCacheFileAccessor& destination, unsigned int destinationChannel,
                                int time, bool fallBack);
    static bool copyChannelData(qzCacheFileAccessor& source, const qzString::IString& sourceChannel,
                                qzCacheFileAccessor& destination,
                                const qzString::IString& destinationChannel, int time,
                                bool fallBack);

    // Reading. `count` is the element count the caller's buffer holds; `length` receives the
    // count delivered (on a count mismatch at a stored time: false, and the stored count).
    bool getArrayDataAtTime(unsigned int channel, int time, unsigned int count, void*& data,
                            unsigned int& length);
    bool getDataAtTime(unsigned int channel, int time, double& value) const;
    bool getArrayLengthAtTime(unsigned int channel, int time, unsigned int& length);
    bool readArrayLengthAtTime(unsigned int channel, int time, unsigned int& length);
    bool hasDataAtTime(unsigned int channel, int time) const;
    std::uint64_t getDataCount(unsigned int channel);
    bool getDataTime(unsigned int channel, unsigned int index, int& time);
    bool getNextTimeWithData(unsigned int channel, int time, int& next);
    bool getNextTimeWithData(int time, int& next);
    bool getPrevTimeWithData(int time, int& previous);
    bool getPreviousTimeWithData(int time, int& previous);
    // getArrayDataAtTime as if the channel's interpolation were `interpolation`; the channel's
    // own is left alone, so threads may read one channel in different ways at once.
    bool getArrayDataAtTime(unsigned int channel, int time, unsigned int count, void*& data,
                            unsigned int& length,
                            qzCacheChannel::qzCacheInterpolation interpolation);
    // Every time of the channel's sampling record in ascending order (an irregular channel's
    // files are scanned first, as for getDataCount). False, `times` untouched, for a bad index
    // and for a record of more than kMaxDataTimes times, which only a damaged or hostile
    // description claims.
    static constexpr unsigned int kMaxDataTimes = 1u << 24;
    bool getDataTimes(unsigned int channel, std::vector<int>& times);
    // Whether `count` elements of the channel's type fit in a data file that a read at `time`
    // may take them from (the file of the time itself, of its neighbours or of the channel's
    // ends). A count read from a file is checked so before a buffer of that size is made.
    bool arrayFitsDataFiles(unsigned int channel, int time, unsigned int count);

    // Description file.
    bool readDescriptionFile(const qzString::IString& baseFileName,
                             const qzString::IString& storageLocation);
    bool writeDescriptionFile(const qzString::IString& fileName);

    // Live caches, read while they are written. With live writing on, endWriteAtTime hands the
    // time's data to the operating system and then replaces the description, naming every
    // time completed so far and marked as still being written; at most once per interval
    // (default 1000 ms, counted from when live writing was turned on: times that end sooner
    // are named by the next publish). endFileWrite publishes as always and marks the cache
    // complete. A writer killed at any moment leaves a
    // description that names complete times only. Live publishes are handed to the operating
    // system, not synced to the device; endFileWrite syncs as before.
    void setLiveWrite(bool on);
    bool liveWrite() const;
    void setLivePublishInterval(unsigned int milliseconds);
    // Reads the description again and learns what its writer added since: new channels, the
    // channels' new times and end times, whether the cache is complete. Samples held in memory
    // stay (all of them when the description now names fewer times: a cache written anew).
    // `changed` tells whether anything changed. False, with nothing changed, when the
    // description cannot be read or describes another cache now (another layout, cache
    // format or frame length, or a channel of another type): open that one anew. Safe while
    // the background worker runs; not concurrently with other calls from other threads.
    bool refresh(bool& changed);
    // False while the description read last says that its writer has not finished.
    bool isComplete() const;

    // Memory cache and background preloading.
    void setOptimizeMultiChannelRead(bool on);
    void setMemoryPreLoadQueueSize(unsigned int size);
    unsigned int memoryPreLoadQueueSize() const;
    void reduceMemoryPreLoadQueueSize();
    void setLastRequestedTime(int time);
    bool getLastRequestedTime(int& time);
    bool readAllDataAtTimeAndStoreInMemory(int time, std::vector<int>& keepTimes,
                                           qzCacheFileIO* reader);
    bool preLoadWorkAvailable(int& time);
    bool threadLoadNextDataItem(int time);
    bool startMultiThreadRead(bool verbose);
    bool stopMultiThreadRead();
    bool isInMultiThreadReadMode();
    static void workerThreadFunc(void* accessor);
    void sleep();
    void signalWorkerThreadEvent();

    // The files of the cache: the description file first, then the data files by time. The
    // count is -1 when the channels claim more than a million (2^20) frame files, which only a
    // damaged or hostile description does; paths are given for the first 2^20 only.
    int getDataFileCount();
    bool getDataFilePath(unsigned int index, qzString::IString& path);

protected:
    qzCacheFileAccessor();
    virtual ~qzCacheFileAccessor();

    bool addChannel(const qzCacheChannel& channel, unsigned int& index);
    bool setStartEndTime(int& start, int& end);

    static qzString::IString constructDescriptionFileFullPath(const qzString::IString& location,
                                                              const qzString::IString& baseName);
    bool searchDirectoryForDataTimes(std::vector<int>& times);

    bool writeArrayDataToFile(unsigned int channel, int time, void* data, unsigned int length);

    bool getStoredArrayDataAtTime(unsigned int channel, int time, unsigned int count, void*& data,
                                  unsigned int& length);
    bool readArrayDataFromFile(unsigned int channel, int time, unsigned int count, void*& data,
                               unsigned int& length) const;
    bool readChannelDataFromFile(unsigned int channel, void*& data, unsigned int count,
                                 qzCacheFileIO* reader) const;
    bool readArrayLengthAtTimeFromFile(unsigned int channel, int time, unsigned int& length) const;
    bool findChannelDataFromFile(unsigned int channel, int time) const;
    bool scanForData(unsigned int channel);
    bool scanForAllData();
    bool searchFileForData(unsigned int channel);

    bool getInterpolatedArrayDataAtTime(unsigned int channel, int time, unsigned int count,
                                        void*& data, unsigned int& length);
    bool getLinearInterpolatedDataAtTime(unsigned int channel, int time, int previousTime,
                                         int nextTime, unsigned int count, void*& data,
                                         unsigned int& length);
    bool getSplineInterpolatedDataAtTime(unsigned int channel, int time, int previousTime,
                                         int nextTime, unsigned int count, void*& data,
                                         unsigned int& length);
    static float catmullRom(const float& p0, const float& p1, const float& p2, const float& p3,
                            const float& t);
    static double catmullRom(const double& p0, const double& p1, const double& p2,
                             const double& p3, const double& t);

    void getDataTimesToBeCached(int time, std::vector<int>& times);
    // The copying read mode: the sample at exactly `time` copied from memory, loading the time
    // first (on this thread, or by waiting for the worker) when it is missing.
    bool getStoredArrayDataByCopying(unsigned int channel, int time, unsigned int count,
                                     void*& data, unsigned int& length);

    qzCacheFileIO* m_fileAccessor;
    qzCacheFileIO* m_threadFileAccessor;
    qzCacheFileDistribution m_distribution;
    bool m_memoryCache;
    qzString::IString m_storageLocation;
    qzString::IString m_baseFileName;
    qzString::IString m_cacheFormat;
    int m_ticksPerFrame;
    bool m_optimizeMultiChannelRead;
    std::vector<qzString::IString> m_descriptionInfo;
    std::vector<qzCacheChannel*> m_channels;
    int m_refCount;
    // Read by the worker and by readers without a lock.
    std::atomic<bool> m_multiThreadReadMode;
    qzThread::Semaphore* m_workerWakeSemaphore;
    qzThread::Semaphore* m_workerEventSemaphore;
    std::atomic<unsigned int> m_memoryPreLoadQueueSize;
    int m_lastRequestedTime;
    bool m_hasLastRequestedTime;
    qzThread::Mutex* m_stateMutex;
    qzThread::Mutex* m_lastRequestedTimeMutex;
    qzThread::Mutex* m_threadWorkingMutex;
    bool m_verbose;

private:
    // How an exact-time read ended. A sample of another element count is not a missing one:
    // it must neither be interpolated over nor change the channel's sampling record. Nor is a
    // sample whose record is there but whose array does not read (damaged bytes, a failed
    // read): that request fails, and no interpolation blends over it.
    enum class StoredRead { kFound, kAbsent, kOtherCount, kDamaged };
    StoredRead readStoredArray(unsigned int channel, int time, unsigned int count, void*& data,
                               unsigned int& length);
    // Reads the channel's array at `time` through a reader already open on its data file.
    StoredRead readArrayThrough(qzCacheFileIO* reader, unsigned int channel, int time,
                                unsigned int count, void*& data, unsigned int& length) const;
    bool scanFrameFiles(unsigned int channel, const std::vector<int>& times);
    bool searchFileAfter(unsigned int channel, const int* after);
    // The description as the settings and sampling records give it (qzCacheFileAccessor
    // Description.cpp), what it says of its writer, and a description read again applied to
    // the channels (every record anew for a cache written anew): true when anything changed.
    void describeInto(qzCacheDescriptionIO& description) const;
    void noteWriter(const qzCacheDescriptionIO& description);
    bool applyDescription(const qzCacheDescriptionIO& description,
                          const std::vector<int>& channelOf, const std::vector<bool>& listed,
                          bool anew);
    friend bool qzWrittenTimeGroups(const qzCacheFileAccessor& accessor, std::uint64_t& groups);
    // Replaces the description as a live writer does (qzCacheFileAccessorWriting.cpp).
    bool publishLive();
    // The neighbour samples an interpolated request reads (defined beside the interpolation).
    struct Neighbours;
    bool interpolateAs(unsigned int channel, int time,
                       qzCacheChannel::qzCacheInterpolation method, unsigned int count,
                       void*& data, unsigned int& length);
    bool interpolationFallback(unsigned int channel, int time,
                               qzCacheChannel::qzCacheInterpolation method, unsigned int count,
                               void*& data, unsigned int& length);

    // State beyond the fields above (name index, side reader, worker bookkeeping).
    qzCacheFileAccessorPrivate* m_private;
};
