#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "qzCacheFileAccessor.h"
#include "qzCacheFileIO.h"
#include "qzString.h"
#include "stubFileIO.h"

using qzString::IString;
using qztest::StubFileIO;

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define QZTEST_ITANIUM_MEMBER_POINTERS 1
#endif

#if defined(QZTEST_ITANIUM_MEMBER_POINTERS)
namespace {

// A pointer to a virtual member function holds 1 + the byte offset of its entry in the
// virtual table, and a this-adjustment of 0 for a class without bases.
template <typename Method>
std::ptrdiff_t tableOffset(Method method) {
    static_assert(sizeof(Method) == 2 * sizeof(void*), "unexpected member pointer layout");
    struct Representation {
        std::uintptr_t pointer;
        std::ptrdiff_t adjustment;
    } representation;
    std::memcpy(&representation, &method, sizeof representation);
    EXPECT_EQ(representation.pointer & 1u, 1u) << "not virtual";
    EXPECT_EQ(representation.adjustment, 0);
    return static_cast<std::ptrdiff_t>(representation.pointer - 1);
}

}  // namespace
#endif

TEST(FileIOInterface, VirtualOperationsSitInTheirSlots) {
#if defined(QZTEST_ITANIUM_MEMBER_POINTERS)
#define QZTEST_SLOT(name) \
    { #name, tableOffset(&qzCacheFileIO::name) }
    // Slots 1 to 32 in their fixed order; slot 0, the destructor, takes two entries.
    const std::vector<std::pair<const char*, std::ptrdiff_t>> slots = {
        QZTEST_SLOT(open),
        QZTEST_SLOT(close),
        QZTEST_SLOT(isValid),
        QZTEST_SLOT(readHeader),
        QZTEST_SLOT(writeHeader),
        QZTEST_SLOT(beginWriteChunk),
        QZTEST_SLOT(endWriteChunk),
        QZTEST_SLOT(beginReadChunk),
        QZTEST_SLOT(endReadChunk),
        QZTEST_SLOT(writeTime),
        QZTEST_SLOT(readTime),
        QZTEST_SLOT(findTime),
        QZTEST_SLOT(readNextTime),
        QZTEST_SLOT(readArraySize),
        QZTEST_SLOT(writeDoubleArray),
        QZTEST_SLOT(readDoubleArray),
        QZTEST_SLOT(writeFloatArray),
        QZTEST_SLOT(readInt32Array),
        QZTEST_SLOT(writeInt32Array),
        QZTEST_SLOT(readFloatArray),
        QZTEST_SLOT(writeDoubleVectorArray),
        QZTEST_SLOT(readDoubleVectorArray),
        QZTEST_SLOT(writeFloatVectorArray),
        QZTEST_SLOT(readFloatVectorArray),
        QZTEST_SLOT(writeChannelName),
        QZTEST_SLOT(findChannelName),
        QZTEST_SLOT(readChannelName),
        QZTEST_SLOT(rewind),
        QZTEST_SLOT(extension),
        QZTEST_SLOT(handlesDescription),
        QZTEST_SLOT(readDescription),
        QZTEST_SLOT(writeDescription),
    };
#undef QZTEST_SLOT
    ASSERT_EQ(slots.size(), 32u);
    const std::ptrdiff_t entry = static_cast<std::ptrdiff_t>(sizeof(void*));
    // The two destructor entries come first.
    EXPECT_EQ(slots.front().second, 2 * entry);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        EXPECT_EQ(slots[i].second, slots.front().second + static_cast<std::ptrdiff_t>(i) * entry)
            << slots[i].first << " is not in slot " << i + 1;
    }
#else
    GTEST_SKIP() << "member pointer layout of this ABI not known here";
#endif
}

TEST(FileIOInterface, BaseBodiesDoNothing) {
    qzCacheFileAccessor* accessor = qzCacheFileAccessor::createQzCacheFileAccessor();
    ASSERT_NE(accessor, nullptr);
    unsigned int index = 0;
    ASSERT_TRUE(accessor->addChannel(IString("P", 0), IString("Points", 0),
                                     qzCacheData::kFloatVectorArray, index));
    accessor->addDescriptionInfo(IString("line", 0));

    StubFileIO io(qzCacheFileIO::kRead);
    qzCacheFileIO& base = io;
    EXPECT_FALSE(base.handlesDescription());
    EXPECT_FALSE(base.readDescription(accessor));
    EXPECT_FALSE(base.writeDescription(accessor));
    EXPECT_FALSE(base.readDescription(nullptr));
    EXPECT_FALSE(base.writeDescription(nullptr));
    EXPECT_EQ(accessor->numChannels(), 1u);
    EXPECT_EQ(accessor->descriptionInfoCount(), 1u);
    EXPECT_STREQ(accessor->cacheFormat().asUTF8(), "kcc");
    accessor->unref();
}

TEST(FileIOInterface, AccessModeAndCopies) {
    for (qzCacheFileIO::qzCacheFileAccess mode :
         {qzCacheFileIO::kRead, qzCacheFileIO::kWrite, qzCacheFileIO::kReadWrite}) {
        StubFileIO source(mode);
        EXPECT_EQ(source.fileAccessMode(), mode);
        EXPECT_EQ(source.headerVersion().length(), 0u);

        source.setHeader(-250, 1000, "v\xC3\xA9rsion 4");
        const StubFileIO copy(source);
        EXPECT_EQ(copy.fileAccessMode(), mode);
        EXPECT_EQ(copy.headerStartTime(), -250);
        EXPECT_EQ(copy.headerEndTime(), 1000);
        EXPECT_STREQ(copy.headerVersion().asUTF8(), "v\xC3\xA9rsion 4");

        const qzCacheFileIO::qzCacheFileAccess other =
            mode == qzCacheFileIO::kRead ? qzCacheFileIO::kWrite : qzCacheFileIO::kRead;
        StubFileIO assigned(other);
        assigned.setHeader(1, 2, "old");
        assigned = source;
        EXPECT_EQ(assigned.fileAccessMode(), mode);
        EXPECT_EQ(assigned.headerStartTime(), -250);
        EXPECT_EQ(assigned.headerEndTime(), 1000);
        EXPECT_STREQ(assigned.headerVersion().asUTF8(), "v\xC3\xA9rsion 4");

        // The copy owns its version: changing the source leaves it.
        source.setHeader(5, 6, "new");
        EXPECT_STREQ(copy.headerVersion().asUTF8(), "v\xC3\xA9rsion 4");
        EXPECT_EQ(copy.headerStartTime(), -250);
    }
}
