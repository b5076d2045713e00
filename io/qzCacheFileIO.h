// The abstract reader and writer of one cache data file. Hosts may derive further formats
// from it: the order of the virtual operations is fixed.
#pragma once

#include "qzCacheExport.h"
#include "qzString.h"

class qzCacheFileAccessor;

class QZCACHE_API qzCacheFileIO {
public:
    enum qzCacheFileAccess : int { kRead = 0, kWrite = 1, kReadWrite = 2 };

    explicit qzCacheFileIO(qzCacheFileAccess access);
    qzCacheFileIO(const qzCacheFileIO&) = default;
    qzCacheFileIO& operator=(const qzCacheFileIO&) = default;

    virtual ~qzCacheFileIO();                                                        // slot 0
    // kRead also reads the header; true when open (and, for kRead, the header was read).
    virtual bool open(const qzString::IString& fileName) = 0;                        // 1
    virtual void close() = 0;                                                        // 2
    virtual bool isValid() = 0;                                                      // 3
    virtual bool readHeader() = 0;                                                   // 4
    virtual bool writeHeader(qzString::IString version, int startTime, int endTime) = 0;  // 5
    virtual void beginWriteChunk() = 0;                                              // 6
    virtual void endWriteChunk() = 0;                                                // 7
    virtual bool beginReadChunk() = 0;                                               // 8
    virtual void endReadChunk() = 0;                                                 // 9
    virtual bool writeTime(int time) = 0;                                            // 10
    virtual bool readTime(int& time) = 0;                                            // 11
    virtual bool findTime(int time, int& foundTime) = 0;                             // 12
    virtual bool readNextTime(int& time) = 0;                                        // 13
    virtual unsigned int readArraySize() = 0;                                        // 14
    virtual bool writeDoubleArray(const double* data, unsigned int count) = 0;       // 15
    virtual bool readDoubleArray(double* data, unsigned int count) = 0;              // 16
    virtual bool writeFloatArray(const float* data, unsigned int count) = 0;         // 17
    virtual bool readInt32Array(int* data, unsigned int count) = 0;                  // 18
    virtual bool writeInt32Array(const int* data, unsigned int count) = 0;           // 19
    virtual bool readFloatArray(float* data, unsigned int count) = 0;                // 20
    virtual bool writeDoubleVectorArray(const double* data, unsigned int count) = 0; // 21
    virtual bool readDoubleVectorArray(double* data, unsigned int count) = 0;        // 22
    virtual bool writeFloatVectorArray(const float* data, unsigned int count) = 0;   // 23
    virtual bool readFloatVectorArray(float* data, unsigned int count) = 0;          // 24
    virtual bool writeChannelName(const qzString::IString& name) = 0;                // 25
    virtual bool findChannelName(const qzString::IString& name) = 0;                 // 26
    virtual bool readChannelName(qzString::IString& name) = 0;                       // 27
    // Reading starts again after the header, as a fresh open of the current file's name would
    // leave it.
    virtual bool rewind() = 0;                                                       // 28
    // Data file extension of this format, without the dot.
    virtual qzString::IString extension() = 0;                                       // 29
    virtual bool handlesDescription();                                               // 30
    virtual bool readDescription(qzCacheFileAccessor* accessor);                     // 31
    virtual bool writeDescription(qzCacheFileAccessor* accessor);                    // 32

    qzCacheFileAccess fileAccessMode() const { return m_accessMode; }

protected:
    void setStartTime(int time) { m_startTime = time; }
    void setEndTime(int time) { m_endTime = time; }
    void setVersion(const qzString::IString& version) { m_version = version; }

    // Both 0 until a header has been read.
    int m_startTime;
    int m_endTime;
    qzString::IString m_version;
    qzCacheFileAccess m_accessMode;
};
