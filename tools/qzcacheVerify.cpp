#include "qzcacheVerify.h"

#include <cstdio>
#include <map>
#include <memory>

#include <nlohmann/json.hpp>

#include "qzCacheFileIffIO.h"
#include "qzcacheCommands.h"
#include "qzcacheTerminal.h"

namespace qztool {

namespace {

using TypeMap = std::map<std::string, qzCacheData::qzCacheDataType>;

const qzCacheData::qzCacheDataType kArrayTypes[] = {
    qzCacheData::kDoubleArray, qzCacheData::kDoubleVectorArray, qzCacheData::kInt32Array,
    qzCacheData::kFloatArray, qzCacheData::kFloatVectorArray};

// One channel record met while walking a data file.
struct Record {
    std::string channel;
    unsigned int count = 0;
    bool read = false;
    bool oversized = false;  // the size record claims more than the whole file holds
    std::uint64_t hash = 0;
};

struct Group {
    bool hasTime = false;
    int time = 0;
    std::vector<Record> records;
};

struct Walk {
    std::string path;
    bool exists = false;
    std::uintmax_t size = 0;
    bool truncated = false;
    std::string error;  // why the walk stopped early; empty when it reached the end
    std::vector<Group> groups;
    std::size_t lost = 0;  // expected samples this file could not give
};

std::uint64_t hashBytes(const void* data, std::size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::uint64_t hash = 1469598103934665603ull;
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    }
    return hash;
}

bool readArray(qzCacheFileIffIO& reader, qzCacheData::qzCacheDataType type, void* data,
               unsigned int count) {
    switch (type) {
    case qzCacheData::kDoubleArray: return reader.readDoubleArray(static_cast<double*>(data), count);
    case qzCacheData::kDoubleVectorArray:
        return reader.readDoubleVectorArray(static_cast<double*>(data), count);
    case qzCacheData::kInt32Array: return reader.readInt32Array(static_cast<int*>(data), count);
    case qzCacheData::kFloatArray: return reader.readFloatArray(static_cast<float*>(data), count);
    case qzCacheData::kFloatVectorArray:
        return reader.readFloatVectorArray(static_cast<float*>(data), count);
    default: return false;
    }
}

std::string errorText(const qzCacheFileIffIO& reader) {
    const char* text = reader.lastError();
    return text != nullptr ? std::string(text) : std::string();
}

// Whether a failure of the container means the file ends too early.
bool meansCutOff(const std::string& error) {
    for (const char* sign : {"cut off", "truncat", "past the end", "end of file", "does not fit"}) {
        if (error.find(sign) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Reads one channel record's array after its name; sizes beyond the file are not allocated.
void readRecord(qzCacheFileIffIO& reader, const TypeMap& types, std::uintmax_t fileBytes,
                Record& record, std::vector<double>& buffer) {
    record.count = reader.readArraySize();
    const auto found = types.find(record.channel);
    const qzCacheData::qzCacheDataType type =
        found == types.end() ? qzCacheData::kUnknownData : found->second;
    const std::uint64_t bytes =
        std::uint64_t{record.count} * qzCacheData::elementSize(type);
    if (type == qzCacheData::kUnknownData || bytes > fileBytes) {
        record.oversized = type != qzCacheData::kUnknownData;
        double ignored = 0.0;
        reader.readDoubleArray(&ignored, 0);  // consumes the array chunk
        return;
    }
    buffer.resize(static_cast<std::size_t>(bytes / sizeof(double)) + 1);
    record.read = readArray(reader, type, buffer.data(), record.count);
    if (record.read) {
        record.hash = hashBytes(buffer.data(), static_cast<std::size_t>(bytes));
    }
}

Walk walkDataFile(const std::string& path, const qzString::IString& format, bool oneFile,
                  const TypeMap& types) {
    Walk walk;
    walk.path = path;
    walk.exists = fileSize(path, walk.size);
    if (!walk.exists) {
        return walk;
    }
    qzCacheFileIffIO reader(qzCacheFileIO::kRead, format);
    if (!reader.open(fromUtf8(path))) {
        const std::string error = errorText(reader);
        walk.truncated = walk.size == 0 || meansCutOff(error);
        walk.error = error.empty() ? "no valid header" : error;
        return walk;
    }
    std::vector<double> buffer;
    // Arrays that do not match their record fail without a container error; any container
    // error (sticky until the next open) means the file itself is damaged.
    auto damaged = [&]() {
        const std::string error = errorText(reader);
        if (!error.empty()) {
            walk.error = error;
            walk.truncated = meansCutOff(error);
        }
        return !error.empty();
    };
    while (reader.beginReadChunk()) {
        Group group;
        if (oneFile) {
            group.hasTime = reader.readTime(group.time);
        }
        qzString::IString name;
        while (!damaged() && reader.readChannelName(name)) {
            Record record;
            record.channel = toUtf8(name);
            readRecord(reader, types, walk.size, record, buffer);
            group.records.push_back(record);
        }
        reader.endReadChunk();
        walk.groups.push_back(std::move(group));
        if (damaged()) break;
    }
    damaged();
    reader.close();
    return walk;
}

// Tells why a record did not read as its declared type: stored as another type, or a size
// record that does not match its array.
std::string diagnoseRecord(const Walk& walk, const qzString::IString& format,
                           std::size_t groupIndex, const Record& record,
                           qzCacheData::qzCacheDataType declared) {
    if (record.oversized) {
        return "its size record claims " + std::to_string(record.count) +
               " elements, more than the whole file holds";
    }
    std::vector<double> buffer;
    for (qzCacheData::qzCacheDataType type : kArrayTypes) {
        if (type == declared) continue;
        qzCacheFileIffIO reader(qzCacheFileIO::kRead, format);
        if (!reader.open(fromUtf8(walk.path))) continue;
        bool positioned = true;
        for (std::size_t group = 0; group <= groupIndex && positioned; ++group) {
            positioned = reader.beginReadChunk();
            if (positioned && group < groupIndex) reader.endReadChunk();
        }
        if (!positioned || !reader.findChannelName(fromUtf8(record.channel))) continue;
        const unsigned int count = reader.readArraySize();
        const std::uint64_t bytes = std::uint64_t{count} * qzCacheData::elementSize(type);
        if (bytes > walk.size) continue;
        buffer.resize(static_cast<std::size_t>(bytes / sizeof(double)) + 1);
        if (readArray(reader, type, buffer.data(), count)) {
            return "stored as " + dataTypeName(type) + ", declared " + dataTypeName(declared);
        }
    }
    return "its size record says " + std::to_string(record.count) +
           " elements but its array does not hold that many " + dataTypeName(declared) +
           " elements";
}

struct Expected {
    unsigned int channel;
    std::string name;
    qzCacheData::qzCacheDataType type;
    int time;
};

std::vector<Expected> expectedSamples(OpenCache& cache, VerifyReport& report, TypeMap& types) {
    qzCacheFileAccessor& accessor = cache.accessor();
    std::vector<Expected> expected;
    for (unsigned int channel = 0; channel < accessor.numChannels(); ++channel) {
        qzString::IString name;
        qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
        accessor.channelName(channel, name);
        accessor.channelDataType(channel, type);
        const std::uint64_t count = accessor.getDataCount(channel);
        if (!qzCacheData::isArrayType(type)) {
            report.notes.push_back("channel \"" + toUtf8(name) + "\" (" + dataTypeName(type) +
                                   ", " + std::to_string(count) +
                                   " times) lives in memory only; the data files hold none of it");
            continue;
        }
        types[toUtf8(name)] = type;
        for (std::uint64_t index = 0; index < count; ++index) {
            int time = 0;
            if (accessor.getDataTime(channel, static_cast<unsigned int>(index), time)) {
                expected.push_back({channel, toUtf8(name), type, time});
            }
        }
    }
    return expected;
}

const Record* findRecord(const Group& group, const std::string& channel) {
    for (const Record& record : group.records) {
        if (record.channel == channel) return &record;
    }
    return nullptr;
}

// Reads the sample through the library and compares it with what the walk read.
bool readBack(OpenCache& cache, const Expected& sample, const Record& record,
              std::vector<double>& buffer) {
    qzCacheFileAccessor& accessor = cache.accessor();
    unsigned int length = 0;
    if (!accessor.getArrayLengthAtTime(sample.channel, sample.time, length) ||
        length != record.count) {
        return false;
    }
    const std::size_t bytes = std::size_t{record.count} * qzCacheData::elementSize(sample.type);
    buffer.resize(bytes / sizeof(double) + 1);
    void* data = buffer.data();
    unsigned int delivered = 0;
    return accessor.getArrayDataAtTime(sample.channel, sample.time, record.count, data,
                                       delivered) &&
           delivered == record.count && hashBytes(data, bytes) == record.hash;
}

void checkSample(OpenCache& cache, const Expected& sample, Walk& walk, const Group* group,
                 std::size_t groupIndex, VerifyReport& report, std::vector<double>& buffer) {
    const std::string at = "channel \"" + sample.name + "\" at time " +
                           std::to_string(sample.time) + " (frame " +
                           framesText(sample.time, cache.accessor().getTicksPerFrame()) + ")";
    const Record* record = group != nullptr ? findRecord(*group, sample.name) : nullptr;
    if (record == nullptr) {
        if (!walk.exists || !walk.error.empty()) {
            ++walk.lost;  // charged to the file's own problem
        } else {
            report.issues.push_back({"missing sample", walk.path, at + " is not in the file"});
        }
        return;
    }
    if (!record->read) {
        if (!walk.error.empty()) {
            ++walk.lost;
            return;
        }
        const std::string why = diagnoseRecord(walk, cache.accessor().cacheFormat(), groupIndex,
                                               *record, sample.type);
        const bool typeMismatch = why.compare(0, 10, "stored as ") == 0;
        report.issues.push_back(
            {typeMismatch ? "type mismatch" : "count mismatch", walk.path, at + ": " + why});
        return;
    }
    if (!readBack(cache, sample, *record, buffer)) {
        report.issues.push_back({"unreadable sample", walk.path,
                                 at + ": the library does not read back what the file holds"});
        return;
    }
    ++report.samplesChecked;
}

void reportFile(const Walk& walk, VerifyReport& report) {
    if (!walk.exists) {
        report.issues.push_back({"missing file", walk.path,
                                 "the file does not exist; " + std::to_string(walk.lost) +
                                     " sample(s) lost"});
    } else if (!walk.error.empty()) {
        report.issues.push_back({walk.truncated ? "truncated file" : "corrupt file", walk.path,
                                 walk.error + "; " + std::to_string(walk.lost) +
                                     " sample(s) unreadable"});
    }
}

}  // namespace

VerifyReport verifyCache(OpenCache& cache, Progress* progress) {
    qzCacheFileAccessor& accessor = cache.accessor();
    cache.checkStoredTimes();
    VerifyReport report;
    report.cache = cache.path().description;
    report.layout = layoutName(accessor.distribution());
    TypeMap types;
    const std::vector<Expected> expected = expectedSamples(cache, report, types);
    report.samplesExpected = expected.size();
    const bool oneFile = cache.isOneFile();
    const qzString::IString format = accessor.cacheFormat();

    // The data files: the one file, or one per stored time.
    std::vector<Walk> walks;
    std::map<int, std::size_t> walkOfTime;
    if (oneFile) {
        walks.push_back(walkDataFile(cache.oneFileDataPath(), format, true, types));
    } else {
        for (const Expected& sample : expected) {
            if (walkOfTime.count(sample.time) == 0) {
                walkOfTime[sample.time] = walks.size();
                walks.push_back(Walk{});
                walks.back().path =
                    toUtf8(accessor.constructDataFilePathForOneFilePerFrame(sample.time));
            }
        }
    }
    if (progress != nullptr) progress->reset("checking files", walks.size());
    if (!oneFile) {
        for (Walk& walk : walks) {
            walk = walkDataFile(walk.path, format, false, types);
            if (progress != nullptr) progress->step();
        }
    } else if (progress != nullptr) {
        progress->step();
    }
    for (const Walk& walk : walks) {
        report.bytes += walk.size;
    }
    report.dataFiles = walks.size();

    // Every sample: present in its file, of its declared type, and read back the same.
    std::map<int, std::size_t> groupOfTime;
    if (oneFile) {
        for (std::size_t index = walks[0].groups.size(); index-- > 0;) {
            if (walks[0].groups[index].hasTime) groupOfTime[walks[0].groups[index].time] = index;
        }
    }
    if (progress != nullptr) progress->reset("reading samples", expected.size());
    std::vector<double> buffer;
    for (const Expected& sample : expected) {
        Walk& walk = oneFile ? walks[0] : walks[walkOfTime[sample.time]];
        std::size_t groupIndex = 0;
        const Group* group = nullptr;
        if (oneFile) {
            const auto found = groupOfTime.find(sample.time);
            if (found != groupOfTime.end()) groupIndex = found->second;
            if (found != groupOfTime.end()) group = &walk.groups[groupIndex];
        } else if (!walk.groups.empty()) {
            group = &walk.groups[0];
        }
        checkSample(cache, sample, walk, group, groupIndex, report, buffer);
        if (progress != nullptr) progress->step();
    }
    std::vector<VerifyIssue> sampleIssues;
    sampleIssues.swap(report.issues);
    for (const Walk& walk : walks) {
        reportFile(walk, report);
    }
    report.issues.insert(report.issues.end(), sampleIssues.begin(), sampleIssues.end());
    return report;
}

void printVerifyText(const VerifyReport& report) {
    std::printf("cache      %s\n", report.cache.c_str());
    std::printf("layout     %s, %zu data file(s), %s\n", report.layout.c_str(), report.dataFiles,
                sizeText(report.bytes).c_str());
    std::printf("samples    %zu of %zu read back and matched their files\n",
                report.samplesChecked, report.samplesExpected);
    for (const std::string& note : report.notes) {
        std::printf("note       %s\n", note.c_str());
    }
    if (!report.issues.empty()) {
        std::printf("problems   %zu\n", report.issues.size());
        for (const VerifyIssue& issue : report.issues) {
            std::printf("  %-17s %s: %s\n", issue.kind.c_str(), issue.file.c_str(),
                        issue.detail.c_str());
        }
    }
    std::printf("result     %s\n", report.whole() ? "whole" : "NOT WHOLE");
}

std::string verifyJson(const VerifyReport& report) {
    nlohmann::json issues = nlohmann::json::array();
    for (const VerifyIssue& issue : report.issues) {
        issues.push_back({{"kind", issue.kind}, {"file", issue.file}, {"detail", issue.detail}});
    }
    const nlohmann::json result = {{"cache", report.cache},
                                   {"layout", report.layout},
                                   {"whole", report.whole()},
                                   {"dataFiles", report.dataFiles},
                                   {"bytes", report.bytes},
                                   {"samplesExpected", report.samplesExpected},
                                   {"samplesChecked", report.samplesChecked},
                                   {"notes", report.notes},
                                   {"issues", issues}};
    return result.dump(2);
}

int runVerify(const VerifyOptions& options) {
    OpenCache cache(options.cache);
    VerifyReport report;
    {
        Progress progress("verify", 1);
        report = verifyCache(cache, &progress);
    }
    if (options.format == "json") {
        std::printf("%s\n", verifyJson(report).c_str());
    } else {
        printVerifyText(report);
    }
    if (!report.whole()) {
        std::fflush(stdout);
        const VerifyIssue& first = report.issues.front();
        std::fprintf(stderr, "qzcache: %s: the cache is not whole (%zu problem(s); first: %s %s)\n",
                     options.cache.c_str(), report.issues.size(), first.kind.c_str(),
                     first.file.c_str());
        return kExitNotWhole;
    }
    return kExitOk;
}

}  // namespace qztool
