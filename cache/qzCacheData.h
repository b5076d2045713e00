// One stored sample of a channel, held in memory.
#pragma once

#include <cstddef>

#include "qzCacheExport.h"

class QZCACHE_API qzCacheData {
public:
    enum qzCacheDataType : int {
        kUnknownData = 0,
        kDouble = 1,
        kDoubleArray = 2,
        kDoubleVectorArray = 3,
        kInt32Array = 4,
        kFloatArray = 5,
        kFloatVectorArray = 6
    };

    explicit qzCacheData(int time) : m_time(time) {}
    virtual ~qzCacheData();
    qzCacheData(const qzCacheData&) = delete;
    qzCacheData& operator=(const qzCacheData&) = delete;

    virtual void* arrayData() const = 0;
    virtual double doubleValue() const = 0;
    virtual unsigned int arrayLength() const;

    int time() const { return m_time; }

    // Bytes of one array element (a vector counts as one element); 0 for kDouble, kUnknownData
    // and any value outside the enumeration.
    static std::size_t elementSize(qzCacheDataType type);
    static bool isArrayType(qzCacheDataType type) { return elementSize(type) != 0; }
    // Scalars per element: 3 for the vector types, 1 for the other array types, 0 otherwise.
    static unsigned int scalarsPerElement(qzCacheDataType type);

protected:
    int m_time;
};

class QZCACHE_API qzNumericCacheData : public qzCacheData {
public:
    qzNumericCacheData(int time, double value) : qzCacheData(time), m_value(value) {}
    ~qzNumericCacheData() override;

    void* arrayData() const override { return nullptr; }
    double doubleValue() const override { return m_value; }
    unsigned int arrayLength() const override { return 0; }

private:
    double m_value;
};

// Holds a buffer it never releases itself; the owning channel does, for the buffers it made.
class QZCACHE_API qzPtrCacheData : public qzCacheData {
public:
    qzPtrCacheData(int time, void* buffer, unsigned int length, bool channelOwnsBuffer = false)
        : qzCacheData(time), m_buffer(buffer), m_length(length),
          m_channelOwnsBuffer(channelOwnsBuffer) {}
    ~qzPtrCacheData() override;

    void* arrayData() const override { return m_buffer; }
    double doubleValue() const override { return 0.0; }
    unsigned int arrayLength() const override { return m_length; }
    // Whether the buffer was allocated by the channel (and is released with the sample).
    bool channelOwnsBuffer() const { return m_channelOwnsBuffer; }

private:
    void* m_buffer;
    unsigned int m_length;
    bool m_channelOwnsBuffer;
};
