// The IFF container under the data files: its exact bytes in both variants, round trips (every
// padding length, a group past the buffer), buffered writing, and hostile sizes. Damage to whole
// cache files is tested once, over the checker; write failures through the facade; seeking and
// chunks filled in place, through the data file.
#include "qzIffFile.h"
#include "allocationProbe.h"
#include "iffBytes.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using iff::qzIffFile;
using iff::qzIffTag;
using qztest::Bytes;

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
    Bytes stored(value.begin(), value.end());
    stored.push_back(0);
    return {qzIffTag(tag), stored, true};
}

Chunk dataChunk(const char* tag, Bytes data) { return {qzIffTag(tag), std::move(data), false}; }

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
        {qzIffTag("CACH"),
         {stringChunk("VRSN", "0.1"), dataChunk("STIM", {0, 0, 0, 0}), dataChunk("ETIM", {0, 0, 0, 1})}},
        {qzIffTag("KLCH"),
         {dataChunk("TIME", {0, 0, 0, 250}), stringChunk("CHNM", "points"), dataChunk("SIZE", {0, 0, 0, 3}),
          dataChunk("FBCA", Bytes(12, 0x41)), dataChunk("BOOL", {'T'}), dataChunk("NONE", {})}},
        {qzIffTag("KLCH"),
         {dataChunk("TIME", {0, 0, 1, 244}), dataChunk("ODD7", {1, 2, 3, 4, 5, 6, 7}), stringChunk("CHNM", "x")}},
    };
}

// Reads every group and chunk, either whole with getChunk or through beginGet/getString.
// Bounded, so that a walk that does not end fails instead of hanging.
std::vector<Group> walk(qzIffFile& file, bool throughStrings, std::size_t fileLength) {
    std::vector<Group> groups;
    qzIffTag groupTag;
    qzIffTag type;
    for (int guard = 0; guard < 1000 && file.beginReadGroup(groupTag, type) == 0; ++guard) {
        Group group{type, {}};
        for (int chunks = 0; chunks < 1000; ++chunks) {
            Chunk chunk;
            unsigned size = 0;
            const void* data = nullptr;
            std::vector<char> buffer;
            if (throughStrings) {
                if (file.beginGet(chunk.tag, &size) != 0) break;
                buffer.resize(std::min<std::size_t>(size, fileLength) + 1);
                const bool read = size <= fileLength && file.getString(buffer.data(), static_cast<int>(size));
                if (read) data = buffer.data();
                file.endGet();
            } else if (!(data = file.getChunk(chunk.tag, &size))) {
                break;
            }
            EXPECT_LE(size, fileLength) << "a chunk larger than the file";
            if (size > fileLength) break;
            const auto* bytes = static_cast<const std::uint8_t*>(data);
            if (bytes) chunk.data.assign(bytes, bytes + size);
            group.chunks.push_back(chunk);
        }
        file.endReadGroup();
        groups.push_back(group);
    }
    return groups;
}

class IffVariant : public ::testing::TestWithParam<int> {
protected:
    std::unique_ptr<qzIffFile> makeFile() const {
        if (GetParam() == 4) return std::make_unique<iff::qzIffFile4>(qzOS::defaultFileSystem());
        return std::make_unique<iff::qzIffFile8>(qzOS::defaultFileSystem());
    }
    qzIffTag groupTag() const { return GetParam() == 4 ? qzIffTag::kFOR4 : qzIffTag::kFOR8; }

    void writeFile(const std::string& to, const std::vector<Group>& groups) {
        auto file = makeFile();
        ASSERT_TRUE(file->open(to.c_str(), "w", 0, 0));
        for (const Group& group : groups) writeGroup(*file, group);
        EXPECT_EQ(file->close(), 0);
        EXPECT_FALSE(file->hasWriteError());
    }

    std::vector<Group> readAll(const std::string& from, bool throughStrings = false) {
        auto file = makeFile();
        EXPECT_TRUE(file->open(from.c_str(), "r", 0, 0));
        return walk(*file, throughStrings, qztest::readFileBytes(from).size());
    }

    qztest::TempDir dir;
    const std::string path = dir.file("data");
};

INSTANTIATE_TEST_SUITE_P(Variants, IffVariant, ::testing::Values(4, 8),
                         [](const ::testing::TestParamInfo<int>& v) { return v.param == 4 ? "FOR4" : "FOR8"; });

TEST_P(IffVariant, GroupWithChunkAndStringHasItsExactBytes) {
    // A mode the container does not know opens nothing.
    for (const char* mode : {"a", "rw", ""}) EXPECT_FALSE(makeFile()->open(path.c_str(), mode, 0, 0)) << mode;
    auto file = makeFile();
    ASSERT_TRUE(file->open(path.c_str(), "w", 0, 0));
    EXPECT_EQ(file->getTag(qzIffFile::kGroupTag), groupTag());
    writeGroup(*file, {qzIffTag("TEST"), {dataChunk("ABCD", {'h', 'e', 'l', 'l', 'o'}), stringChunk("STRG", "hi")}});
    EXPECT_EQ(file->close(), 0);
    const Bytes expected = GetParam() == 4
        ? Bytes{'F', 'O', 'R', '4', 0, 0, 0, 32, 'T', 'E', 'S', 'T',
                'A', 'B', 'C', 'D', 0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o', 0, 0, 0,
                'S', 'T', 'R', 'G', 0, 0, 0, 3, 'h', 'i', 0, 0}
        : Bytes{'F', 'O', 'R', '8', 0, 0, 0, 0, 0, 0, 0, 44, 'T', 'E', 'S', 'T',
                'A', 'B', 'C', 'D', 0, 0, 0, 0, 0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o', 0, 0, 0, 0, 0, 0, 0,
                'S', 'T', 'R', 'G', 0, 0, 0, 0, 0, 0, 0, 3, 'h', 'i', 0, 0};
    EXPECT_EQ(qztest::readFileBytes(path), expected);
}

TEST_P(IffVariant, GetStringWritesAtMostSizePlusOneBytes) {
    writeFile(path, {{qzIffTag("KLCH"), {stringChunk("CHNM", "hello world")}}});
    auto file = makeFile();
    ASSERT_TRUE(file->open(path.c_str(), "r", 0, 0));
    qzIffTag tag;
    qzIffTag type;
    unsigned size = 0;
    ASSERT_EQ(file->beginReadGroup(tag, type), 0);
    ASSERT_EQ(file->beginGet(tag, &size), 0);
    EXPECT_EQ(size, 12u);
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(file->getString(buffer, 5), buffer);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(buffer[6], '#');
}

// A writer that stops in the middle of a group leaves a file whose earlier groups read back and
// whose unfinished group ends the data; closing completes an open group.
TEST_P(IffVariant, UnfinishedGroupEndsTheDataAndCloseCompletesIt) {
    const std::vector<Group> groups = sampleGroups();
    const Group last{qzIffTag("KLCH"), {dataChunk("TIME", {0, 0, 0, 1})}};
    auto file = makeFile();
    ASSERT_TRUE(file->open(path.c_str(), "w", 0, 0));
    writeGroup(*file, groups[0]);
    ASSERT_EQ(file->beginWriteGroup(file->getTag(qzIffFile::kGroupTag), qzIffTag("KLCH")), 0);
    ASSERT_EQ(file->putChunk(qzIffTag("TIME"), 4, "\0\0\0\1"), 0);
    ASSERT_TRUE(file->flush());
    const std::string copy = dir.file("copy");
    qztest::writeFileBytes(copy, qztest::readFileBytes(path));
    EXPECT_EQ(file->close(), 0);
    EXPECT_EQ(readAll(path), (std::vector<Group>{groups[0], last}));

    auto reader = makeFile();
    ASSERT_TRUE(reader->open(copy.c_str(), "r", 0, 0));
    EXPECT_EQ(walk(*reader, false, 1000), (std::vector<Group>{groups[0]}));
    EXPECT_TRUE(reader->hasReadError());
}

// A group larger than the buffer is completed in memory, but whatever reaches the file
// before its end carries size 0; beyond the gathering limit it goes out early, with size 0.
TEST_P(IffVariant, BufferedGroupReachesTheFileUnfinishedUntilEnded) {
    const std::vector<Group> groups = sampleGroups();
    auto file = makeFile();
    ASSERT_TRUE(file->open(path.c_str(), "w", 0, 0));
    writeGroup(*file, groups[0]);
    ASSERT_TRUE(file->flush());
    const std::size_t start = qztest::readFileBytes(path).size();
    const auto sizeField = [&] { return qztest::loadBE(qztest::readFileBytes(path), start + 4, GetParam()); };
    Group big{qzIffTag("KLCH"), {}};
    ASSERT_EQ(file->beginWriteGroup(file->getTag(qzIffFile::kGroupTag), big.type), 0);
    const Bytes block(10001, 0x5A);
    for (int i = 0; i < 520; ++i) {
        big.chunks.push_back(dataChunk("PART", block));
        ASSERT_EQ(file->putChunk(qzIffTag("PART"), static_cast<unsigned>(block.size()), block.data()), 0);
        if (i == 19) {
            // 200 KB: more than the buffer, not yet written at all.
            EXPECT_EQ(qztest::readFileBytes(path).size(), start);
            ASSERT_TRUE(file->flush());
            EXPECT_GT(qztest::readFileBytes(path).size(), start + 200000);
            EXPECT_EQ(sizeField(), 0u);
        }
    }
    // On to 5 MB without a flush: the gathered bytes went out on their own, still unfinished.
    EXPECT_GT(qztest::readFileBytes(path).size(), start + (4u << 20));
    EXPECT_EQ(sizeField(), 0u);
    ASSERT_EQ(file->endWriteGroup(), 0);
    writeGroup(*file, groups[1]);
    ASSERT_EQ(file->close(), 0);
    EXPECT_EQ(readAll(path), (std::vector<Group>{groups[0], big, groups[1]}));
}

// Chunks filled in place are all written or none: without memory for them, none is written,
// and the file stays sound for what follows.
TEST_P(IffVariant, WriterWithoutMemoryWritesNothing) {
    auto file = makeFile();
    ASSERT_TRUE(file->open(path.c_str(), "w", 0, 0));
    writeGroup(*file, sampleGroups()[0]);
    ASSERT_EQ(file->beginWriteGroup(file->getTag(qzIffFile::kGroupTag), qzIffTag("KLCH")), 0);
    qzIffFile::ChunkSpace record[2];
    record[0].tag = qzIffTag("SIZE");
    record[0].size = 4;
    record[1].tag = qzIffTag("DATA");
    record[1].size = 2u << 20;
    {
        qztest::FailingAllocation failing(0);
        EXPECT_FALSE(file->putChunksInPlace(record, 2));
        EXPECT_TRUE(failing.happened());
    }
    EXPECT_FALSE(file->hasWriteError());
    EXPECT_EQ(file->putChunk(qzIffTag("TIME"), 4, "\0\0\0\1"), 0);
    EXPECT_EQ(file->close(), 0);
    const Group time{qzIffTag("KLCH"), {dataChunk("TIME", {0, 0, 0, 1})}};
    EXPECT_EQ(readAll(path), (std::vector<Group>{sampleGroups()[0], time}));
    // Nor does a writer put a chunk outside every group.
    const auto outside = makeFile();
    EXPECT_TRUE(outside->open(path.c_str(), "w", 0, 0) && outside->putChunk(qzIffTag("TIME"), 4, "\0\0\0\1") != 0);
}

// Chunk and group sizes no file of this length can hold: every walk fails without allocating
// the size it read, keeping the group when only its chunk is too large.
TEST_P(IffVariant, HostileSizesFailWithoutAllocating) {
    const unsigned width = static_cast<unsigned>(GetParam());
    const std::uint64_t all = width == 4 ? 0xFFFFFFFFull : 0xFFFFFFFFFFFFFFFFull;
    const std::uint64_t fitting = 4 + 4 + width + 64;  // type, chunk header, data
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {
        {all, fitting}, {all - 3, fitting}, {1ull << (8 * width - 1), fitting}, {65, fitting},
        {10, all},      {10, all - 7},      {10, 3},                            {10, fitting + 1}};
    for (const auto& [chunkSize, groupSize] : cases) {
        Bytes bytes(4 + width + fitting, 0x55);
        std::memcpy(bytes.data(), width == 4 ? "FOR4" : "FOR8", 4);
        qztest::storeBE(bytes, 4, width, groupSize);
        std::memcpy(bytes.data() + 4 + width, "KLCHDBLA", 8);
        qztest::storeBE(bytes, 12 + width, width, chunkSize);
        qztest::writeFileBytes(path, bytes);
        for (bool throughStrings : {false, true}) {
            auto file = makeFile();
            ASSERT_TRUE(file->open(path.c_str(), "r", 0, 0));
            qztest::largestAllocation(true);
            const std::vector<Group> read = walk(*file, throughStrings, bytes.size());
            EXPECT_LT(qztest::largestAllocation(), std::size_t{1} << 20);
            EXPECT_TRUE(file->hasReadError()) << chunkSize << " in " << groupSize;
            const bool groupFits = groupSize == fitting;
            ASSERT_EQ(read.size(), groupFits ? 1u : 0u) << chunkSize << " in " << groupSize;
            EXPECT_TRUE(!groupFits || read[0].chunks.empty()) << chunkSize;
        }
    }
    // In a whole file, a chunk too large for its group spoils only that group.
    writeFile(path, sampleGroups());
    qztest::IffBytes file(qztest::readFileBytes(path));
    ASSERT_EQ(file.groups.size(), 3u);
    file.setSize(file.groups[1].chunks.at(0).at, 0xF0);
    qztest::writeFileBytes(path, file.bytes);
    const std::vector<Group> read = readAll(path);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0], sampleGroups()[0]);
    EXPECT_TRUE(read[1].chunks.empty());
    EXPECT_EQ(read[2], sampleGroups()[2]);
}

}  // namespace
