// Reader and writer of MDD point cache files: big-endian, an int32 frame count and an int32
// point count, one float32 time in seconds per frame, then per frame the x, y, z float32 of
// every point. Used by the MDD converters only.
#pragma once

#include <cstdint>
#include <memory>

#include "qzFileSystem.h"

class qzMddIO {
public:
    // Files are opened in `fileSystem`, which must outlive the object.
    explicit qzMddIO(qzOS::FileSystem& fileSystem = qzOS::defaultFileSystem());
    ~qzMddIO();
    qzMddIO(const qzMddIO&) = delete;
    qzMddIO& operator=(const qzMddIO&) = delete;

    // Opens a UTF-8 path. Writing creates or truncates the file and writes nothing yet.
    // Reading also reads the counts and refuses a file that does not hold them and its whole
    // time table (on failure the counts read so far stay readable). Frames the file is too
    // short for are not refused here: framesHeld() tells how many it holds.
    bool open(const char* path, bool forWriting);
    // Only on a file opened for writing, once, before any frame. Zero frames or points are
    // accepted here although a reader refuses them.
    bool writeHeader(int numFrames, int numPoints);
    // Frames must come in order 0, 1, ..., numFrames - 1; any other index writes nothing.
    // Writes the frame's time into the time table and its numPoints * 3 floats.
    bool writeFrame(int index, float seconds, const float* points);
    // The times of frames first .. first + count - 1, in one read. Fails for a range outside
    // the header's frames.
    bool readTimes(int first, int count, float* seconds);
    // Like qzPointCache2IO::readSample: when `pointCount` differs from numPoints it is set to
    // numPoints and the call fails without reading. Frames may be read in any order; one that
    // lies beyond the end of the file fails.
    bool readFrame(int index, float* points, unsigned int& pointCount);
    void close();

    static int headerSize() { return kHeaderSize; }
    // Byte position of frame `index`'s points, in 64 bits; -1 for a negative argument.
    static std::int64_t frameOffset(int index, int numFrames, int numPoints);

    // As read after open for reading, as given after writeHeader.
    int numFrames() const { return m_numFrames; }
    int numPoints() const { return m_numPoints; }
    // Of numFrames, those whose points lie whole in the file opened for reading.
    int framesHeld() const { return m_framesHeld; }

private:
    static constexpr int kHeaderSize = 8;

    bool readHeader();

    qzOS::FileSystem& m_fileSystem;
    std::unique_ptr<qzOS::FileHandle> m_file;
    bool m_writing = false;
    bool m_headerWritten = false;
    std::int32_t m_numFrames = 0;
    std::int32_t m_numPoints = 0;
    std::int32_t m_framesHeld = 0;
    std::int32_t m_nextFrame = 0;
};
