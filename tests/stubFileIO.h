// A data file IO object that touches no file: every operation fails or does nothing. Tests use
// it to install an extension of their choosing and to reach the base class's own state.
#pragma once

#include "qzCacheFileIO.h"
#include "qzString.h"

namespace qztest {

class StubFileIO : public qzCacheFileIO {
public:
    explicit StubFileIO(qzCacheFileAccess access, const char* extension = "stub")
        : qzCacheFileIO(access), m_extension(extension, 0) {}

    bool open(const qzString::IString&) override { return false; }
    void close() override {}
    bool isValid() override { return false; }
    bool readHeader() override { return false; }
    bool writeHeader(qzString::IString, int, int) override { return false; }
    void beginWriteChunk() override {}
    void endWriteChunk() override {}
    bool beginReadChunk() override { return false; }
    void endReadChunk() override {}
    bool writeTime(int) override { return false; }
    bool readTime(int&) override { return false; }
    bool findTime(int, int&) override { return false; }
    bool readNextTime(int&) override { return false; }
    unsigned int readArraySize() override { return 0; }
    bool writeDoubleArray(const double*, unsigned int) override { return false; }
    bool readDoubleArray(double*, unsigned int) override { return false; }
    bool writeFloatArray(const float*, unsigned int) override { return false; }
    bool readInt32Array(int*, unsigned int) override { return false; }
    bool writeInt32Array(const int*, unsigned int) override { return false; }
    bool readFloatArray(float*, unsigned int) override { return false; }
    bool writeDoubleVectorArray(const double*, unsigned int) override { return false; }
    bool readDoubleVectorArray(double*, unsigned int) override { return false; }
    bool writeFloatVectorArray(const float*, unsigned int) override { return false; }
    bool readFloatVectorArray(float*, unsigned int) override { return false; }
    bool writeChannelName(const qzString::IString&) override { return false; }
    bool findChannelName(const qzString::IString&) override { return false; }
    bool readChannelName(qzString::IString&) override { return false; }
    bool rewind() override { return false; }
    qzString::IString extension() override { return m_extension; }

    // The header fields, set and read the way an implementation would.
    void setHeader(int start, int end, const char* version) {
        setStartTime(start);
        setEndTime(end);
        setVersion(qzString::IString(version, 0));
    }
    int headerStartTime() const { return m_startTime; }
    int headerEndTime() const { return m_endTime; }
    const qzString::IString& headerVersion() const { return m_version; }

private:
    qzString::IString m_extension;
};

}  // namespace qztest
