// A qzCacheFileIO that keeps its "files" in memory and logs every call, so that tests can
// check the exact calls the accessor makes and read back what it wrote. Made without a disk it
// is a stand-in that opens nothing and only names an extension.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "qzCacheFileAccessor.h"
#include "qzCacheFileIO.h"
#include "testSupport.h"

namespace qztest {

struct FakeRecord {
    std::string name;
    std::string kind;  // "DBLA", "DVCA", "INTA", "FBCA", "FVCA"; empty before the array
    unsigned int count = 0;
    std::vector<unsigned char> bytes;
};

struct FakeChunk {
    bool hasTime = false;
    int time = 0;
    std::vector<FakeRecord> records;
};

struct FakeFile {
    std::vector<FakeChunk> chunks;

    // Appends a record to the time group of `time`, which is made when new.
    template <typename T>
    void add(int time, const std::string& name, const char* kind, const std::vector<T>& values,
             unsigned int count) {
        auto at = std::find_if(chunks.begin(), chunks.end(),
                               [&](const FakeChunk& c) { return c.hasTime && c.time == time; });
        if (at == chunks.end()) at = chunks.insert(chunks.end(), FakeChunk{true, time, {}});
        FakeRecord record{name, kind, count, std::vector<unsigned char>(values.size() * sizeof(T))};
        if (!values.empty()) std::memcpy(record.bytes.data(), values.data(), record.bytes.size());
        at->records.push_back(std::move(record));
    }
};

// Path to file, shared by every fake of one test.
using FakeDisk = std::map<std::string, FakeFile>;
using CallLog = std::vector<std::string>;

inline long callCount(const CallLog& log, const std::string& prefix) {
    return std::count_if(log.begin(), log.end(),
                         [&](const std::string& call) { return call.rfind(prefix, 0) == 0; });
}

class RecordingFileIO : public qzCacheFileIO {
public:
    RecordingFileIO(qzCacheFileAccess access, FakeDisk& disk, CallLog& log, std::string extension = "kc")
        : qzCacheFileIO(access), m_disk(&disk), m_log(&log), m_extension(std::move(extension)) {}
    explicit RecordingFileIO(qzCacheFileAccess access, const char* extension = "stub")
        : qzCacheFileIO(access), m_extension(extension) {}

    // Writes report failure from now on (the data still lands in the fake file).
    bool failWrites = false;
    // Like a chunked file: a record's array must be read before the next name, and a read of
    // the wrong type or count still consumes it.
    bool strict = false;

    bool open(const qzString::IString& name) override {
        const std::string path = name.utf8();
        log("open(" + path + ")");
        m_open = false;
        if (!m_disk || (fileAccessMode() != kWrite && m_disk->count(path) == 0)) return false;
        if (fileAccessMode() == kWrite) {
            (*m_disk)[path] = FakeFile();
            qztest::writeFileBytes(path, {});  // so that a directory listing finds the frame files
        }
        m_path = path;
        m_open = true;
        m_next = 0;
        m_current = -1;
        return true;
    }
    void close() override { log("close"), m_open = false; }
    bool isValid() override { return log("isValid"), m_open; }
    bool readHeader() override { return m_open; }
    bool writeHeader(qzString::IString version, int start, int end) override {
        log("writeHeader(" + version.utf8() + "," + std::to_string(start) + "," + std::to_string(end) + ")");
        return m_open && !failWrites;
    }
    void beginWriteChunk() override {
        log("beginWriteChunk");
        if (m_open) file().chunks.emplace_back();
    }
    void endWriteChunk() override { log("endWriteChunk"); }
    bool beginReadChunk() override {
        log("beginReadChunk");
        if (!m_open || m_next >= file().chunks.size()) return false;
        enter(m_next);
        return true;
    }
    void endReadChunk() override { log("endReadChunk"), m_current = -1; }
    bool writeTime(int time) override {
        log("writeTime(" + std::to_string(time) + ")");
        if (!m_open || file().chunks.empty()) return false;
        file().chunks.back().hasTime = true;
        file().chunks.back().time = time;
        return !failWrites;
    }
    bool readTime(int& time) override { return readNextTime(time); }
    bool findTime(int time, int& found) override {
        log("findTime(" + std::to_string(time) + ")");
        if (!m_open) return false;
        const std::vector<FakeChunk>& chunks = file().chunks;
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            if (chunks[i].hasTime && chunks[i].time == time) {
                enter(i);
                found = time;
                return true;
            }
        }
        return false;
    }
    bool readNextTime(int& time) override {
        log("readNextTime");
        if (m_current < 0 || !chunk().hasTime) return false;
        time = chunk().time;
        return true;
    }
    unsigned int readArraySize() override {
        log("readArraySize");
        return m_record >= 0 ? chunk().records[static_cast<std::size_t>(m_record)].count : 0;
    }
    bool writeDoubleArray(const double* d, unsigned int n) override { return put("DBLA", d, n, 8); }
    bool readDoubleArray(double* d, unsigned int n) override { return get("DBLA", d, n, 8); }
    bool writeFloatArray(const float* d, unsigned int n) override { return put("FBCA", d, n, 4); }
    bool readFloatArray(float* d, unsigned int n) override { return get("FBCA", d, n, 4); }
    bool writeInt32Array(const int* d, unsigned int n) override { return put("INTA", d, n, 4); }
    bool readInt32Array(int* d, unsigned int n) override { return get("INTA", d, n, 4); }
    bool writeDoubleVectorArray(const double* d, unsigned int n) override { return put("DVCA", d, n, 24); }
    bool readDoubleVectorArray(double* d, unsigned int n) override { return get("DVCA", d, n, 24); }
    bool writeFloatVectorArray(const float* d, unsigned int n) override { return put("FVCA", d, n, 12); }
    bool readFloatVectorArray(float* d, unsigned int n) override { return get("FVCA", d, n, 12); }
    bool writeChannelName(const qzString::IString& name) override {
        log("writeChannelName(" + name.utf8() + ")");
        if (!m_open || file().chunks.empty()) return false;
        file().chunks.back().records.push_back(FakeRecord{name.utf8(), "", 0, {}});
        return !failWrites;
    }
    bool findChannelName(const qzString::IString& name) override {
        log("findChannelName(" + name.utf8() + ")");
        if (m_current < 0) return false;
        const std::vector<FakeRecord>& records = chunk().records;
        m_record = -1;
        while (m_cursor < records.size() && m_record < 0) {
            if (records[m_cursor].name == name.utf8()) m_record = static_cast<int>(m_cursor);
            ++m_cursor;
        }
        return m_record >= 0;
    }
    bool readChannelName(qzString::IString& name) override {
        log("readChannelName");
        if (m_current < 0 || m_cursor >= chunk().records.size() || (strict && m_record >= 0)) return false;
        m_record = static_cast<int>(m_cursor++);
        name = qzString::IString(chunk().records[static_cast<std::size_t>(m_record)].name.c_str(), 1);
        return true;
    }
    bool rewind() override {
        log("rewind");
        m_next = 0;
        m_current = -1;
        return m_open;
    }
    qzString::IString extension() override { return qzString::IString(m_extension.c_str(), 0); }

private:
    void log(std::string call) {
        if (m_log) m_log->push_back(std::move(call));
    }
    FakeFile& file() { return (*m_disk)[m_path]; }
    FakeChunk& chunk() { return file().chunks[static_cast<std::size_t>(m_current)]; }
    void enter(std::size_t index) {
        m_current = static_cast<int>(index);
        m_next = index + 1;
        m_cursor = 0;
        m_record = -1;
    }
    bool put(const char* kind, const void* data, unsigned int count, std::size_t size) {
        log(std::string("write ") + kind + "(" + std::to_string(count) + ")");
        if (!m_open || file().chunks.empty() || file().chunks.back().records.empty()) return false;
        FakeRecord& record = file().chunks.back().records.back();
        record.kind = kind;
        record.count = count;
        record.bytes.assign(static_cast<const unsigned char*>(data),
                            static_cast<const unsigned char*>(data) + count * size);
        return !failWrites;
    }
    bool get(const char* kind, void* data, unsigned int count, std::size_t size) {
        log(std::string("read ") + kind + "(" + std::to_string(count) + ")");
        if (m_record < 0) return false;
        const FakeRecord& record = chunk().records[static_cast<std::size_t>(m_record)];
        if (strict) m_record = -1;
        if (record.kind != kind || record.count != count) return false;
        // A record may claim more than it holds: hostile counts are what the reader must refuse.
        if (count > 0) std::memcpy(data, record.bytes.data(), std::min<std::size_t>(record.bytes.size(), count * size));
        m_record = -1;
        return true;
    }

    FakeDisk* m_disk = nullptr;
    CallLog* m_log = nullptr;
    std::string m_extension;
    std::string m_path;
    bool m_open = false;
    std::size_t m_next = 0;
    int m_current = -1;
    std::size_t m_cursor = 0;
    int m_record = -1;
};

// An accessor writing "points" (2 double vectors, the first scalar the time) and "ids" (3 ints)
// through the fake into a temporary directory; `read()` turns it to reading them back.
struct FakeCache {
    TempDir dir;
    FakeDisk disk;
    CallLog log;
    AccessorRef accessor;
    RecordingFileIO* io = new RecordingFileIO(qzCacheFileIO::kWrite, disk, log);

    explicit FakeCache(qzCacheFileAccessor::qzCacheFileDistribution distribution) {
        accessor->setStorageLocation(text(dir.path()));
        accessor->setBaseFileName(text("shot"));
        accessor->setDistribution(distribution);
        accessor->setFileAccessor(io);
        unsigned int index = 0;
        accessor->addChannel(text("points"), text(""), qzCacheData::kDoubleVectorArray, index);
        accessor->addChannel(text("ids"), text(""), qzCacheData::kInt32Array, index);
        openOneFile();
    }
    std::string frame(const std::string& name) const { return dir.path() + "shot" + name + ".kc"; }
    // Whether both arrays were taken.
    bool writeTime(int t) {
        std::vector<double> p = {1.0 * t, 1.0, 2.0, 3.0, 4.0, 5.0};
        std::vector<int> i = {t, t + 1, t + 2};
        accessor->beginWriteAtTime(t);
        const bool points = accessor->addArrayData(0, t, p.data(), 2);
        const bool ids = accessor->addArrayData(1, t, i.data(), 3);
        accessor->endWriteAtTime();
        return points && ids;
    }
    void read() {
        delete io;
        accessor->setFileAccessor(io = new RecordingFileIO(qzCacheFileIO::kRead, disk, log));
        openOneFile();
    }

private:
    void openOneFile() {
        if (accessor->distribution() == qzCacheFileAccessor::kOneFile) io->open(accessor->constructDataFilePathForOneFile());
        log.clear();
    }
};

}  // namespace qztest
