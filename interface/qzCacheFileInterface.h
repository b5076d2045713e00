// A facade over one accessor for callers that work with plain character strings (UTF-8 in,
// malloc'ed UTF-8 out, released by the caller with free), and the PC2 and MDD converters.
#pragma once

#include <cstdint>

#include "qzCacheData.h"
#include "qzCacheExport.h"

class qzCacheFileAccessor;

class QZCACHE_API qzCacheFileInterface {
public:
    enum cacheFileFormat : int { kFormatOneFile = 0, kFormatOneFilePerFrame = 1 };

    qzCacheFileInterface();
    // Stops the background worker, if any, then releases the accessor.
    virtual ~qzCacheFileInterface();
    qzCacheFileInterface(const qzCacheFileInterface&) = delete;
    qzCacheFileInterface& operator=(const qzCacheFileInterface&) = delete;

    bool initFileRead(const char* baseFileName, const char* storageLocation);
    bool initFileWrite(const char* storageLocation, const char* baseFileName,
                       cacheFileFormat format, const char* cacheFormat, int ticksPerFrame);
    bool reOpenForWrite();
    cacheFileFormat format() const;

    char* baseFileName() const;
    char* storageLocation() const;
    // On failure the caller's pointer is left as it was and nothing is allocated.
    bool channelName(unsigned int channel, char** name) const;
    bool channelInterpretation(unsigned int channel, char** interpretation) const;
    bool getDataFilePath(unsigned int index, char** path);

    bool addChannel(const char* name, const char* interpretation,
                    qzCacheData::qzCacheDataType type, unsigned int& index);
    bool hasChannelByName(const char* name, unsigned int& index) const;
    bool addArrayData(unsigned int channel, int time, void* data, unsigned int length);
    void beginWriteAtTime(int time);
    void endWriteAtTime();
    bool endFileWrite();
    // Live caches (see qzCacheFileAccessor::setLiveWrite): after initFileWrite, each ended time
    // is handed to the system and then named by a new description, at most once per
    // `minimumIntervalMs`; endFileWrite marks the cache complete.
    void setLiveWrite(bool on, unsigned int minimumIntervalMs = 1000);
    // After initFileRead: learns the times, channels and end times a writer added since; see
    // qzCacheFileAccessor::refresh.
    bool refresh(bool& changed);
    // False while the description says that its writer has not finished.
    bool isComplete() const;
    bool channelDataType(unsigned int channel, qzCacheData::qzCacheDataType& type) const;
    bool channelSamplingRate(unsigned int channel, int& rate) const;
    bool isChannelSamplingRegular(unsigned int channel) const;
    bool getChannelStartTime(unsigned int channel, int& time) const;
    bool getChannelEndTime(unsigned int channel, int& time) const;
    std::uint64_t numChannels() const;
    int getTicksPerFrame() const;
    // `length` on entry is the element count the buffer holds; it receives the count delivered.
    bool getArrayDataAtTime(unsigned int channel, int time, void*& data, unsigned int& length);
    bool getArrayLengthAtTime(unsigned int channel, int time, unsigned int& length);
    std::uint64_t getDataCount(unsigned int channel);
    int getDataFileCount();
    bool getDataTime(unsigned int channel, unsigned int index, int& time);
    bool getNextTimeWithData(int time, int& next);
    bool getNextTimeWithData(unsigned int channel, int time, int& next);
    void setMemoryPreLoadQueueSize(unsigned int size);
    void setOptimizeMultiChannelRead(bool on);
    bool startMultiThreadRead(bool report);
    bool stopMultiThreadRead();
    bool isInMultiThreadReadMode();
    static bool copyChannelData(qzCacheFileAccessor& source, unsigned int sourceChannel,
                                qzCacheFileAccessor& target, unsigned int targetChannel, int time);

    // The accessor behind the facade, for calls the facade does not forward.
    qzCacheFileAccessor* accessor() const { return m_accessor; }

    static bool convertToPc2(const char* pc2File, const char* storageLocation,
                             const char* baseFileName, unsigned int channel, int step);
    // A PC2 file cut short (an export that stopped) is converted as far as it goes: the
    // samples it holds are written, then a description of them, and the result is false. One
    // that cannot hold a single sample is refused before anything is written.
    static bool convertFromPc2(const char* pc2File, const char* storageLocation,
                               const char* baseFileName, cacheFileFormat format,
                               const char* cacheFormat, int ticksPerFrame);

    // The header of a PC2 file, as convertFromPc2 reads it.
    struct Pc2Header {
        int fileVersion = 0;
        int numPoints = 0;
        float startFrame = 0.0f;
        float sampleRate = 0.0f;
        int numSamples = 0;
        int samplesInFile = 0;  // of numSamples, those whose bytes the file holds
    };
    // False when the file does not open or its header is refused (signature, a version other
    // than 1, no points or samples, a sample rate not above 0); `header` then holds the fields
    // read before the refusal, the others 0.
    static bool readPc2Header(const char* pc2File, Pc2Header& header);

    // MDD point caches. Like their PC2 twins (the same channels, sampling, layouts and salvage
    // of a file cut short), plus the frames per second (finite, above 0) that turn the file's
    // times in seconds into ticks: ticks = seconds x ticksPerFrame x framesPerSecond, rounded to
    // the nearest tick. convertFromMdd refuses, before writing anything, a file whose frames'
    // times are not finite, fall outside the tick range, or do not each come after the one
    // before once in ticks.
    static bool convertToMdd(const char* mddFile, const char* storageLocation,
                             const char* baseFileName, unsigned int channel, int step,
                             double framesPerSecond);
    static bool convertFromMdd(const char* mddFile, const char* storageLocation,
                               const char* baseFileName, cacheFileFormat format,
                               const char* cacheFormat, int ticksPerFrame,
                               double framesPerSecond);

    // The header of an MDD file and the times of the frames it holds.
    struct MddHeader {
        int numFrames = 0;
        int numPoints = 0;
        int framesInFile = 0;  // of numFrames, those whose points the file holds
        float firstTime = 0.0f;  // seconds of the first and last of those
        float lastTime = 0.0f;
        int unorderedFrame = -1;  // the first of those whose time is not finite or not after
                                  // the one before; -1 when none
    };
    // False when the file does not open, a count is not above 0 or the file does not hold the
    // whole time table; `header` then holds the counts read before the refusal, the rest 0.
    static bool readMddHeader(const char* mddFile, MddHeader& header);

private:
    qzCacheFileAccessor* m_accessor;
};
