#include "qzPointCache2IO.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qzFileSystem.h"

namespace {

const char kSignature[12] = {'P', 'O', 'I', 'N', 'T', 'C', 'A', 'C', 'H', 'E', '2', '\0'};
constexpr std::int32_t kFileVersion = 1;
constexpr std::int64_t kBytesPerPoint = 12;
// Floats converted per fwrite when writing a sample; keeps the scratch buffer small however
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

bool writeUint32(std::FILE* file, std::uint32_t value) {
    unsigned char bytes[4];
    encodeUint32(value, bytes);
    return std::fwrite(bytes, 4, 1, file) == 1;
}

bool writeFloat(std::FILE* file, float value) {
    unsigned char bytes[4];
    encodeFloat(value, bytes);
    return std::fwrite(bytes, 4, 1, file) == 1;
}

bool readInt32(std::FILE* file, std::int32_t& value) {
    unsigned char bytes[4];
    if (std::fread(bytes, 4, 1, file) != 1) return false;
    value = static_cast<std::int32_t>(decodeUint32(bytes));
    return true;
}

bool readFloat(std::FILE* file, float& value) {
    unsigned char bytes[4];
    if (std::fread(bytes, 4, 1, file) != 1) return false;
    value = decodeFloat(bytes);
    return true;
}

// Bytes of one sample, or 0 when that does not fit a size_t on this host.
std::size_t sampleBytes(std::int32_t numPoints) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(numPoints) * kBytesPerPoint;
    if (bytes > static_cast<std::uint64_t>(static_cast<std::size_t>(-1))) return 0;
    return static_cast<std::size_t>(bytes);
}

}  // namespace

qzPointCache2IO::qzPointCache2IO() : m_file(nullptr) { resetFields(); }

qzPointCache2IO::~qzPointCache2IO() { close(); }

void qzPointCache2IO::resetFields() {
    m_writing = false;
    m_headerWritten = false;
    m_fileVersion = 0;
    m_numPoints = 0;
    m_startFrame = 0.0f;
    m_sampleRate = 0.0f;
    m_numSamples = 0;
    m_nextSampleIndex = 0;
}

void qzPointCache2IO::close() {
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
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
    m_file = qzOS::openFile(path, forWriting ? "wb" : "rb");
    if (!m_file) return false;
    m_writing = forWriting;
    return forWriting || readHeader();
}

bool qzPointCache2IO::readHeader() {
    char signature[sizeof kSignature];
    if (std::fread(signature, 1, sizeof signature, m_file) != sizeof signature) return false;
    // Compared as a zero-terminated string: the twelfth byte must be the terminator.
    if (std::memcmp(signature, kSignature, sizeof kSignature) != 0) return false;
    if (!readInt32(m_file, m_fileVersion) || m_fileVersion != kFileVersion) return false;
    if (!readInt32(m_file, m_numPoints) || m_numPoints <= 0) return false;
    if (!readFloat(m_file, m_startFrame)) return false;
    // Written as "not above zero" so that a NaN rate is refused too.
    if (!readFloat(m_file, m_sampleRate) || !(m_sampleRate > 0.0f)) return false;
    if (!readInt32(m_file, m_numSamples) || m_numSamples <= 0) return false;
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
    if (std::fwrite(kSignature, 1, sizeof kSignature, m_file) != sizeof kSignature) return false;
    if (!writeUint32(m_file, static_cast<std::uint32_t>(m_fileVersion)) ||
        !writeUint32(m_file, static_cast<std::uint32_t>(m_numPoints)) ||
        !writeFloat(m_file, m_startFrame) || !writeFloat(m_file, m_sampleRate) ||
        !writeUint32(m_file, static_cast<std::uint32_t>(m_numSamples))) {
        return false;
    }
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
    if (offset < 0 || qzOS::seekFile(m_file, offset, SEEK_SET) != 0) return false;
    // Straight into the caller's buffer, then turned into host floats in place.
    if (std::fread(buffer, bytes, 1, m_file) != 1) return false;
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
        if (std::fwrite(block, 4, n, m_file) != n) return false;
        done += n;
    }
    ++m_nextSampleIndex;
    return true;
}
