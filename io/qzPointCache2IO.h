// Reader and writer of PC2 point cache files: a 32-byte little-endian header followed by
// numSamples samples of numPoints x, y, z float triples. Used by the PC2 converters only.
#pragma once

#include <cstdint>
#include <memory>

#include "qzFileSystem.h"

class qzPointCache2IO {
public:
    // Files are opened in `fileSystem`, which must outlive the object.
    explicit qzPointCache2IO(qzOS::FileSystem& fileSystem = qzOS::defaultFileSystem());
    virtual ~qzPointCache2IO();
    qzPointCache2IO(const qzPointCache2IO&) = delete;
    qzPointCache2IO& operator=(const qzPointCache2IO&) = delete;

    // Opens a UTF-8 path. Writing creates or truncates the file and writes nothing yet.
    // Reading also reads and checks the header; on failure the file stays open (close or the
    // destructor closes it) and the header fields may be partly filled.
    bool open(const char* path, bool forWriting);
    // Only on a file opened for writing, once, before any sample. Zero points or samples are
    // accepted here although a reader refuses them.
    bool writeHeader(int numPoints, int numSamples, float startFrame, float sampleRate);
    // `pointCount` is the number of points the buffer holds (numPoints * 3 floats). When it
    // differs from numPoints it is set to numPoints and the call fails without reading, so a
    // caller can ask for the size first. Samples may be read in any order.
    bool readSample(int index, float* buffer, unsigned int& pointCount);
    // Samples must come in order 0, 1, ..., numSamples - 1; any other index writes nothing.
    // `buffer` holds numPoints * 3 floats.
    bool writeSample(int index, const float* buffer);
    void close();

    static int headerSize() { return kHeaderSize; }
    // Byte position of a sample, in 64 bits so that files beyond 2 GiB are read right;
    // -1 for a negative index or point count, or a position beyond 64 bits.
    static std::int64_t sampleOffset(int index, int numPoints);

    // Header fields: as read after open for reading, as given after writeHeader.
    int fileVersion() const { return m_fileVersion; }
    int numPoints() const { return m_numPoints; }
    float startFrame() const { return m_startFrame; }
    float sampleRate() const { return m_sampleRate; }
    int numSamples() const { return m_numSamples; }
    // Of numSamples, those whose bytes lie whole in the file opened for reading: a file cut
    // short holds fewer than its header claims.
    int samplesHeld() const { return m_samplesHeld; }
    int nextSampleIndex() const { return m_nextSampleIndex; }

private:
    static constexpr int kHeaderSize = 32;

    bool readHeader();
    void resetFields();

    qzOS::FileSystem& m_fileSystem;
    std::unique_ptr<qzOS::FileHandle> m_file;
    std::uint64_t m_writePosition;
    bool m_writing;
    bool m_headerWritten;
    std::int32_t m_fileVersion;
    std::int32_t m_numPoints;
    float m_startFrame;
    float m_sampleRate;
    std::int32_t m_numSamples;
    std::int32_t m_samplesHeld;
    std::int32_t m_nextSampleIndex;
};
