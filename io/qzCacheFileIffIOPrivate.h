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

// Makes a reader or writer, closed first, use `fileSystem`, which must outlive it.
void qzUseFileSystem(qzCacheFileIffIO& io, qzOS::FileSystem& fileSystem);

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
    // Every readable record between `from` and `to` is known. Its lists keep their memory from
    // group to group.
    static constexpr std::uint32_t kNoRecord = 0xFFFFFFFFu;
    struct RecordIndex {
        std::uint64_t groupStart = 0;
        std::uint64_t groupEnd = 0;
        std::uint64_t from = 0;
        std::uint64_t to = 0;
        bool complete = false;  // the group has no further readable chunk after `to`
        std::vector<std::uint64_t> starts;   // in file order
        std::vector<std::uint32_t> names;    // the name number of each
        std::vector<std::uint32_t> nextSame; // the next record of the same name, or kNoRecord
        std::vector<std::uint8_t> firsts;    // whether no earlier record has the same name
        // Every record so far has the name of the record at its place in the previous index.
        bool likePrevious = true;
        // The record found last: playback asks for the channels in the order they are stored.
        std::uint32_t lastFound = kNoRecord;
        bool valid = false;
        bool largeRecords() const;
    };
    RecordIndex records;
    // Channel names met, numbered, and by number the first and last record of that name in
    // `records` (where `stamp` is `generation`): kept across groups, so that a group of names
    // met before is indexed without allocating. Bounded; past the bound it starts over.
    struct NameNumbers {
        std::unordered_map<std::string, std::uint32_t> numbers;
        std::vector<std::string> text;
        std::size_t textBytes = 0;
        std::vector<std::uint64_t> stamp;
        std::vector<std::uint32_t> first;
        std::vector<std::uint32_t> last;
        std::uint64_t generation = 1;
    };
    NameNumbers names;
    // The names and firsts of the index before: the groups of a file mostly hold the same
    // channels in the same order, so a record's name is first compared with the name at its
    // place there, and a name first met there at the next place is known to be new here.
    std::vector<std::uint32_t> previousNames;
    std::vector<std::uint8_t> previousFirsts;
    bool newAtNextPlace(const std::string& name) const;
    std::string nameBytes;  // the name read last, reused
    void resetRecords(const iff::ReadPosition* start);
    bool addRecord(std::uint64_t at, const std::string& name);
    // Reads the begun name chunk as readIstring would and gives the name in UTF-8 as the
    // library writes it; false for a chunk that holds no name.
    bool readName(std::string& name);

    // The time group findTime entered last and where its records begin after the time.
    struct EnteredGroup {
        iff::ReadPosition body;
        int time = 0;
        bool valid = false;
    };
    EnteredGroup lastEntered;

    // The time group that beginReadChunk entered from a top-level position, right there: a
    // frame file taken back by open (unchanged) is entered again without reading the group's
    // header. Kept only across such opens; any other open and a rewind forget it.
    struct ChunkEntry {
        std::uint64_t from = 0;
        iff::ReadPosition body;
        bool valid = false;
    };
    ChunkEntry firstChunk;
    bool enterChunk();

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
    // Takes back the kept file for an open of `fileName` when it is unchanged.
    bool reopenParked(qzCacheFileIffIO& io, const qzString::IString& fileName);
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
    // Looks at the file anew where a writer may still be appending: its new length, and its
    // last group completed in place. What the index knows stays.
    void takeGrowth();
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
    bool answerFromRecordIndex(const qzString::IString& name, bool& found);
    bool answerWithNextRecord(const iff::ReadPosition& here, const std::string& name, iff::ReadAhead ahead);
    // Reads the name chunk at the position; true when it holds `name`.
    bool nameChunkHolds(const std::string& name);
};
