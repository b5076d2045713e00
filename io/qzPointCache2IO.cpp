#include "qzPointCache2IO.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

const char kSignature[12] = {'P', 'O', 'I', 'N', 'T', 'C', 'A', 'C', 'H', 'E', '2', '\0'};
constexpr std::int32_t kFileVersion = 1;
constexpr std::int64_t kBytesPerPoint = 12;
// Floats converted per write when writing a sample; keeps the scratch buffer small however
// many points a sample has.
constexpr std::size_t kFloatsPerBlock = 4096;

// Byte order is fixed by the format, whatever the host's: built from shifts, no casts.
void encodeUint32(std::uint32_t value, unsigned char* bytes) {
    bytes[0] = static_cast<unsigned char>(value);
    bytes[1] = static_cast<unsigned char>(value >> 8);
    bytes[2] = static_cast<unsigned char>(value >> 16);
    bytes[3] = static_cast<unsigned char>(value >> 24);
}

std::uint32_t decodeUint32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

void encodeFloat(float value, unsigned char* bytes) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    encodeUint32(bits, bytes);
}

float decodeFloat(const unsigned char* bytes) {
    const std::uint32_t bits = decodeUint32(bytes);
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Bytes of one sample, or 0 when that does not fit a size_t on this host.
std::size_t sampleBytes(std::int32_t numPoints) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(numPoints) * kBytesPerPoint;
    if (bytes > static_cast<std::uint64_t>(static_cast<std::size_t>(-1))) return 0;
    return static_cast<std::size_t>(bytes);
}

}  // namespace

qzPointCache2IO::qzPointCache2IO(qzOS::FileSystem& fileSystem) : m_fileSystem(fileSystem) {
    resetFields();
}

qzPointCache2IO::~qzPointCache2IO() { close(); }

void qzPointCache2IO::resetFields() {
    m_writePosition = 0;
    m_writing = false;
    m_headerWritten = false;
    m_fileVersion = 0;
    m_numPoints = 0;
    m_startFrame = 0.0f;
    m_sampleRate = 0.0f;
    m_numSamples = 0;
    m_samplesHeld = 0;
    m_nextSampleIndex = 0;
}

void qzPointCache2IO::close() {
    if (m_file) m_file->close();
    m_file.reset();
}

std::int64_t qzPointCache2IO::sampleOffset(int index, int numPoints) {
    if (index < 0 || numPoints < 0) return -1;
    const std::int64_t bytesPerSample = static_cast<std::int64_t>(numPoints) * kBytesPerPoint;
    // Index and point count near 2^31 together would overflow even 64 bits.
    if (bytesPerSample > 0 && index > (INT64_MAX - kHeaderSize) / bytesPerSample) return -1;
    return kHeaderSize + index * bytesPerSample;
}

bool qzPointCache2IO::open(const char* path, bool forWriting) {
    close();
    resetFields();
    if (!path) return false;
    m_file = m_fileSystem.open(path, forWriting ? qzOS::OpenMode::kCreate : qzOS::OpenMode::kRead);
    if (!m_file) return false;
    m_writing = forWriting;
    return forWriting || readHeader();
}

bool qzPointCache2IO::readHeader() {
    unsigned char header[kHeaderSize] = {};
    std::size_t got = 0;
    if (!m_file->read(0, header, sizeof header, got)) return false;
    // Field by field, in file order: a file cut inside the header fails at the first field it
    // does not hold whole, with the fields before it filled.
    const auto holds = [got](std::size_t end) { return got >= end; };
    // Compared as a zero-terminated string: the twelfth byte must be the terminator.
    if (!holds(12) || std::memcmp(header, kSignature, sizeof kSignature) != 0) return false;
    m_fileVersion = static_cast<std::int32_t>(decodeUint32(header + 12));
    if (!holds(16) || m_fileVersion != kFileVersion) return false;
    m_numPoints = static_cast<std::int32_t>(decodeUint32(header + 16));
    if (!holds(20) || m_numPoints <= 0) return false;
    if (!holds(24)) return false;
    m_startFrame = decodeFloat(header + 20);
    // Written as "not above zero" so that a NaN rate is refused too.
    if (!holds(28)) return false;
    m_sampleRate = decodeFloat(header + 24);
    if (!(m_sampleRate > 0.0f)) return false;
    if (!holds(32)) return false;
    m_numSamples = static_cast<std::int32_t>(decodeUint32(header + 28));
    if (m_numSamples <= 0) return false;
    qzOS::FileStatus status;
    if (m_file->status(status) && status.length >= std::uint64_t(kHeaderSize)) {
        const std::uint64_t held =
            (status.length - kHeaderSize) / (std::uint64_t(m_numPoints) * kBytesPerPoint);
        m_samplesHeld = static_cast<std::int32_t>(std::min<std::uint64_t>(held, std::uint64_t(m_numSamples)));
    }
    return true;
}

bool qzPointCache2IO::writeHeader(int numPoints, int numSamples, float startFrame,
                                  float sampleRate) {
    if (numPoints < 0 || numSamples < 0 || !(sampleRate > 0.0f)) return false;
    if (!m_file || !m_writing || m_headerWritten) return false;
    m_numPoints = numPoints;
    m_numSamples = numSamples;
    m_startFrame = startFrame;
    m_sampleRate = sampleRate;
    m_fileVersion = kFileVersion;
    unsigned char header[kHeaderSize];
    std::memcpy(header, kSignature, sizeof kSignature);
    encodeUint32(static_cast<std::uint32_t>(m_fileVersion), header + 12);
    encodeUint32(static_cast<std::uint32_t>(m_numPoints), header + 16);
    encodeFloat(m_startFrame, header + 20);
    encodeFloat(m_sampleRate, header + 24);
    encodeUint32(static_cast<std::uint32_t>(m_numSamples), header + 28);
    if (!m_file->write(0, header, sizeof header)) return false;
    m_writePosition = sizeof header;
    m_headerWritten = true;
    m_nextSampleIndex = 0;
    return true;
}

bool qzPointCache2IO::readSample(int index, float* buffer, unsigned int& pointCount) {
    if (!m_file || m_writing || index < 0 || index >= m_numSamples) return false;
    if (pointCount != static_cast<unsigned int>(m_numPoints)) {
        pointCount = static_cast<unsigned int>(m_numPoints);
        return false;
    }
    if (!buffer) return false;
    const std::size_t bytes = sampleBytes(m_numPoints);
    if (bytes == 0) return false;
    const std::int64_t offset = sampleOffset(index, m_numPoints);
    if (offset < 0) return false;
    // Straight into the caller's buffer, then turned into host floats in place.
    std::size_t got = 0;
    if (!m_file->read(static_cast<std::uint64_t>(offset), buffer, bytes, got) || got != bytes) {
        return false;
    }
    unsigned char* raw = reinterpret_cast<unsigned char*>(buffer);
    const std::size_t count = bytes / 4;
    for (std::size_t i = 0; i < count; ++i) buffer[i] = decodeFloat(raw + 4 * i);
    return true;
}

bool qzPointCache2IO::writeSample(int index, const float* buffer) {
    if (!m_file || !m_writing || !m_headerWritten) return false;
    if (index != m_nextSampleIndex || index >= m_numSamples) return false;
    const std::size_t bytes = sampleBytes(m_numPoints);
    if (bytes > 0 && !buffer) return false;
    const std::size_t count = bytes / 4;
    unsigned char block[kFloatsPerBlock * 4];
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = count - done < kFloatsPerBlock ? count - done : kFloatsPerBlock;
        for (std::size_t i = 0; i < n; ++i) encodeFloat(buffer[done + i], block + 4 * i);
        if (!m_file->write(m_writePosition, block, 4 * n)) return false;
        m_writePosition += 4 * n;
        done += n;
    }
    ++m_nextSampleIndex;
    return true;
}
