// A named, typed stream of time samples: its definition, its sampling record (which times
// hold samples, in files or in memory) and the samples currently held in memory.
#pragma once

#include <cstdint>
#include <vector>

#include "qzCacheData.h"
#include "qzCacheExport.h"
#include "qzString.h"
#include "qzThread.h"

class QZCACHE_API qzCacheChannel {
public:
    enum qzCacheInterpolation : int {
        kNoInterpolation = 0,
        kStepPrevious = 1,
        kStepNext = 2,
        kLinear = 3,
        kCatmullRom = 4
    };
    enum qzCacheSamplingType : int { kRegular = 0, kIrregular = 1 };

    qzCacheChannel(const qzString::IString& name, const qzString::IString& interpretation,
                   qzCacheData::qzCacheDataType dataType);
    virtual ~qzCacheChannel();
    qzCacheChannel(const qzCacheChannel&) = delete;
    qzCacheChannel& operator=(const qzCacheChannel&) = delete;

    static qzCacheInterpolation defaultInterpolation(qzCacheData::qzCacheDataType type);

    const qzString::IString& name() const { return m_name; }
    const qzString::IString& interpretation() const { return m_interpretation; }
    bool ownsArrayData() const;
    qzCacheData::qzCacheDataType dataType() const { return m_dataType; }
    qzCacheInterpolation interpolation() const { return m_interpolation; }
    qzCacheSamplingType samplingType() const { return m_samplingType; }
    int samplingRate() const { return m_samplingRate; }
    int startTime() const { return m_startTime; }
    int endTime() const { return m_endTime; }
    const std::vector<int>& times() const { return m_times; }

    void setInterpolation(qzCacheInterpolation interpolation) { m_interpolation = interpolation; }
    void setSamplingRate(int rate) { m_samplingRate = rate; }
    void setStartTime(int time) { m_startTime = time; }
    void setEndTime(int time) { m_endTime = time; }
    // kRegular empties the time list; start, end and rate stay.
    void setSamplingType(qzCacheSamplingType type);
    // Copies the source's time list when both channels are irregular.
    void copyTimes(const qzCacheChannel& source);

    // The most times a regular record is ever spelt out as a list (a million). A grid holding
    // more stays a grid: a time off it cannot be recorded.
    static constexpr unsigned int kMaxListedTimes = 1u << 20;
    // Records one more sample time in the sampling record. A time off the grid turns a regular
    // record into the explicit list of its times and the new one; false, and nothing changed,
    // when the grid holds more than kMaxListedTimes times or the list cannot be allocated.
    bool addTime(int time);
    // Whether addTime would record `time`.
    bool canAddTime(int time) const;

    // Stored samples (locked: each holds m_mutex for its whole run). A store that cannot
    // allocate what it needs returns false and leaves the samples and the record as they were.
    bool storeData(double value, int time);
    // With `copy`, stores a copy of `data` (length elements); without it, keeps the caller's
    // pointer, which must then outlive the sample. A copy on a channel without an element size
    // (kDouble, kUnknownData) stores nothing and returns false.
    bool storeArrayData(void* data, unsigned int length, bool copy, int time, bool addToTimes);
    // Unlocked: callers hold m_mutex.
    void insertData(qzCacheData* sample);
    bool findData(int time, unsigned int& position, bool lock) const;
    bool getData(int time, double& value) const;
    // Lends the stored buffer itself; valid until that sample is replaced or removed.
    bool getArrayData(int time, void*& data, unsigned int& length) const;
    // Copies only when the stored length equals `length`.
    bool copyArrayData(void* destination, unsigned int length, int time) const;
    // The stored element count at `time`; false when no sample is stored there.
    bool storedArrayLength(int time, unsigned int& length) const;
    unsigned int storedDataCount() const;
    void clearData();
    // Removes the earliest sample whose time is not in keepTimes (the earliest of all when
    // keepTimes is empty); true when one was removed.
    bool removeOneData(const std::vector<int>& keepTimes);

    // Questions on the sampling record. A record with no times answers false to nextTime and
    // previousTime. A regular record with rate 0 and start below end has no grid: it holds no
    // time (timeCount 0), and nextTime and previousTime find nothing inside its range; adding
    // a time to it turns it into a list of start, end and that time. A grid of 2^32 times
    // (rate 1 over the whole 32-bit range) counts 2^32 - 1.
    unsigned int timeCount() const;
    bool timeAt(unsigned int index, int& time) const;
    bool nextTime(int time, int& next) const;
    bool previousTime(int time, int& previous) const;
    bool hasTime(int time) const;
    bool isEmpty() const;

private:
    void releaseSample(qzCacheData* sample) const;
    // Puts `sample` (null when its allocation failed) in place, recording its time when asked.
    // On failure it releases the sample and `ownBuffer` and changes nothing.
    bool storeSample(qzCacheData* sample, void* ownBuffer, bool addToTimes);
    bool addIrregularTime(int time);
    // The number of grid times a regular record with start below end and a positive rate
    // would list; 0 for any other record.
    std::uint64_t gridSize() const;
    // Whether gridSize() stays within kMaxListedTimes.
    bool gridFitsList() const;

    qzString::IString m_name;
    qzString::IString m_interpretation;
    bool m_ownsArrayData;
    qzCacheData::qzCacheDataType m_dataType;
    qzCacheInterpolation m_interpolation;
    qzCacheSamplingType m_samplingType;
    int m_samplingRate;
    int m_startTime;
    int m_endTime;
    mutable qzThread::Mutex m_mutex;
    std::vector<qzCacheData*> m_data;
    std::vector<int> m_times;
};
