#include "qzFaultFileSystem.h"
#include "qzIffFile.h"
#include "qzMemoryFileSystem.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

// Every allocation of this test program is measured, so that the hostile-size tests can
// show that a size in a file never turns into a matching allocation; and allocations above
// g_refuseAbove fail, for the tests of a writer without memory. (GCC cannot see that the
// replaced operators pair malloc with free.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<std::size_t> g_largestAllocation{0};
std::atomic<std::size_t> g_refuseAbove{~std::size_t{0}};
}

void* operator new(std::size_t count) {
    std::size_t seen = g_largestAllocation.load();
    while (count > seen && !g_largestAllocation.compare_exchange_weak(seen, count)) {
    }
    if (count > g_refuseAbove.load()) {
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(count != 0 ? count : 1)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t count) {
    return operator new(count);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}

namespace {

using iff::qzIffFile;
using iff::qzIffTag;
using Bytes = std::vector<std::uint8_t>;

std::unique_ptr<qzIffFile> makeFile(int variant, qzOS::FileSystem& files = qzOS::defaultFileSystem()) {
    if (variant == 4) {
        return std::make_unique<iff::qzIffFile4>(files);
    }
    return std::make_unique<iff::qzIffFile8>(files);
}

Bytes text(const std::string& value) {
    return Bytes(value.begin(), value.end());
}

struct Chunk {
    qzIffTag tag;
    Bytes data;  // for a string chunk: the bytes as stored, terminator included
    bool asString = false;
    bool operator==(const Chunk& other) const { return tag == other.tag && data == other.data; }
};

struct Group {
    qzIffTag type;
    std::vector<Chunk> chunks;
    bool operator==(const Group& other) const { return type == other.type && chunks == other.chunks; }
};

Chunk stringChunk(const char* tag, const std::string& value) {
    Bytes stored = text(value);
    stored.push_back(0);
    return {qzIffTag(tag), stored, true};
}

Chunk dataChunk(const char* tag, Bytes data) {
    return {qzIffTag(tag), std::move(data), false};
}

void writeGroup(qzIffFile& file, const Group& group) {
    ASSERT_EQ(file.beginWriteGroup(file.getTag(qzIffFile::kGroupTag), group.type), 0);
    for (const Chunk& chunk : group.chunks) {
        if (chunk.asString) {
            ASSERT_EQ(file.beginPut(chunk.tag), 0);
            ASSERT_EQ(file.putString(reinterpret_cast<const char*>(chunk.data.data())), 0);
            ASSERT_EQ(file.endPut(), 0);
        } else {
            ASSERT_EQ(file.putChunk(chunk.tag, static_cast<unsigned>(chunk.data.size()), chunk.data.data()), 0);
        }
    }
    ASSERT_EQ(file.endWriteGroup(), 0);
}

// A small file shaped like a cache: header group, then time groups, with chunks of many
// sizes so that every padding length occurs.
std::vector<Group> sampleGroups() {
    return {
        {qzIffTag("CACH"), {stringChunk("VRSN", "0.1"), dataChunk("STIM", {0, 0, 0, 0}),
                               dataChunk("ETIM", {0, 0, 0, 1})}},
        {qzIffTag("KLCH"), {dataChunk("TIME", {0, 0, 0, 250}), stringChunk("CHNM", "points"),
                               dataChunk("SIZE", {0, 0, 0, 3}), dataChunk("FBCA", Bytes(12, 0x41)),
                               dataChunk("BOOL", {'T'}), dataChunk("NONE", {})}},
        {qzIffTag("KLCH"), {dataChunk("TIME", {0, 0, 1, 244}), dataChunk("ODD7", {1, 2, 3, 4, 5, 6, 7}),
                               stringChunk("CHNM", "x")}},
    };
}

// Writes the groups; returns the file length after each group.
std::vector<std::size_t> writeFile(int variant, const std::string& path, const std::vector<Group>& groups) {
    auto file = makeFile(variant);
    EXPECT_TRUE(file->open(path.c_str(), "w", 0, 0));
    std::vector<std::size_t> ends;
    for (const Group& group : groups) {
        writeGroup(*file, group);
        EXPECT_TRUE(file->flush());
        ends.push_back(qztest::readFileBytes(path).size());
    }
    EXPECT_EQ(file->close(), 0);
    EXPECT_FALSE(file->hasWriteError());
    return ends;
}

// Reads every group and chunk, either whole with getChunk or through beginGet/getString.
// Bounded, so that a walk that does not end fails instead of hanging.
std::vector<Group> walk(qzIffFile& file, bool throughStrings, std::size_t fileLength) {
    std::vector<Group> groups;
    qzIffTag groupTag;
    qzIffTag type;
    for (int guard = 0; file.beginReadGroup(groupTag, type) == 0; ++guard) {
        EXPECT_LT(guard, 1000) << "group walk does not end";
        if (guard >= 1000) {
            break;
        }
        Group group{type, {}};
        for (int chunks = 0;; ++chunks) {
            EXPECT_LT(chunks, 1000) << "chunk walk does not end";
            if (chunks >= 1000) {
                break;
            }
            Chunk chunk;
            unsigned size = 0;
            if (throughStrings) {
                if (file.beginGet(chunk.tag, &size) != 0) {
                    break;
                }
                if (size > fileLength) {
                    ADD_FAILURE() << "chunk size " << size << " beyond the file";
                    break;
                }
                std::vector<char> buffer(size + 1);
                if (file.getString(buffer.data(), static_cast<int>(size)) != nullptr) {
                    chunk.data.assign(buffer.begin(), buffer.begin() + size);
                }
                file.endGet();
            } else {
                const void* data = file.getChunk(chunk.tag, &size);
                if (data == nullptr) {
                    break;
                }
                if (size > fileLength) {
                    ADD_FAILURE() << "chunk size " << size << " beyond the file";
                    break;
                }
                const auto* bytes = static_cast<const std::uint8_t*>(data);
                chunk.data.assign(bytes, bytes + size);
            }
            group.chunks.push_back(chunk);
        }
        file.endReadGroup();
        groups.push_back(group);
    }
    return groups;
}

std::vector<Group> readAll(int variant, const std::string& path, bool throughStrings = false) {
    auto file = makeFile(variant);
    EXPECT_TRUE(file->open(path.c_str(), "r", 0, 0));
    return walk(*file, throughStrings, qztest::readFileBytes(path).size());
}

// ---------------------------------------------------------------------------------------
// Exact bytes

TEST(IffContainer, Layout32BitGroupWithChunkAndString) {
    qztest::TempDir dir;
    const std::string path = dir.file("small.kc");
    iff::qzIffFile4 file;
    ASSERT_TRUE(file.open(path.c_str(), "w", 0, 0));
    EXPECT_EQ(file.getTag(qzIffFile::kGroupTag), qzIffTag::kFOR4);
    writeGroup(file, {qzIffTag("TEST"), {dataChunk("ABCD", text("hello")), stringChunk("STRG", "hi")}});
    EXPECT_EQ(file.close(), 0);

    const Bytes expected = {
        'F', 'O', 'R', '4', 0, 0, 0, 32, 'T', 'E', 'S', 'T',
        'A', 'B', 'C', 'D', 0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o', 0, 0, 0,
        'S', 'T', 'R', 'G', 0, 0, 0, 3, 'h', 'i', 0, 0};
    EXPECT_EQ(qztest::readFileBytes(path), expected);
}

TEST(IffContainer, Layout64BitGroupWithChunkAndString) {
    qztest::TempDir dir;
    const std::string path = dir.file("small.kcx");
    iff::qzIffFile8 file;
    ASSERT_TRUE(file.open(path.c_str(), "w", 0, 0));
    EXPECT_EQ(file.getTag(qzIffFile::kGroupTag), qzIffTag::kFOR8);
    writeGroup(file, {qzIffTag("TEST"), {dataChunk("ABCD", text("hello")), stringChunk("STRG", "hi")}});
    EXPECT_EQ(file.close(), 0);

    const Bytes expected = {
        'F', 'O', 'R', '8', 0, 0, 0, 0, 0, 0, 0, 44, 'T', 'E', 'S', 'T',
        'A', 'B', 'C', 'D', 0, 0, 0, 0, 0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o', 0, 0, 0, 0, 0, 0, 0,
        'S', 'T', 'R', 'G', 0, 0, 0, 0, 0, 0, 0, 3, 'h', 'i', 0, 0};
    EXPECT_EQ(qztest::readFileBytes(path), expected);
}

TEST(IffContainer, TagsCompareByteForByte) {
    EXPECT_EQ(qzIffTag(), qzIffTag::kZERO);
    EXPECT_EQ(qzIffTag("FOR4"), qzIffTag::kFOR4);
    EXPECT_EQ(qzIffTag('F', 'O', 'R', '8'), qzIffTag::kFOR8);
    EXPECT_NE(qzIffTag("FOR4"), qzIffTag("FOR8"));
    EXPECT_NE(qzIffTag("CHNM"), qzIffTag("CHNm"));
    EXPECT_EQ(qzIffTag("AB"), qzIffTag('A', 'B', 0, 0));
    EXPECT_EQ(qzIffTag('A', 'B', '\x01', '\\').text(), "AB\\x01\\x5C");
}

// ---------------------------------------------------------------------------------------
// Round trips and navigation, in both variants

class IffVariant : public ::testing::TestWithParam<int> {};

TEST_P(IffVariant, RoundTripOfGroupsAndChunks) {
    qztest::TempDir dir;
    const std::string path = dir.file("data");
    std::vector<Group> groups = sampleGroups();
    Bytes large(3 * 1024 * 1024 + 5);
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<std::uint8_t>(i * 31 + (i >> 13));
    }
    groups.push_back({qzIffTag("KLCH"), {dataChunk("BIG1", large), dataChunk("MID1", Bytes(70001, 9)),
                                            dataChunk("BIG2", Bytes(large.rbegin(), large.rend()))}});
    writeFile(GetParam(), path, groups);
    EXPECT_EQ(readAll(GetParam(), path), groups);
    EXPECT_EQ(readAll(GetParam(), path, true), groups);
}

TEST_P(IffVariant, EmptyChunkHasData) {
    qztest::TempDir dir;
    const std::string path = dir.file("data");
    writeFile(GetParam(), path, {{qzIffTag("KLCH"), {dataChunk("NONE", {})}}});
    auto file = makeFile(GetParam());
    ASSERT_TRUE(file->open(path.c_str(), "r", 0, 0));
    qzIffTag groupTag;
    qzIffTag type;
    ASSERT_EQ(file->beginReadGroup(groupTag, type), 0);
    qzIffTag tag;
    unsigned size = 99;
    EXPECT_NE(file->getChunk(tag, &size), nullptr);
    EXPECT_EQ(tag, qzIffTag("NONE"));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(file->getChunk(tag, &size), nullptr);
}

namespace {

// The sample groups written to a file in `dir` and opened for reading; null when that fails.
std::unique_ptr<qzIffFile> openSampleGroups(int variant, const qztest::TempDir& dir) {
    const std::string path = dir.file("data");
    writeFile(variant, path, sampleGroups());
    auto file = makeFile(variant);
    if (!file->open(path.c_str(), "r", 0, 0)) return nullptr;
    return file;
}

}  // namespace

TEST_P(IffVariant, BeginGetYieldsTheBegunChunkUntilEnded) {
    qztest::TempDir dir;
    auto file = openSampleGroups(GetParam(), dir);
    ASSERT_TRUE(file);
    qzIffTag groupTag;
    qzIffTag type;
    ASSERT_EQ(file->beginReadGroup(groupTag, type), 0);
    EXPECT_EQ(groupTag, file->getTag(qzIffFile::kGroupTag));
    EXPECT_EQ(type, qzIffTag("CACH"));

    qzIffTag tag;
    unsigned size = 0;
    ASSERT_EQ(file->beginGet(tag, &size), 0);
    EXPECT_EQ(tag, qzIffTag("VRSN"));
    EXPECT_EQ(size, 4u);
    qzIffTag again;
    unsigned againSize = 0;
    ASSERT_EQ(file->beginGet(again, &againSize), 0);
    EXPECT_EQ(again, qzIffTag("VRSN"));
    EXPECT_EQ(againSize, 4u);
    char buffer[8];
    ASSERT_NE(file->getString(buffer, static_cast<int>(size)), nullptr);
    EXPECT_STREQ(buffer, "0.1");
    EXPECT_EQ(file->endGet(), 0);
    EXPECT_EQ(file->endGet(), 1);

    // Ending a chunk unread skips it.
    ASSERT_EQ(file->beginGet(tag, &size), 0);
    EXPECT_EQ(tag, qzIffTag("STIM"));
    EXPECT_EQ(file->endGet(), 0);
    ASSERT_EQ(file->beginGet(tag, &size), 0);
    EXPECT_EQ(tag, qzIffTag("ETIM"));
    EXPECT_EQ(file->endGet(), 0);
    EXPECT_EQ(file->beginGet(tag, &size), 1);
    EXPECT_EQ(file->getChunk(tag, &size), nullptr);
    EXPECT_FALSE(file->hasReadError());
}

TEST_P(IffVariant, GetStringWritesAtMostSizePlusOneBytes) {
    qztest::TempDir dir;
    const std::string path = dir.file("data");
    writeFile(GetParam(), path, {{qzIffTag("KLCH"), {stringChunk("CHNM", "hello world")}}});
    auto file = makeFile(GetParam());
    ASSERT_TRUE(file->open(path.c_str(), "r", 0, 0));
    qzIffTag groupTag;
    qzIffTag type;
    ASSERT_EQ(file->beginReadGroup(groupTag, type), 0);
    qzIffTag tag;
    unsigned size = 0;
    ASSERT_EQ(file->beginGet(tag, &size), 0);
    EXPECT_EQ(size, 12u);
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(file->getString(buffer, 5), buffer);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(buffer[6], '#');
    // The rest of the chunk follows on the next call.
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(file->getString(buffer, 15), buffer);
    EXPECT_STREQ(buffer, " world");
    EXPECT_EQ(buffer[8], '#');
}

TEST_P(IffVariant, EndReadGroupSkipsTheUnreadRest) {
    qztest::TempDir dir;
    auto file = openSampleGroups(GetParam(), dir);
    ASSERT_TRUE(file);
    qzIffTag groupTag;
    qzIffTag type;
    EXPECT_NE(file->endReadGroup(), 0);  // nothing entered: nothing moves
    ASSERT_EQ(file->beginReadGroup(groupTag, type), 0);
    EXPECT_EQ(type, qzIffTag("CACH"));
    EXPECT_EQ(file->endReadGroup(), 0);
    ASSERT_EQ(file->beginReadGroup(groupTag, type), 0);
    EXPECT_EQ(type, qzIffTag("KLCH"));
    qzIffTag tag;
    unsigned size = 0;
    const void* data = file->getChunk(tag, &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(tag, qzIffTag("TIME"));
    EXPECT_EQ(static_cast<const std::uint8_t*>(data)[3], 250);
    ASSERT_EQ(file->beginGet(tag, &size), 0);  // begun, not ended
    EXPECT_EQ(file->endReadGroup(), 0);
    ASSERT_EQ(file->beginReadGroup(groupTag, type), 0);
    data = file->getChunk(tag, &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(static_cast<const std::uint8_t*>(data)[2], 1);
    EXPECT_EQ(file->endReadGroup(), 0);
    EXPECT_NE(file->beginReadGroup(groupTag, type), 0);
    EXPECT_NE(file->endReadGroup(), 0);
    EXPECT_FALSE(file->hasReadError());
}

// The next chunk's bytes, or empty when there is none.
Bytes nextChunkBytes(qzIffFile& file) {
    qzIffTag tag;
    unsigned size = 0;
    const auto* data = static_cast<const std::uint8_t*>(file.getChunk(tag, &size));
    return data ? Bytes(data, data + size) : Bytes();
}

TEST_P(IffVariant, SeekToAPositionReadsFromThereAgain) {
    qztest::TempDir dir;
    auto file = openSampleGroups(GetParam(), dir);
    ASSERT_TRUE(file);
    qzIffTag groupTag;
    qzIffTag type;
    ASSERT_EQ(file->beginReadGroup(groupTag, type), 0);  // header
    EXPECT_EQ(file->endReadGroup(), 0);
    const iff::ReadPosition second = file->position();
    EXPECT_EQ(second.depth, 0u);
    ASSERT_EQ(file->beginReadGroup(groupTag, type), 0);
    const iff::ReadPosition body = file->position();
    EXPECT_EQ(body.depth, 1u);
    EXPECT_EQ(body.groupStart, second.offset);
    const Bytes time = nextChunkBytes(*file);
    const iff::ReadPosition afterTime = file->position();
    const Bytes name = nextChunkBytes(*file);
    ASSERT_FALSE(time.empty());
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(file->endReadGroup(), 0);
    EXPECT_EQ(file->position().offset, body.groupEnd);

    // From the third group back to the start of the second, and into its middle.
    ASSERT_EQ(file->beginReadGroup(groupTag, type), 0);
    ASSERT_TRUE(file->seek(second));
    EXPECT_EQ(file->position().depth, 0u);
    ASSERT_EQ(file->beginReadGroup(groupTag, type), 0);
    EXPECT_EQ(file->position().groupEnd, body.groupEnd);
    EXPECT_EQ(nextChunkBytes(*file), time);
    ASSERT_TRUE(file->seek(afterTime, iff::ReadAhead::kHead));
    EXPECT_EQ(nextChunkBytes(*file), name);
    EXPECT_EQ(file->endReadGroup(), 0);  // the group is entered, as where the position was taken
    EXPECT_EQ(file->position().offset, body.groupEnd);

    // Positions outside the file or their group, and nested ones, are refused and move nothing.
    iff::ReadPosition outside = second;
    outside.offset = file->length() + 1;
    iff::ReadPosition beforeBody = body;
    beforeBody.offset = body.groupStart + 1;
    iff::ReadPosition pastGroup = body;
    pastGroup.offset = body.groupEnd + 1;
    iff::ReadPosition groupBeyondFile = body;
    groupBeyondFile.groupEnd = file->length() + 8;
    iff::ReadPosition nested = body;
    nested.depth = 2;
    const iff::ReadPosition before = file->position();
    for (const iff::ReadPosition& refused : {outside, beforeBody, pastGroup, groupBeyondFile, nested}) {
        EXPECT_FALSE(file->seek(refused));
        EXPECT_EQ(file->position().offset, before.offset);
        EXPECT_EQ(file->position().depth, before.depth);
    }
    EXPECT_FALSE(file->hasReadError());
}

TEST_P(IffVariant, ReadWriteModeAppendsGroups) {
    qztest::TempDir dir;
    const std::string path = dir.file("data");
    std::vector<Group> groups = sampleGroups();
    writeFile(GetParam(), path, {groups[0], groups[1]});

    auto file = makeFile(GetParam());
    EXPECT_FALSE(file->open(dir.file("missing").c_str(), "r+", 0, 0));
    ASSERT_TRUE(file->open(path.c_str(), "r+", 0, 0));
    ASSERT_EQ(file->seek(0, 2), 0);
    writeGroup(*file, groups[2]);
    EXPECT_EQ(file->close(), 0);
    EXPECT_EQ(readAll(GetParam(), path), groups);
}

TEST_P(IffVariant, NestedGroupsReadBack) {
    qztest::TempDir dir;
    const std::string path = dir.file("data");
    auto file = makeFile(GetParam());
    const qzIffTag groupTag = file->getTag(qzIffFile::kGroupTag);
    ASSERT_TRUE(file->open(path.c_str(), "w", 0, 0));
    ASSERT_EQ(file->beginWriteGroup(groupTag, qzIffTag("OUTR")), 0);
    ASSERT_EQ(file->putChunk(qzIffTag("ONE1"), 1, "a"), 0);
    ASSERT_EQ(file->beginWriteGroup(groupTag, qzIffTag("INNR")), 0);
    ASSERT_EQ(file->putChunk(qzIffTag("TWO2"), 3, "bcd"), 0);
    ASSERT_EQ(file->endWriteGroup(), 0);
    ASSERT_EQ(file->endWriteGroup(), 0);
    writeGroup(*file, {qzIffTag("NEXT"), {dataChunk("LAST", {7})}});
    ASSERT_EQ(file->close(), 0);

    ASSERT_TRUE(file->open(path.c_str(), "r", 0, 0));
    qzIffTag tag;
    qzIffTag type;
    ASSERT_EQ(file->beginReadGroup(tag, type), 0);
    EXPECT_EQ(type, qzIffTag("OUTR"));
    EXPECT_NE(file->beginReadGroup(tag, type), 0);  // a chunk comes first
    unsigned size = 0;
    ASSERT_NE(file->getChunk(tag, &size), nullptr);
    EXPECT_EQ(tag, qzIffTag("ONE1"));
    ASSERT_EQ(file->beginReadGroup(tag, type), 0);
    EXPECT_EQ(type, qzIffTag("INNR"));
    const void* data = file->getChunk(tag, &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(data), size), "bcd");
    EXPECT_EQ(file->getChunk(tag, &size), nullptr);
    EXPECT_EQ(file->endReadGroup(), 0);
    EXPECT_EQ(file->getChunk(tag, &size), nullptr);
    EXPECT_EQ(file->endReadGroup(), 0);
    ASSERT_EQ(file->beginReadGroup(tag, type), 0);
    EXPECT_EQ(type, qzIffTag("NEXT"));
    EXPECT_FALSE(file->hasReadError());
}

TEST_P(IffVariant, ClosingCompletesAnOpenGroup) {
    qztest::TempDir dir;
    const std::string path = dir.file("data");
    auto file = makeFile(GetParam());
    ASSERT_TRUE(file->open(path.c_str(), "w", 0, 0));
    ASSERT_EQ(file->beginWriteGroup(file->getTag(qzIffFile::kGroupTag), qzIffTag("KLCH")), 0);
    ASSERT_EQ(file->putChunk(qzIffTag("TIME"), 4, "\0\0\0\1"), 0);
    EXPECT_EQ(file->close(), 0);
    EXPECT_EQ(readAll(GetParam(), path),
        (std::vector<Group>{{qzIffTag("KLCH"), {dataChunk("TIME", {0, 0, 0, 1})}}}));
}

// A writer that stops in the middle of a group leaves a file whose earlier groups read
// back and whose unfinished group ends the data.
TEST_P(IffVariant, UnfinishedGroupEndsTheData) {
    qztest::TempDir dir;
    const std::string path = dir.file("data");
    const std::vector<Group> groups = sampleGroups();
    auto file = makeFile(GetParam());
    ASSERT_TRUE(file->open(path.c_str(), "w", 0, 0));
    writeGroup(*file, groups[0]);
    ASSERT_EQ(file->beginWriteGroup(file->getTag(qzIffFile::kGroupTag), qzIffTag("KLCH")), 0);
    ASSERT_EQ(file->putChunk(qzIffTag("TIME"), 4, "\0\0\0\1"), 0);
    ASSERT_TRUE(file->flush());
    const std::string copy = dir.file("copy");
    qztest::writeFileBytes(copy, qztest::readFileBytes(path));
    file->close();

    auto reader = makeFile(GetParam());
    ASSERT_TRUE(reader->open(copy.c_str(), "r", 0, 0));
    EXPECT_EQ(walk(*reader, false, 1000), (std::vector<Group>{groups[0]}));
    EXPECT_TRUE(reader->hasReadError());
}

TEST_P(IffVariant, MisuseIsRefusedAndRemembered) {
    qztest::TempDir dir;
    const std::string path = dir.file("data");
    auto file = makeFile(GetParam());
    const qzIffTag other = GetParam() == 4 ? qzIffTag::kFOR8 : qzIffTag::kFOR4;
    ASSERT_TRUE(file->open(path.c_str(), "w", 0, 0));
    EXPECT_NE(file->putChunk(qzIffTag("LOST"), 1, "x"), 0);  // outside any group
    EXPECT_TRUE(file->hasWriteError());
    EXPECT_NE(file->lastError().find("LOST"), std::string::npos);
    EXPECT_NE(file->beginWriteGroup(other, qzIffTag("KLCH")), 0);
    EXPECT_NE(file->endWriteGroup(), 0);
    EXPECT_FALSE(file->flush());
    EXPECT_NE(file->close(), 0);

    ASSERT_TRUE(file->open(path.c_str(), "w", 0, 0));
    EXPECT_FALSE(file->hasWriteError());
    EXPECT_TRUE(file->lastError().empty());
    writeGroup(*file, sampleGroups()[0]);
    EXPECT_EQ(file->close(), 0);

    ASSERT_TRUE(file->open(path.c_str(), "r", 0, 0));
    EXPECT_NE(file->beginWriteGroup(file->getTag(qzIffFile::kGroupTag), qzIffTag("KLCH")), 0);
    EXPECT_TRUE(file->hasWriteError());
    file->close();
    EXPECT_EQ(readAll(GetParam(), path), (std::vector<Group>{sampleGroups()[0]}));
    EXPECT_FALSE(file->open(path.c_str(), "a", 0, 0));
    EXPECT_FALSE(file->isActive());
}

// A file in memory whose chosen call fails: each case writes the header group, then a time
// group, and names the first call that fails; that call and every later write report it.
struct WriteFault {
    const char* name;
    qzOS::FaultFileSystem::Operation operation;
    qzOS::FaultFileSystem::Effect effect;
    std::size_t chunkBytes;  // a large chunk goes to the file in its own call
    bool failsAtPut;         // the put reports it; else the flush after it
};

TEST_P(IffVariant, WriteErrorsAreSticky) {
    using Fault = qzOS::FaultFileSystem;
    const WriteFault cases[] = {
        {"buffered write", Fault::Operation::kWrite, Fault::Effect::kFail, 100, false},
        {"short buffered write", Fault::Operation::kWrite, Fault::Effect::kShort, 100, false},
        {"large write", Fault::Operation::kWrite, Fault::Effect::kFail, 256 * 1024, true},
        {"short large write", Fault::Operation::kWrite, Fault::Effect::kShort, 256 * 1024, true},
        {"flush", Fault::Operation::kFlush, Fault::Effect::kFail, 100, false},
    };
    for (const WriteFault& c : cases) {
        SCOPED_TRACE(c.name);
        qzOS::MemoryFileSystem memory;
        Fault files(memory);
        auto file = makeFile(GetParam(), files);
        ASSERT_TRUE(file->open("data", "w", 0, 0));
        writeGroup(*file, sampleGroups()[0]);
        ASSERT_TRUE(file->flush());
        files.failAt(c.operation, "data", 1, c.effect);
        const Bytes chunk(c.chunkBytes, 7);
        ASSERT_EQ(file->beginWriteGroup(file->getTag(qzIffFile::kGroupTag), qzIffTag("KLCH")), 0);
        EXPECT_EQ(file->putChunk(qzIffTag("DATA"), static_cast<unsigned>(chunk.size()), chunk.data()) != 0,
                  c.failsAtPut);
        EXPECT_EQ(file->endWriteGroup(), 0);
        EXPECT_FALSE(file->flush());
        EXPECT_TRUE(file->hasWriteError());
        EXPECT_FALSE(file->lastError().empty());
        // Sticky: later writes that succeed in the system still report the earlier failure.
        writeGroup(*file, sampleGroups()[2]);
        EXPECT_FALSE(file->flush());
        EXPECT_NE(file->close(), 0);
        EXPECT_TRUE(file->hasWriteError());
        // What was handed over before the failure reads back.
        Bytes stored;
        ASSERT_TRUE(memory.contents("data", stored));
        auto reader = makeFile(GetParam(), memory);
        ASSERT_TRUE(reader->open("data", "r", 0, 0));
        const std::vector<Group> read = walk(*reader, false, stored.size());
        ASSERT_FALSE(read.empty());
        EXPECT_EQ(read[0], sampleGroups()[0]);
    }
    // A failed close is reported too.
    qzOS::MemoryFileSystem memory;
    Fault files(memory);
    auto file = makeFile(GetParam(), files);
    ASSERT_TRUE(file->open("data", "w", 0, 0));
    writeGroup(*file, sampleGroups()[0]);
    files.failAt(Fault::Operation::kClose, "data", 1);
    EXPECT_NE(file->close(), 0);
    EXPECT_TRUE(file->hasWriteError());
}

// ---------------------------------------------------------------------------------------
// Buffered writing: a group gathers in memory up to a limit, chunks can be filled in place

// The group size field of the group at `offset`, as it stands in the file.
std::uint64_t sizeFieldAt(int variant, const std::string& path, std::size_t offset) {
    const Bytes bytes = qztest::readFileBytes(path);
    std::uint64_t value = 0;
    for (std::size_t i = offset + 4; i < offset + 4 + static_cast<std::size_t>(variant) && i < bytes.size(); ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

TEST_P(IffVariant, ChunksFilledInPlaceMatchPutChunk) {
    qztest::TempDir dir;
    // Sizes around the 64 KiB buffer, one beyond the 4 MiB a group gathers, and every padding.
    const std::vector<std::size_t> sizes = {0, 1, 2, 3, 5, 7, 9, 60000, 65535, 65536, 70001, 5u << 20, 13};
    std::vector<Chunk> chunks;
    std::mt19937 random(7);
    for (std::size_t size : sizes) {
        Bytes data(size);
        for (auto& byte : data) {
            byte = static_cast<std::uint8_t>(random());
        }
        chunks.push_back(dataChunk("DATA", data));
    }
    const Group group{qzIffTag("KLCH"), chunks};
    const std::string expected = dir.file("expected");
    writeFile(GetParam(), expected, {sampleGroups()[0], group});

    const std::string path = dir.file("inplace");
    auto file = makeFile(GetParam());
    ASSERT_TRUE(file->open(path.c_str(), "w", 0, 0));
    writeGroup(*file, sampleGroups()[0]);
    ASSERT_EQ(file->beginWriteGroup(file->getTag(qzIffFile::kGroupTag), group.type), 0);
    // In runs of one, two and three chunks, so that padding between them occurs too.
    for (std::size_t first = 0, run = 1; first < chunks.size(); first += run, run = run % 3 + 1) {
        const std::size_t count = std::min(run, chunks.size() - first);
        qzIffFile::ChunkSpace spaces[3];
        for (std::size_t i = 0; i < count; ++i) {
            spaces[i].tag = chunks[first + i].tag;
            spaces[i].size = static_cast<std::uint32_t>(chunks[first + i].data.size());
        }
        ASSERT_TRUE(file->putChunksInPlace(spaces, count));
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_NE(spaces[i].data, nullptr);
            std::copy(chunks[first + i].data.begin(), chunks[first + i].data.end(), spaces[i].data);
        }
    }
    ASSERT_EQ(file->endWriteGroup(), 0);
    ASSERT_EQ(file->close(), 0);
    EXPECT_TRUE(qztest::readFileBytes(path) == qztest::readFileBytes(expected));
    EXPECT_EQ(readAll(GetParam(), path), (std::vector<Group>{sampleGroups()[0], group}));
}

// A group larger than the buffer is completed in memory, but whatever reaches the file
// before its end carries size 0; beyond the gathering limit it goes out early, with size 0.
TEST_P(IffVariant, BufferedGroupReachesTheFileUnfinishedUntilEnded) {
    qztest::TempDir dir;
    const std::string path = dir.file("data");
    const std::vector<Group> groups = sampleGroups();
    auto file = makeFile(GetParam());
    ASSERT_TRUE(file->open(path.c_str(), "w", 0, 0));
    writeGroup(*file, groups[0]);
    ASSERT_TRUE(file->flush());
    const std::size_t start = qztest::readFileBytes(path).size();
    Group big{qzIffTag("KLCH"), {}};
    ASSERT_EQ(file->beginWriteGroup(file->getTag(qzIffFile::kGroupTag), big.type), 0);
    const Bytes block(10001, 0x5A);
    // 200 KB: more than the buffer, not yet written at all.
    for (int i = 0; i < 20; ++i) {
        big.chunks.push_back(dataChunk("PART", block));
        ASSERT_EQ(file->putChunk(qzIffTag("PART"), static_cast<unsigned>(block.size()), block.data()), 0);
    }
    EXPECT_EQ(qztest::readFileBytes(path).size(), start);
    ASSERT_TRUE(file->flush());
    EXPECT_GT(qztest::readFileBytes(path).size(), start + 200000);
    EXPECT_EQ(sizeFieldAt(GetParam(), path, start), 0u);
    // On to 5 MB without a flush: the gathered bytes go out on their own, still unfinished.
    for (int i = 0; i < 500; ++i) {
        big.chunks.push_back(dataChunk("PART", block));
        ASSERT_EQ(file->putChunk(qzIffTag("PART"), static_cast<unsigned>(block.size()), block.data()), 0);
    }
    EXPECT_GT(qztest::readFileBytes(path).size(), start + (4u << 20));
    EXPECT_EQ(sizeFieldAt(GetParam(), path, start), 0u);
    ASSERT_EQ(file->endWriteGroup(), 0);
    // A group that fits is completed before it reaches the file.
    writeGroup(*file, groups[1]);
    ASSERT_TRUE(file->flush());
    ASSERT_EQ(file->close(), 0);
    EXPECT_EQ(readAll(GetParam(), path), (std::vector<Group>{groups[0], big, groups[1]}));
}

// Chunks filled in place are all written or none: without memory for the large one, the small
// one before it is not written either, and the file stays sound for what follows.
TEST_P(IffVariant, WriterWithoutMemoryWritesNothing) {
    qztest::TempDir dir;
    const std::string path = dir.file("data");
    auto file = makeFile(GetParam());
    ASSERT_TRUE(file->open(path.c_str(), "w", 0, 0));
    writeGroup(*file, sampleGroups()[0]);
    ASSERT_EQ(file->beginWriteGroup(file->getTag(qzIffFile::kGroupTag), qzIffTag("KLCH")), 0);
    qzIffFile::ChunkSpace record[2];
    record[0].tag = qzIffTag("SIZE");
    record[0].size = 4;
    record[1].tag = qzIffTag("DATA");
    record[1].size = 2u << 20;
    g_refuseAbove = 1u << 20;
    EXPECT_FALSE(file->putChunksInPlace(record, 2));
    g_refuseAbove = ~std::size_t{0};
    EXPECT_FALSE(file->hasWriteError());
    EXPECT_EQ(file->putChunk(qzIffTag("TIME"), 4, "\0\0\0\1"), 0);
    EXPECT_EQ(file->close(), 0);
    EXPECT_EQ(readAll(GetParam(), path),
        (std::vector<Group>{sampleGroups()[0], {qzIffTag("KLCH"), {dataChunk("TIME", {0, 0, 0, 1})}}}));
}

// ---------------------------------------------------------------------------------------
// Damaged and hostile files

TEST_P(IffVariant, TruncatedFilesKeepTheirCompleteGroups) {
    qztest::TempDir dir;
    const std::string path = dir.file("data");
    const std::vector<Group> groups = sampleGroups();
    const std::vector<std::size_t> ends = writeFile(GetParam(), path, groups);
    const Bytes whole = qztest::readFileBytes(path);
    const std::string cut = dir.file("cut");
    for (std::size_t length = 0; length < whole.size(); ++length) {
        qztest::writeFileBytes(cut, Bytes(whole.begin(), whole.begin() + static_cast<long>(length)));
        const auto complete = static_cast<std::size_t>(
            std::count_if(ends.begin(), ends.end(), [&](std::size_t end) { return end <= length; }));
        const std::vector<Group> expected(groups.begin(), groups.begin() + static_cast<long>(complete));
        for (bool throughStrings : {false, true}) {
            auto file = makeFile(GetParam());
            ASSERT_TRUE(file->open(cut.c_str(), "r", 0, 0));
            ASSERT_EQ(walk(*file, throughStrings, length), expected) << "cut at " << length;
            // Cut at a group boundary, the file simply holds fewer groups.
            const bool atBoundary = length == 0 || std::find(ends.begin(), ends.end(), length) != ends.end();
            EXPECT_EQ(file->hasReadError(), !atBoundary) << "cut at " << length;
        }
    }
}

TEST_P(IffVariant, FlippedBytesNeverReachEarlierGroups) {
    qztest::TempDir dir;
    const std::string path = dir.file("data");
    const std::vector<Group> groups = sampleGroups();
    const std::vector<std::size_t> ends = writeFile(GetParam(), path, groups);
    const Bytes whole = qztest::readFileBytes(path);
    const std::string damaged = dir.file("damaged");
    std::mt19937 random(20240611u + static_cast<unsigned>(GetParam()));
    for (int round = 0; round < 600; ++round) {
        Bytes bytes = whole;
        std::size_t first = bytes.size();
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < flips; ++i) {
            const std::size_t at = random() % bytes.size();
            const auto value = static_cast<std::uint8_t>(1 + random() % 255);
            bytes[at] ^= value;
            first = std::min(first, at);
        }
        qztest::writeFileBytes(damaged, bytes);
        const auto intact = static_cast<std::size_t>(
            std::count_if(ends.begin(), ends.end(), [&](std::size_t end) { return end <= first; }));
        for (bool throughStrings : {false, true}) {
            auto file = makeFile(GetParam());
            ASSERT_TRUE(file->open(damaged.c_str(), "r", 0, 0));
            const std::vector<Group> read = walk(*file, throughStrings, bytes.size());
            ASSERT_GE(read.size(), intact) << "round " << round;
            ASSERT_TRUE(std::equal(groups.begin(), groups.begin() + static_cast<long>(intact), read.begin()))
                << "round " << round;
        }
    }
}

// Builds a file of one group holding one chunk header with the given size field.
Bytes fileWithChunkSize(int variant, std::uint64_t chunkSize, std::uint64_t groupSize) {
    Bytes bytes = text(variant == 4 ? "FOR4" : "FOR8");
    const int width = variant == 4 ? 4 : 8;
    for (int i = width - 1; i >= 0; --i) {
        bytes.push_back(static_cast<std::uint8_t>(groupSize >> (8 * i)));
    }
    for (char c : std::string("KLCHDBLA")) {
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    for (int i = width - 1; i >= 0; --i) {
        bytes.push_back(static_cast<std::uint8_t>(chunkSize >> (8 * i)));
    }
    bytes.resize(bytes.size() + 64, 0x55);
    return bytes;
}

TEST_P(IffVariant, HostileSizesFailWithoutAllocating) {
    qztest::TempDir dir;
    const std::string path = dir.file("hostile");
    const int width = GetParam() == 4 ? 4 : 8;
    const std::uint64_t all = GetParam() == 4 ? 0xFFFFFFFFull : 0xFFFFFFFFFFFFFFFFull;
    const std::uint64_t fitting = 4 + 4 + width + 64;  // type, chunk header, data
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> cases = {
        {all, fitting}, {all - 3, fitting}, {1ull << (8 * width - 1), fitting}, {65, fitting},
        {10, all}, {10, all - 7}, {10, 3}, {10, fitting + 1}};
    for (const auto& [chunkSize, groupSize] : cases) {
        qztest::writeFileBytes(path, fileWithChunkSize(GetParam(), chunkSize, groupSize));
        for (bool throughStrings : {false, true}) {
            auto file = makeFile(GetParam());
            ASSERT_TRUE(file->open(path.c_str(), "r", 0, 0));
            g_largestAllocation = 0;
            const std::vector<Group> read = walk(*file, throughStrings, 1000);
            EXPECT_LT(g_largestAllocation.load(), std::size_t{1} << 20);
            EXPECT_TRUE(file->hasReadError()) << chunkSize << " in " << groupSize;
            const bool groupFits = groupSize == fitting;
            ASSERT_EQ(read.size(), groupFits ? 1u : 0u) << chunkSize << " in " << groupSize;
            if (groupFits) {
                EXPECT_TRUE(read[0].chunks.empty()) << chunkSize;
            }
        }
    }
}

// A chunk too large for its group spoils only that group.
TEST_P(IffVariant, OversizedChunkSpoilsOnlyItsGroup) {
    qztest::TempDir dir;
    const std::string path = dir.file("data");
    const std::vector<Group> groups = sampleGroups();
    const std::vector<std::size_t> ends = writeFile(GetParam(), path, groups);
    Bytes bytes = qztest::readFileBytes(path);
    // The "TIME" chunk opens the second group: header, type, then the chunk's size field.
    const std::size_t sizeField = ends[0] + (GetParam() == 4 ? 12 : 16) + 4;
    bytes[sizeField + (GetParam() == 4 ? 3 : 7)] = 0xF0;
    qztest::writeFileBytes(path, bytes);
    const std::vector<Group> read = readAll(GetParam(), path);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0], groups[0]);
    EXPECT_TRUE(read[1].chunks.empty());
    EXPECT_EQ(read[2], groups[2]);
}

INSTANTIATE_TEST_SUITE_P(Variants, IffVariant, ::testing::Values(4, 8),
    [](const ::testing::TestParamInfo<int>& variant) { return variant.param == 4 ? "FOR4" : "FOR8"; });

}  // namespace
