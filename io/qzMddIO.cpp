#include "qzMddIO.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qzIffByteOrder.h"

namespace {

constexpr std::int64_t kBytesPerPoint = 12;
constexpr std::int64_t kBytesPerTime = 4;
// Floats converted per write when writing a frame; keeps the scratch buffer small however
// many points a frame has.
constexpr std::size_t kFloatsPerBlock = 4096;

// Bytes of one frame's points, or 0 when that does not fit a size_t on this host.
std::size_t frameBytes(std::int32_t numPoints) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(numPoints) * kBytesPerPoint;
    if (bytes > static_cast<std::uint64_t>(static_cast<std::size_t>(-1))) return 0;
    return static_cast<std::size_t>(bytes);
}

std::int64_t timeTableEnd(std::int32_t numFrames) {
    return std::int64_t(8) + std::int64_t(numFrames) * kBytesPerTime;
}

}  // namespace

qzMddIO::qzMddIO(qzOS::FileSystem& fileSystem) : m_fileSystem(fileSystem) {}

qzMddIO::~qzMddIO() { close(); }

void qzMddIO::close() {
    if (m_file) m_file->close();
    m_file.reset();
}

std::int64_t qzMddIO::frameOffset(int index, int numFrames, int numPoints) {
    if (index < 0 || numFrames < 0 || numPoints < 0) return -1;
    const std::int64_t first = timeTableEnd(numFrames);
    const std::int64_t bytesPerFrame = static_cast<std::int64_t>(numPoints) * kBytesPerPoint;
    // Both counts near 2^31 would overflow even 64 bits.
    if (bytesPerFrame > 0 && index > (INT64_MAX - first) / bytesPerFrame) return -1;
    return first + index * bytesPerFrame;
}

bool qzMddIO::open(const char* path, bool forWriting) {
    close();
    m_writing = forWriting;
    m_headerWritten = false;
    m_numFrames = m_numPoints = m_framesHeld = m_nextFrame = 0;
    if (!path) return false;
    m_file = m_fileSystem.open(path, forWriting ? qzOS::OpenMode::kCreate : qzOS::OpenMode::kRead);
    if (!m_file) return false;
    return forWriting || readHeader();
}

bool qzMddIO::readHeader() {
    unsigned char header[kHeaderSize] = {};
    std::size_t got = 0;
    if (!m_file->read(0, header, sizeof header, got) || got < 4) return false;
    m_numFrames = iff::loadI32BE(header);
    if (m_numFrames <= 0 || got < 8) return false;
    m_numPoints = iff::loadI32BE(header + 4);
    if (m_numPoints <= 0) return false;
    // The counts have no signature to vouch for them: the file must at least hold every time
    // they imply, and then frames are counted from its length, never from the header alone.
    qzOS::FileStatus status;
    if (!m_file->status(status)) return false;
    const std::uint64_t table = static_cast<std::uint64_t>(timeTableEnd(m_numFrames));
    if (status.length < table) return false;
    const std::uint64_t held = (status.length - table) / (std::uint64_t(m_numPoints) * 12);
    m_framesHeld = static_cast<std::int32_t>(std::min<std::uint64_t>(held, std::uint64_t(m_numFrames)));
    return true;
}

bool qzMddIO::writeHeader(int numFrames, int numPoints) {
    if (numFrames < 0 || numPoints < 0) return false;
    if (!m_file || !m_writing || m_headerWritten) return false;
    unsigned char header[kHeaderSize];
    iff::storeI32BE(header, numFrames);
    iff::storeI32BE(header + 4, numPoints);
    if (!m_file->write(0, header, sizeof header)) return false;
    m_numFrames = numFrames;
    m_numPoints = numPoints;
    m_headerWritten = true;
    m_nextFrame = 0;
    return true;
}

bool qzMddIO::writeFrame(int index, float seconds, const float* points) {
    if (!m_file || !m_writing || !m_headerWritten) return false;
    if (index != m_nextFrame || index >= m_numFrames) return false;
    const std::size_t bytes = frameBytes(m_numPoints);
    if (bytes > 0 && !points) return false;
    // The time first: a writer stopped inside the points leaves a frame the file does not
    // hold, never points whose time was not written.
    unsigned char time[4];
    std::uint32_t bits = 0;
    std::memcpy(&bits, &seconds, sizeof bits);
    iff::storeU32BE(time, bits);
    if (!m_file->write(std::uint64_t(8 + std::int64_t(index) * kBytesPerTime), time, sizeof time))
        return false;
    std::uint64_t position = std::uint64_t(frameOffset(index, m_numFrames, m_numPoints));
    const std::size_t count = bytes / 4;
    unsigned char block[kFloatsPerBlock * 4];
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(count - done, kFloatsPerBlock);
        iff::reverseCopy32(block, points + done, n);
        if (!m_file->write(position, block, 4 * n)) return false;
        position += 4 * n;
        done += n;
    }
    ++m_nextFrame;
    return true;
}

bool qzMddIO::readTimes(int first, int count, float* seconds) {
    if (!m_file || m_writing || first < 0 || count < 0) return false;
    if (std::int64_t(first) + count > m_numFrames) return false;
    if (count == 0) return true;
    if (!seconds) return false;
    const std::size_t bytes = std::size_t(count) * 4;
    std::size_t got = 0;
    if (!m_file->read(std::uint64_t(8 + std::int64_t(first) * kBytesPerTime), seconds, bytes, got) ||
        got != bytes) {
        return false;
    }
    iff::reverseCopy32(seconds, seconds, std::size_t(count));
    return true;
}

bool qzMddIO::readFrame(int index, float* points, unsigned int& pointCount) {
    if (!m_file || m_writing || index < 0 || index >= m_numFrames) return false;
    if (pointCount != static_cast<unsigned int>(m_numPoints)) {
        pointCount = static_cast<unsigned int>(m_numPoints);
        return false;
    }
    if (!points) return false;
    const std::size_t bytes = frameBytes(m_numPoints);
    const std::int64_t offset = frameOffset(index, m_numFrames, m_numPoints);
    if (bytes == 0 || offset < 0) return false;
    // Straight into the caller's buffer, then turned into host floats in place.
    std::size_t got = 0;
    if (!m_file->read(static_cast<std::uint64_t>(offset), points, bytes, got) || got != bytes)
        return false;
    iff::reverseCopy32(points, points, bytes / 4);
    return true;
}
