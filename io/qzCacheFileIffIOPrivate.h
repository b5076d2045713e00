// State of qzCacheFileIffIO behind its installed header, and ways for library code to give a
// reader or writer another file system than the process default. Not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "qzCacheFileIffIO.h"
#include "qzFileSystem.h"
#include "qzIffFile.h"

// A reader or writer of data files in `fileSystem`, which must outlive it.
std::unique_ptr<qzCacheFileIffIO> qzCreateIffIO(qzCacheFileIO::qzCacheFileAccess access,
                                                const qzString::IString& cacheFormat,
                                                qzOS::FileSystem& fileSystem);

// A reader of one data file held in memory: open(name) reads `bytes`, which are not copied and
// must stay unchanged while the reader lives.
std::unique_ptr<qzCacheFileIffIO> qzCreateIffReaderOfBytes(const void* bytes, std::size_t size,
                                                           const qzString::IString& name,
                                                           const qzString::IString& cacheFormat);

struct qzCacheFileIffIOPrivate {
    explicit qzCacheFileIffIOPrivate(qzOS::FileSystem& files) : fileSystem(&files) {}
    static qzCacheFileIffIOPrivate& of(qzCacheFileIffIO& io) { return *io.m_private; }

    qzOS::FileSystem* fileSystem;
    // Set when the reader brought its own file system (bytes held in memory).
    std::unique_ptr<qzOS::FileSystem> ownFileSystem;
    // Made from the format, or from the first file opened when the format is not known.
    std::unique_ptr<iff::qzIffFile> file;
    qzString::IString fileName;
    qzString::IString cacheFormat;

    // Where the time groups met by findTime begin, so that a search that has to start over
    // (after a rewind, or for a time behind the position) jumps instead of walking the file
    // again. Kept while the same file is reopened with the same length; the groups are known
    // without a gap from the first one up to `end`.
    struct TimeGroup {
        std::uint64_t start;
        int time;
        bool hasTime;
    };
    struct GroupIndex {
        qzString::IString fileName;
        std::uint64_t fileLength = 0;
        std::uint64_t first = 0;  // where the first group after the header begins
        std::uint64_t end = 0;    // the known groups end here
        std::vector<TimeGroup> groups;   // in file order
        std::vector<std::size_t> timed;  // positions in `groups` of those with a time
        bool increasing = true;          // the times of `timed` increase strictly
        bool valid = false;
    };
    GroupIndex index;

    // Where the channel records of the last group searched by findChannelName begin, so that
    // reading a time's channels one after another does not scan the group again for each.
    // Every readable record between `from` and `to` is known.
    struct RecordIndex {
        std::uint64_t groupStart = 0;
        std::uint64_t groupEnd = 0;
        std::uint64_t from = 0;
        std::uint64_t to = 0;
        bool complete = false;  // the group has no further readable chunk after `to`
        std::vector<std::uint64_t> starts;  // in file order
        std::unordered_map<std::string, std::vector<std::size_t>> byName;  // into `starts`
        bool valid = false;
        bool largeRecords() const;
    };
    RecordIndex records;

    // The time group findTime entered last and where its records begin after the time.
    struct EnteredGroup {
        iff::ReadPosition body;
        int time = 0;
        bool valid = false;
    };
    EnteredGroup lastEntered;

    // A reader's close keeps its file open here, and opening the same name again while the
    // file under it is unchanged (the same file, length and modification time) takes it back
    // with its read buffer and what the indices learnt, instead of opening it and reading its
    // header again: playback opens a per-frame cache's file once per channel. Otherwise this
    // holds a closed file object of the same variant, or none yet.
    struct Parked {
        std::unique_ptr<iff::qzIffFile> file;
        bool holdsFile = false;
        qzString::IString fileName;
        int startTime = 0;
        int endTime = 0;
        qzString::IString version;
    };
    Parked parked;
    // The open file's header was read by open: only such a file is kept on close.
    bool headerRead = false;
    // Really closes a kept file; the object stays for the next park.
    void dropParked();
    // The file whose diagnostics count: the open one, or the one closed last.
    const iff::qzIffFile* lastFile() const {
        return (!file || !file->isActive()) && parked.holdsFile ? parked.file.get() : file.get();
    }

    // True when no write to the current file has failed so far.
    bool writesOk() const { return file && !file->hasWriteError(); }
    bool atTopLevel() const { return file && file->position().depth == 0; }
    bool inTopLevelGroup() const { return file && file->position().depth == 1; }
    void forgetFile();

    // The search's index (qzCacheFileIffIOSearch.cpp).
    enum class IndexAnswer { kFound, kNotFound, kRewind, kWalkOn, kStale };
    void resetGroupIndex(bool keepIfSameFile);
    bool findTagAt(const iff::qzIffTag& type, std::uint64_t& start);
    // One step of the plain search: the next time group, entered, its time read.
    bool walkToNextTimeGroup(qzCacheFileIffIO& io, int& groupTime, bool& hasTime);
    IndexAnswer searchGroupIndex(qzCacheFileIffIO& io, int time, bool& mayRewind);
    bool enterIndexedGroup(qzCacheFileIffIO& io, std::size_t group);
    void rememberEnteredGroup(int time);
    bool reenterInsteadOfRewind(int time);
    std::vector<std::size_t>::const_iterator decisiveTimedGroup(
        std::vector<std::size_t>::const_iterator from, int time) const;
    bool startOrExtendRecords();
    void readLittleAheadIntoKnownFile();
    bool answerFromRecordIndex(qzCacheFileIffIO& io, const qzString::IString& name, bool& found);
};
