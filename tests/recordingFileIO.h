// A qzCacheFileIO that keeps its "files" in memory and logs every call, so that tests can
// check the exact calls the accessor makes and read back what it wrote.
#pragma once

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "qzCacheFileIO.h"
#include "qzCacheFileAccessor.h"
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
    std::string version;
    int start = 0;
    int end = 0;
    std::vector<FakeChunk> chunks;
};

// Path to file, shared by every fake of one test.
using FakeDisk = std::map<std::string, FakeFile>;
using CallLog = std::vector<std::string>;

class RecordingFileIO : public qzCacheFileIO {
public:
    RecordingFileIO(qzCacheFileAccess access, FakeDisk& disk, CallLog& log,
                    std::string extension = "kc")
        : qzCacheFileIO(access), m_disk(disk), m_log(log), m_extension(std::move(extension)) {}

    // Writes report failure from now on (the data still lands in the fake file).
    bool failWrites = false;
    // Also creates an empty file of that name on the real disk when opening for writing, so
    // that a directory listing finds the frame files.
    bool touchRealFiles = false;

    bool open(const qzString::IString& name) override {
        const std::string path = name.utf8();
        m_log.push_back("open(" + path + ")");
        m_open = false;
        if (fileAccessMode() == kWrite) {
            m_disk[path] = FakeFile();
            if (touchRealFiles) qztest::writeFileBytes(path, {});
        } else if (m_disk.count(path) == 0) {
            return false;
        }
        m_path = path;
        m_open = true;
        m_next = 0;
        m_current = -1;
        return true;
    }
    void close() override {
        m_log.push_back("close");
        m_open = false;
    }
    bool isValid() override {
        m_log.push_back("isValid");
        return m_open;
    }
    bool readHeader() override { return m_open; }
    bool writeHeader(qzString::IString version, int start, int end) override {
        m_log.push_back("writeHeader(" + version.utf8() + "," + std::to_string(start) + "," +
                        std::to_string(end) + ")");
        if (!m_open) return false;
        file().version = version.utf8();
        file().start = start;
        file().end = end;
        return !failWrites;
    }
    void beginWriteChunk() override {
        m_log.push_back("beginWriteChunk");
        if (m_open) file().chunks.emplace_back();
    }
    void endWriteChunk() override { m_log.push_back("endWriteChunk"); }
    bool beginReadChunk() override {
        m_log.push_back("beginReadChunk");
        if (!m_open || m_next >= file().chunks.size()) return false;
        enter(m_next);
        return true;
    }
    void endReadChunk() override {
        m_log.push_back("endReadChunk");
        m_current = -1;
    }
    bool writeTime(int time) override {
        m_log.push_back("writeTime(" + std::to_string(time) + ")");
        if (!m_open || file().chunks.empty()) return false;
        file().chunks.back().hasTime = true;
        file().chunks.back().time = time;
        return !failWrites;
    }
    bool readTime(int& time) override { return readNextTime(time); }
    bool findTime(int time, int& found) override {
        m_log.push_back("findTime(" + std::to_string(time) + ")");
        if (!m_open) return false;
        const std::vector<FakeChunk>& chunks = file().chunks;
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t i = pass == 0 ? m_next : 0; i < chunks.size(); ++i) {
                if (chunks[i].hasTime && chunks[i].time == time) {
                    enter(i);
                    found = time;
                    return true;
                }
            }
        }
        return false;
    }
    bool readNextTime(int& time) override {
        m_log.push_back("readNextTime");
        if (m_current < 0 || !chunk().hasTime) return false;
        time = chunk().time;
        return true;
    }
    unsigned int readArraySize() override {
        m_log.push_back("readArraySize");
        return m_record >= 0 ? chunk().records[static_cast<std::size_t>(m_record)].count : 0;
    }
    bool writeDoubleArray(const double* d, unsigned int n) override { return put("DBLA", d, n, 8); }
    bool readDoubleArray(double* d, unsigned int n) override { return get("DBLA", d, n, 8); }
    bool writeFloatArray(const float* d, unsigned int n) override { return put("FBCA", d, n, 4); }
    bool readInt32Array(int* d, unsigned int n) override { return get("INTA", d, n, 4); }
    bool writeInt32Array(const int* d, unsigned int n) override { return put("INTA", d, n, 4); }
    bool readFloatArray(float* d, unsigned int n) override { return get("FBCA", d, n, 4); }
    bool writeDoubleVectorArray(const double* d, unsigned int n) override {
        return put("DVCA", d, n, 24);
    }
    bool readDoubleVectorArray(double* d, unsigned int n) override {
        return get("DVCA", d, n, 24);
    }
    bool writeFloatVectorArray(const float* d, unsigned int n) override {
        return put("FVCA", d, n, 12);
    }
    bool readFloatVectorArray(float* d, unsigned int n) override { return get("FVCA", d, n, 12); }
    bool writeChannelName(const qzString::IString& name) override {
        m_log.push_back("writeChannelName(" + name.utf8() + ")");
        if (!m_open || file().chunks.empty()) return false;
        file().chunks.back().records.push_back(FakeRecord{name.utf8(), "", 0, {}});
        return !failWrites;
    }
    bool findChannelName(const qzString::IString& name) override {
        m_log.push_back("findChannelName(" + name.utf8() + ")");
        if (m_current < 0) return false;
        const std::vector<FakeRecord>& records = chunk().records;
        for (std::size_t i = m_cursor; i < records.size(); ++i) {
            if (records[i].name == name.utf8()) {
                m_record = static_cast<int>(i);
                m_cursor = i + 1;
                return true;
            }
        }
        m_cursor = records.size();
        m_record = -1;
        return false;
    }
    bool readChannelName(qzString::IString& name) override {
        m_log.push_back("readChannelName");
        if (m_current < 0 || m_cursor >= chunk().records.size()) return false;
        m_record = static_cast<int>(m_cursor++);
        const FakeRecord& record = chunk().records[static_cast<std::size_t>(m_record)];
        name = qzString::IString(record.name.c_str(), 1);
        return true;
    }
    bool rewind() override {
        m_log.push_back("rewind");
        if (!m_open) return false;
        m_next = 0;
        m_current = -1;
        return true;
    }
    qzString::IString extension() override { return qzString::IString(m_extension.c_str(), 0); }

private:
    FakeFile& file() { return m_disk[m_path]; }
    FakeChunk& chunk() { return file().chunks[static_cast<std::size_t>(m_current)]; }
    void enter(std::size_t index) {
        m_current = static_cast<int>(index);
        m_next = index + 1;
        m_cursor = 0;
        m_record = -1;
    }
    bool put(const char* kind, const void* data, unsigned int count, std::size_t size) {
        m_log.push_back(std::string("write ") + kind + "(" + std::to_string(count) + ")");
        if (!m_open || file().chunks.empty() || file().chunks.back().records.empty()) return false;
        FakeRecord& record = file().chunks.back().records.back();
        record.kind = kind;
        record.count = count;
        record.bytes.resize(count * size);
        if (count > 0) std::memcpy(record.bytes.data(), data, count * size);
        return !failWrites;
    }
    bool get(const char* kind, void* data, unsigned int count, std::size_t size) {
        m_log.push_back(std::string("read ") + kind + "(" + std::to_string(count) + ")");
        if (m_record < 0) return false;
        const FakeRecord& record = chunk().records[static_cast<std::size_t>(m_record)];
        if (record.kind != kind || record.count != count) return false;
        if (count > 0) std::memcpy(data, record.bytes.data(), count * size);
        m_record = -1;
        return true;
    }

    FakeDisk& m_disk;
    CallLog& m_log;
    std::string m_extension;
    std::string m_path;
    bool m_open = false;
    std::size_t m_next = 0;
    int m_current = -1;
    std::size_t m_cursor = 0;
    int m_record = -1;
};

}  // namespace qztest

#include "qzCacheFileAccessor.h"
#include "testSupport.h"
