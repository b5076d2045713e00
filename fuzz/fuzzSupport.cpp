#include "fuzzSupport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

#include "qzCacheChannel.h"
#include "qzCacheData.h"
#include "qzCacheFileAccessor.h"
#include "qzCacheFileIffIO.h"
#include "qzPointCache2IO.h"
#include "qzString.h"

namespace fs = std::filesystem;

namespace qzfuzz {

namespace {

// Bounds on the walks, so that one input costs little whatever it claims to hold.
constexpr unsigned int kMaxChannels = 8;
constexpr int kMaxPc2Samples = 64;

class ScratchDirectory {
public:
    ScratchDirectory() {
        std::random_device seed;
        std::error_code error;
        for (unsigned int attempt = 0;; ++attempt) {
            const fs::path candidate = fs::temp_directory_path(error) /
                ("qzcache-fuzz-" + std::to_string(seed()) + "-" + std::to_string(attempt));
            if (fs::create_directory(candidate, error)) {
                m_path = candidate.generic_string() + "/";
                return;
            }
        }
    }
    ~ScratchDirectory() {
        std::error_code error;
        fs::remove_all(m_path, error);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const { return m_path; }
    void empty() const {
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(m_path, error)) {
            fs::remove_all(entry.path(), error);
        }
    }

private:
    std::string m_path;
};

const ScratchDirectory& scratch() {
    static const ScratchDirectory directory;
    return directory;
}

qzString::IString text(const std::string& utf8) { return qzString::IString(utf8.c_str(), 1); }

// An array reader per data type, chosen by the walk's pass.
bool readArrayOfType(qzCacheFileIffIO& reader, unsigned int pass, unsigned int count,
                     std::uint64_t fileSize) {
    static const qzCacheData::qzCacheDataType kTypes[] = {
        qzCacheData::kDoubleArray, qzCacheData::kDoubleVectorArray, qzCacheData::kFloatArray,
        qzCacheData::kFloatVectorArray, qzCacheData::kInt32Array};
    const qzCacheData::qzCacheDataType type = kTypes[pass % 5];
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * qzCacheData::elementSize(type);
    // A count the file cannot hold still goes to the reader, which must refuse it unread.
    std::vector<double> buffer;
    if (bytes <= fileSize) buffer.resize(static_cast<std::size_t>(bytes / sizeof(double) + 1));
    void* data = buffer.empty() ? nullptr : buffer.data();
    switch (type) {
    case qzCacheData::kDoubleArray: return reader.readDoubleArray(static_cast<double*>(data), count);
    case qzCacheData::kDoubleVectorArray:
        return reader.readDoubleVectorArray(static_cast<double*>(data), count);
    case qzCacheData::kFloatArray: return reader.readFloatArray(static_cast<float*>(data), count);
    case qzCacheData::kFloatVectorArray:
        return reader.readFloatVectorArray(static_cast<float*>(data), count);
    default: return reader.readInt32Array(static_cast<int*>(data), count);
    }
}

// One pass over every time group. A record is a name, a count and an array; each read takes
// one chunk whatever its tag, so a group ends for the walk after two rounds in which nothing
// was taken. `budget` bounds the reads of the whole file.
void walkDataFilePass(qzCacheFileIffIO& reader, unsigned int pass, std::uint64_t fileSize,
                      std::uint64_t& budget, qzString::IString& lastName, int& lastTime) {
    while (budget > 0 && reader.beginReadChunk()) {
        --budget;
        int time = 0;
        // Frame files have no time chunk: every other pass starts at the first record.
        if (pass % 2 == 0 && reader.readTime(time)) lastTime = time;
        unsigned int idleRounds = 0;
        while (budget > 0 && idleRounds < 2) {
            budget -= std::min<std::uint64_t>(budget, 3);
            qzString::IString name;
            const bool named = reader.readChannelName(name);
            if (named) lastName = name;
            const unsigned int count = reader.readArraySize();
            const bool read = readArrayOfType(reader, pass, count, fileSize);
            idleRounds = (named || count != 0 || read) ? 0 : idleRounds + 1;
        }
        reader.endReadChunk();
    }
}

}  // namespace

const std::string& scratchDirectory() { return scratch().path(); }

void clearScratchDirectory() { scratch().empty(); }

bool writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

void walkDataFile(const std::uint8_t* data, std::size_t size) {
    scratch().empty();
    const std::string path = scratchDirectory() + "data.kc";
    if (!writeFile(path, data, size)) return;
    static const char* const kFormats[] = {"", "kcc", "kcx"};
    for (unsigned int pass = 0; pass < 10; ++pass) {
        qzCacheFileIffIO reader(qzCacheFileIO::kRead, qzString::IString(kFormats[pass % 3], 0));
        if (!reader.open(text(path))) continue;
        std::uint64_t budget = size / 4 + 16;
        qzString::IString name;
        int time = 0;
        walkDataFilePass(reader, pass, size, budget, name, time);
        // The searches, from the end of the file back to the start, then again and again as a
        // frame's channels are read, so that remembered groups and records answer them.
        int found = 0;
        for (int again = 0; again < 3; ++again) {
            if (reader.findTime(time, found) && !name.empty()) {
                reader.findChannelName(name);
                reader.readArraySize();
                reader.findChannelName(text("absent"));
            }
            reader.endReadChunk();
        }
        reader.findTime(time + 1, found);
        reader.close();
    }
}

void readDescription(const std::uint8_t* data, std::size_t size) {
    scratch().empty();
    if (!writeFile(scratchDirectory() + "d.xml", data, size)) return;
    qzCacheFileAccessor* accessor = qzCacheFileAccessor::createQzCacheFileAccessor();
    if (!accessor->readDescriptionFile(text("d"), text(scratchDirectory()))) {
        accessor->unref();
        return;
    }
    const unsigned int channels =
        static_cast<unsigned int>(std::min<std::size_t>(accessor->numChannels(), kMaxChannels));
    for (unsigned int channel = 0; channel < channels; ++channel) {
        int start = 0;
        int end = 0;
        int rate = 0;
        accessor->getChannelStartTime(channel, start);
        accessor->getChannelEndTime(channel, end);
        accessor->channelSamplingRate(channel, rate);
        int time = 0;
        accessor->getDataCount(channel);
        accessor->getDataTime(channel, 1, time);
        accessor->getNextTimeWithData(channel, start, time);
        accessor->hasDataAtTime(channel, end);
        // Off the grid: a regular record has to become a list, or refuse the time.
        double sample[3] = {0.0, 0.0, 0.0};
        accessor->addArrayData(channel, start + 1, sample, 1);
        accessor->addArrayData(channel, end - 1, sample, 1);
    }
    int start = 0;
    int end = 0;
    accessor->getStartEndTime(start, end);
    int time = 0;
    accessor->getPrevTimeWithData(end, time);
    const int files = accessor->getDataFileCount();
    qzString::IString path;
    for (unsigned int index = 0; index < 4 && static_cast<int>(index) < files; ++index) {
        accessor->getDataFilePath(index, path);
    }
    accessor->writeDescriptionFile(text(scratchDirectory() + "out.xml"));
    accessor->unref();
}

void readPointCache(const std::uint8_t* data, std::size_t size) {
    scratch().empty();
    const std::string path = scratchDirectory() + "points.pc2";
    if (!writeFile(path, data, size)) return;
    qzPointCache2IO reader;
    if (!reader.open(path.c_str(), false)) return;
    const std::uint64_t bytes = static_cast<std::uint64_t>(reader.numPoints()) * 12u;
    unsigned int points = 0;
    // Asking for the size with an empty buffer is how a caller learns it.
    reader.readSample(0, nullptr, points);
    if (bytes > size) return;
    std::vector<float> buffer(static_cast<std::size_t>(reader.numPoints()) * 3u);
    const int samples = std::min(reader.numSamples(), kMaxPc2Samples);
    for (int index = -1; index <= samples; ++index) {
        points = static_cast<unsigned int>(reader.numPoints());
        reader.readSample(index, buffer.data(), points);
    }
    points = static_cast<unsigned int>(reader.numPoints());
    reader.readSample(reader.numSamples() - 1, buffer.data(), points);
}

}  // namespace qzfuzz
