// The whole-cache target: a description and one data file, checked, then played back through
// the accessor (which the checker does not do: interpolation, the copying read mode).
#include "fuzzSupport.h"

#include <algorithm>
#include <vector>

#include "qzCacheChannel.h"
#include "qzCacheData.h"
#include "qzCacheFileAccessor.h"
#include "qzCacheFileIffIO.h"
#include "qzString.h"

namespace qzfuzz {

namespace {

constexpr unsigned int kMaxChannels = 8;
constexpr unsigned int kMaxTimesPerChannel = 8;

// One read at `time`: the length first, then the array into a buffer of that length. A length
// the data file cannot hold is not allocated for; the read is still asked, with no buffer.
void readAt(qzCacheFileAccessor& accessor, unsigned int channel, int time,
            std::uint64_t dataFileSize) {
    unsigned int length = 0;
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    accessor.channelDataType(channel, type);
    accessor.getArrayLengthAtTime(channel, time, length);
    const std::uint64_t bytes = static_cast<std::uint64_t>(length) * qzCacheData::elementSize(type);
    std::vector<double> buffer;
    if (bytes <= dataFileSize) buffer.resize(static_cast<std::size_t>(bytes / sizeof(double) + 1));
    void* data = buffer.empty() ? nullptr : buffer.data();
    unsigned int delivered = 0;
    accessor.getArrayDataAtTime(channel, time, length, data, delivered);
    accessor.hasDataAtTime(channel, time);
}

void readEveryChannel(qzCacheFileAccessor& accessor, std::uint64_t dataFileSize) {
    const unsigned int channels =
        static_cast<unsigned int>(std::min<std::size_t>(accessor.numChannels(), kMaxChannels));
    for (unsigned int channel = 0; channel < channels; ++channel) {
        const std::uint64_t count = std::min<std::uint64_t>(accessor.getDataCount(channel),
                                                            kMaxTimesPerChannel);
        for (unsigned int index = 0; index < count; ++index) {
            int time = 0;
            if (!accessor.getDataTime(channel, index, time)) continue;
            readAt(accessor, channel, time, dataFileSize);
            // Between two times: interpolated, or the step to a neighbour.
            if (time < 2147483647) readAt(accessor, channel, time + 1, dataFileSize);
        }
        int start = 0;
        if (accessor.getChannelStartTime(channel, start) && start > -2147483647) {
            readAt(accessor, channel, start - 1, dataFileSize);
        }
    }
}

void setInterpolation(qzCacheFileAccessor& accessor, qzCacheChannel::qzCacheInterpolation how) {
    for (unsigned int channel = 0; channel < accessor.numChannels(); ++channel) {
        qzCacheChannel::qzCacheInterpolation interpolation = how;
        accessor.setChannelInterpolation(channel, interpolation);
    }
}

// Places the data file where the description says its data lies: the one file, or the frame
// files of the cache's first time and the frame after it.
void placeDataFile(qzCacheFileAccessor& accessor, const std::vector<std::uint8_t>& dataFile,
                   qzOS::MemoryFileSystem& files) {
    std::vector<qzString::IString> paths;
    if (accessor.distribution() == qzCacheFileAccessor::kOneFile) {
        paths.push_back(accessor.constructDataFilePathForOneFile());
    } else if (accessor.distribution() == qzCacheFileAccessor::kOneFilePerFrame) {
        int start = 0;
        int end = 0;
        if (accessor.getStartEndTime(start, end)) {
            paths.push_back(accessor.constructDataFilePathForOneFilePerFrame(start));
            const long long next = static_cast<long long>(start) + accessor.getTicksPerFrame();
            if (next <= 2147483647) {
                paths.push_back(
                    accessor.constructDataFilePathForOneFilePerFrame(static_cast<int>(next)));
            }
        }
    }
    for (const qzString::IString& path : paths) {
        if (!path.empty()) files.addView(path.utf8(), dataFile.data(), dataFile.size());
    }
}

}  // namespace

std::vector<std::uint8_t> joinCacheInput(const std::vector<std::uint8_t>& description,
                                         const std::vector<std::uint8_t>& dataFile) {
    const std::size_t length = description.size();
    std::vector<std::uint8_t> input = {
        static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
        static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    input.insert(input.end(), description.begin(), description.end());
    input.insert(input.end(), dataFile.begin(), dataFile.end());
    return input;
}

void splitCacheInput(const std::uint8_t* data, std::size_t size,
                     std::vector<std::uint8_t>& description, std::vector<std::uint8_t>& dataFile) {
    description.clear();
    dataFile.clear();
    if (size < 4) {
        description.assign(data, data + size);
        return;
    }
    const std::size_t claimed = (static_cast<std::size_t>(data[0]) << 24) |
                                (static_cast<std::size_t>(data[1]) << 16) |
                                (static_cast<std::size_t>(data[2]) << 8) | data[3];
    const std::size_t length = std::min(claimed, size - 4);
    description.assign(data + 4, data + 4 + length);
    dataFile.assign(data + 4 + length, data + size);
}

void checkWholeCache(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> description;
    std::vector<std::uint8_t> dataFile;
    splitCacheInput(data, size, description, dataFile);
    MemoryFiles memory;
    const std::string directory = kFolder;
    memory.files.addView(directory + "c.xml", description.data(), description.size());
    qzCacheFileAccessor* accessor = qzCacheFileAccessor::createQzCacheFileAccessor();
    if (!accessor->readDescriptionFile(qzString::IString("c", 0),
                                       qzString::IString(directory.c_str(), 1))) {
        accessor->unref();
        return;
    }
    qzCacheFileIO* reader = new qzCacheFileIffIO(qzCacheFileIO::kRead, accessor->cacheFormat());
    accessor->setFileAccessor(reader);
    placeDataFile(*accessor, dataFile, memory.files);
    checker().checkCache((directory + "c.xml").c_str());
    if (accessor->distribution() == qzCacheFileAccessor::kOneFile) {
        reader->open(accessor->constructDataFilePathForOneFile());
    }
    const std::uint64_t dataFileSize = dataFile.size();
    readEveryChannel(*accessor, dataFileSize);
    // The copying mode loads whole times into memory and copies out of it.
    accessor->setOptimizeMultiChannelRead(true);
    setInterpolation(*accessor, qzCacheChannel::kCatmullRom);
    readEveryChannel(*accessor, dataFileSize);
    accessor->unref();
}

}  // namespace qzfuzz
