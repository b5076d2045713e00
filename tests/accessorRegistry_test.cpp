#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "allocationProbe.h"
#include "qzCacheFileAccessor.h"
#include "qzString.h"

using qzString::IString;

namespace {

// Reaches the protected parts and reports its own destruction.
class TestAccessor : public qzCacheFileAccessor {
public:
    explicit TestAccessor(bool* destroyed = nullptr) : m_destroyed(destroyed) {}
    using qzCacheFileAccessor::addChannel;
    using qzCacheFileAccessor::setStartEndTime;
    qzCacheChannel& channel(unsigned int index) { return *m_channels.at(index); }

protected:
    ~TestAccessor() override {
        if (m_destroyed) *m_destroyed = true;
    }

private:
    bool* m_destroyed;
};

struct Unref {
    void operator()(qzCacheFileAccessor* accessor) const {
        if (accessor) accessor->unref();
    }
};
using Accessor = std::unique_ptr<TestAccessor, Unref>;

Accessor makeAccessor() { return Accessor(new TestAccessor()); }

unsigned int add(qzCacheFileAccessor& accessor, const char* name,
                 qzCacheData::qzCacheDataType type = qzCacheData::kFloatVectorArray) {
    unsigned int index = 12345;
    EXPECT_TRUE(accessor.addChannel(IString(name, 0), IString("Points", 0), type, index)) << name;
    return index;
}

void setRange(qzCacheFileAccessor& accessor, unsigned int channel, int start, int end) {
    ASSERT_TRUE(accessor.setChannelStartTime(channel, start));
    ASSERT_TRUE(accessor.setChannelEndTime(channel, end));
}

void expectRange(qzCacheFileAccessor& accessor, unsigned int channel, int start, int end) {
    int s = INT_MIN;
    int e = INT_MIN;
    EXPECT_TRUE(accessor.getChannelStartTime(channel, s));
    EXPECT_TRUE(accessor.getChannelEndTime(channel, e));
    EXPECT_EQ(s, start) << "channel " << channel;
    EXPECT_EQ(e, end) << "channel " << channel;
}

}  // namespace

TEST(AccessorLifetime, NewAccessorDefaults) {
    qzCacheFileAccessor* accessor = qzCacheFileAccessor::createQzCacheFileAccessor();
    ASSERT_NE(accessor, nullptr);
    EXPECT_STREQ(accessor->cacheFormat().asUTF8(), "kcc");
    EXPECT_EQ(accessor->getTicksPerFrame(), 250);
    EXPECT_EQ(accessor->distribution(), qzCacheFileAccessor::kNoDistribution);
    EXPECT_EQ(accessor->numChannels(), 0u);
    EXPECT_EQ(accessor->descriptionInfoCount(), 0u);
    EXPECT_EQ(accessor->storageLocation().length(), 0u);
    EXPECT_EQ(accessor->baseFileName().length(), 0u);
    EXPECT_FALSE(accessor->memoryCache());
    EXPECT_EQ(accessor->fileAccessor(), nullptr);
    int start = 11;
    int end = 22;
    EXPECT_FALSE(accessor->getStartEndTime(start, end));
    EXPECT_EQ(start, 11);
    EXPECT_EQ(end, 22);
    accessor->unref();
}

TEST(AccessorLifetime, CreationReportsFailedAllocationsAsNull) {
    // Every allocation of the creation is failed once, until one creation meets no failure.
    for (int allowed = 0;; ++allowed) {
        ASSERT_LT(allowed, 100) << "the creation never completed";
        qzCacheFileAccessor* accessor = nullptr;
        bool threw = false;
        bool failed = false;
        {
            const qztest::FailingAllocation failure(allowed);
            try {
                accessor = qzCacheFileAccessor::createQzCacheFileAccessor();
            } catch (...) {
                threw = true;
            }
            failed = failure.happened();
        }
        EXPECT_FALSE(threw) << "allocation " << allowed;
        EXPECT_EQ(accessor == nullptr, failed) << "allocation " << allowed;
        if (accessor) accessor->unref();
        if (!failed) {
            EXPECT_GT(allowed, 0) << "no allocation was failed";
            break;
        }
    }
}

TEST(AccessorLifetime, LastUnrefDestroys) {
    bool destroyed = false;
    TestAccessor* accessor = new TestAccessor(&destroyed);
    accessor->unref();
    EXPECT_TRUE(destroyed);

    destroyed = false;
    accessor = new TestAccessor(&destroyed);
    accessor->ref();
    accessor->unref();
    EXPECT_FALSE(destroyed);
    accessor->ref();
    accessor->ref();
    accessor->unref();
    accessor->unref();
    EXPECT_FALSE(destroyed);
    accessor->unref();
    EXPECT_TRUE(destroyed);
}

TEST(AccessorRegistry, DuplicateNamesAreRefused) {
    Accessor accessor = makeAccessor();
    EXPECT_EQ(add(*accessor, "a"), 0u);
    EXPECT_EQ(add(*accessor, "b", qzCacheData::kDouble), 1u);
    unsigned int index = 77;
    EXPECT_FALSE(accessor->addChannel(IString("a", 0), IString("other", 0), qzCacheData::kInt32Array,
                                      index));
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(accessor->numChannels(), 2u);
    // The refused definition changed nothing of the existing channel.
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    EXPECT_TRUE(accessor->channelDataType(0, type));
    EXPECT_EQ(type, qzCacheData::kFloatVectorArray);

    index = 77;
    EXPECT_TRUE(accessor->hasChannelByName(IString("b", 0), index));
    EXPECT_EQ(index, 1u);
    EXPECT_TRUE(accessor->hasChannelByName(IString("a", 1), index));
    EXPECT_EQ(index, 0u);
    index = 77;
    EXPECT_FALSE(accessor->hasChannelByName(IString("c", 0), index));
    EXPECT_FALSE(accessor->hasChannelByName(IString("A", 0), index));
    EXPECT_FALSE(accessor->hasChannelByName(IString(), index));
    EXPECT_EQ(index, 77u);

    // Names that differ only beyond ASCII are different names.
    EXPECT_EQ(add(*accessor, "\xC3\xA9"), 2u);
    EXPECT_EQ(add(*accessor, "e"), 3u);
    EXPECT_TRUE(accessor->hasChannelByName(IString("\xC3\xA9", 1), index));
    EXPECT_EQ(index, 2u);
}

TEST(AccessorRegistry, ChannelFieldsReadBackPerChannel) {
    Accessor accessor = makeAccessor();
    add(*accessor, "points", qzCacheData::kFloatVectorArray);
    add(*accessor, "ids", qzCacheData::kInt32Array);
    add(*accessor, "weight", qzCacheData::kDouble);

    IString name;
    EXPECT_TRUE(accessor->channelName(1, name));
    EXPECT_STREQ(name.asUTF8(), "ids");
    IString interpretation;
    EXPECT_TRUE(accessor->channelInterpretation(2, interpretation));
    EXPECT_STREQ(interpretation.asUTF8(), "Points");
    EXPECT_TRUE(accessor->isArrayData(0));
    EXPECT_TRUE(accessor->isArrayData(1));
    EXPECT_FALSE(accessor->isArrayData(2));

    qzCacheChannel::qzCacheInterpolation interpolation = qzCacheChannel::kNoInterpolation;
    EXPECT_TRUE(accessor->channelInterpolation(1, interpolation));
    EXPECT_EQ(interpolation, qzCacheChannel::kStepPrevious);
    EXPECT_TRUE(accessor->channelInterpolation(0, interpolation));
    EXPECT_EQ(interpolation, qzCacheChannel::kLinear);
    qzCacheChannel::qzCacheInterpolation spline = qzCacheChannel::kCatmullRom;
    EXPECT_TRUE(accessor->setChannelInterpolation(0, spline));
    EXPECT_TRUE(accessor->channelInterpolation(0, interpolation));
    EXPECT_EQ(interpolation, qzCacheChannel::kCatmullRom);
    EXPECT_TRUE(accessor->channelInterpolation(1, interpolation));
    EXPECT_EQ(interpolation, qzCacheChannel::kStepPrevious);

    setRange(*accessor, 1, -500, 750);
    EXPECT_TRUE(accessor->setChannelSamplingRate(1, 125));
    expectRange(*accessor, 1, -500, 750);
    expectRange(*accessor, 0, 0, -1);
    expectRange(*accessor, 2, 0, -1);
    int rate = -1;
    EXPECT_TRUE(accessor->channelSamplingRate(1, rate));
    EXPECT_EQ(rate, 125);
    EXPECT_TRUE(accessor->channelSamplingRate(0, rate));
    EXPECT_EQ(rate, 0);

    qzCacheChannel::qzCacheSamplingType sampling = qzCacheChannel::kIrregular;
    EXPECT_TRUE(accessor->channelSamplingType(1, sampling));
    EXPECT_EQ(sampling, qzCacheChannel::kRegular);
    EXPECT_TRUE(accessor->isChannelSamplingRegular(1));
    EXPECT_TRUE(accessor->setChannelSamplingType(1, qzCacheChannel::kIrregular));
    EXPECT_TRUE(accessor->channelSamplingType(1, sampling));
    EXPECT_EQ(sampling, qzCacheChannel::kIrregular);
    EXPECT_FALSE(accessor->isChannelSamplingRegular(1));
    EXPECT_TRUE(accessor->isChannelSamplingRegular(0));

    // An irregular channel has no rate to give.
    rate = 99;
    EXPECT_FALSE(accessor->channelSamplingRate(1, rate));
    EXPECT_EQ(rate, 0);
}

TEST(AccessorRegistry, OutOfRangeIndexChangesNothing) {
    Accessor accessor = makeAccessor();
    add(*accessor, "a", qzCacheData::kDoubleArray);
    setRange(*accessor, 0, 100, 200);
    ASSERT_TRUE(accessor->setChannelSamplingRate(0, 100));
    for (unsigned int bad : {1u, 2u, 1000u, UINT_MAX}) {
        IString name("keep", 0);
        EXPECT_FALSE(accessor->channelName(bad, name));
        EXPECT_STREQ(name.asUTF8(), "keep");
        IString interpretation("keep", 0);
        EXPECT_FALSE(accessor->channelInterpretation(bad, interpretation));
        EXPECT_STREQ(interpretation.asUTF8(), "keep");
        qzCacheData::qzCacheDataType type = qzCacheData::kFloatArray;
        EXPECT_FALSE(accessor->channelDataType(bad, type));
        EXPECT_EQ(type, qzCacheData::kFloatArray);
        qzCacheChannel::qzCacheInterpolation interpolation = qzCacheChannel::kStepNext;
        EXPECT_FALSE(accessor->channelInterpolation(bad, interpolation));
        EXPECT_EQ(interpolation, qzCacheChannel::kStepNext);
        qzCacheChannel::qzCacheInterpolation none = qzCacheChannel::kNoInterpolation;
        EXPECT_FALSE(accessor->setChannelInterpolation(bad, none));
        qzCacheChannel::qzCacheSamplingType sampling = qzCacheChannel::kIrregular;
        EXPECT_FALSE(accessor->channelSamplingType(bad, sampling));
        EXPECT_EQ(sampling, qzCacheChannel::kIrregular);
        EXPECT_FALSE(accessor->setChannelSamplingType(bad, qzCacheChannel::kIrregular));
        int time = 4242;
        EXPECT_FALSE(accessor->getChannelStartTime(bad, time));
        EXPECT_EQ(time, 4242);
        EXPECT_FALSE(accessor->getChannelEndTime(bad, time));
        EXPECT_EQ(time, 4242);
        EXPECT_FALSE(accessor->setChannelStartTime(bad, -7));
        EXPECT_FALSE(accessor->setChannelEndTime(bad, -7));
        EXPECT_FALSE(accessor->setChannelSamplingRate(bad, 7));
        int rate = 55;
        EXPECT_FALSE(accessor->channelSamplingRate(bad, rate));
        EXPECT_EQ(rate, 0);
        EXPECT_FALSE(accessor->isArrayData(bad));
        EXPECT_FALSE(accessor->isChannelSamplingRegular(bad));
        EXPECT_EQ(accessor->allocateDataForChannel(bad, 4), nullptr);
    }
    // The one channel kept its fields.
    EXPECT_EQ(accessor->numChannels(), 1u);
    expectRange(*accessor, 0, 100, 200);
    int rate = 0;
    EXPECT_TRUE(accessor->channelSamplingRate(0, rate));
    EXPECT_EQ(rate, 100);
    qzCacheChannel::qzCacheInterpolation interpolation = qzCacheChannel::kNoInterpolation;
    EXPECT_TRUE(accessor->channelInterpolation(0, interpolation));
    EXPECT_EQ(interpolation, qzCacheChannel::kLinear);
    EXPECT_TRUE(accessor->isChannelSamplingRegular(0));
}

TEST(AccessorRegistry, StartEndTimeSpansEveryChannel) {
    Accessor accessor = makeAccessor();
    add(*accessor, "a");
    add(*accessor, "b");
    setRange(*accessor, 0, 0, 500);
    setRange(*accessor, 1, 250, 1000);
    int start = 0;
    int end = 0;
    EXPECT_TRUE(accessor->getStartEndTime(start, end));
    EXPECT_EQ(start, 0);
    EXPECT_EQ(end, 1000);

    // Ranges away from 0 on either side.
    Accessor late = makeAccessor();
    add(*late, "a");
    add(*late, "b");
    setRange(*late, 0, 750, 1000);
    setRange(*late, 1, 500, 900);
    EXPECT_TRUE(late->getStartEndTime(start, end));
    EXPECT_EQ(start, 500);
    EXPECT_EQ(end, 1000);
    Accessor early = makeAccessor();
    add(*early, "a");
    setRange(*early, 0, -900, -100);
    EXPECT_TRUE(early->getStartEndTime(start, end));
    EXPECT_EQ(start, -900);
    EXPECT_EQ(end, -100);

    // An empty channel (0 to -1) takes part.
    Accessor withEmpty = makeAccessor();
    add(*withEmpty, "full");
    add(*withEmpty, "empty");
    setRange(*withEmpty, 0, 500, 1000);
    EXPECT_TRUE(withEmpty->getStartEndTime(start, end));
    EXPECT_EQ(start, 0);
    EXPECT_EQ(end, 1000);
}

TEST(AccessorRegistry, SetStartEndTimeOnlyNarrows) {
    Accessor accessor = makeAccessor();
    add(*accessor, "wide");
    add(*accessor, "inner");
    add(*accessor, "left");
    setRange(*accessor, 0, 0, 1000);
    setRange(*accessor, 1, 300, 600);
    setRange(*accessor, 2, -500, 500);
    int start = 250;
    int end = 750;
    EXPECT_TRUE(accessor->setStartEndTime(start, end));
    expectRange(*accessor, 0, 250, 750);
    expectRange(*accessor, 1, 300, 600);
    expectRange(*accessor, 2, 250, 500);
    EXPECT_EQ(start, 250);
    EXPECT_EQ(end, 750);

    Accessor none = makeAccessor();
    EXPECT_TRUE(none->setStartEndTime(start, end));
}

TEST(AccessorRegistry, CopyChannelsCarriesDefinitionsAndLines) {
    Accessor source = makeAccessor();
    add(*source, "points", qzCacheData::kFloatVectorArray);
    add(*source, "ids", qzCacheData::kInt32Array);
    setRange(*source, 0, -250, 750);
    ASSERT_TRUE(source->setChannelSamplingRate(0, 250));
    qzCacheChannel::qzCacheInterpolation spline = qzCacheChannel::kCatmullRom;
    ASSERT_TRUE(source->setChannelInterpolation(0, spline));
    for (int t : {0, 40, 100}) source->channel(1).addTime(t);
    ASSERT_EQ(source->channel(1).samplingType(), qzCacheChannel::kIrregular);
    source->addDescriptionInfo(IString("first line", 0));
    source->addDescriptionInfo(IString("second \xC3\xA9", 1));

    Accessor destination = makeAccessor();
    EXPECT_TRUE(source->copyChannels(*destination));
    ASSERT_EQ(destination->numChannels(), 2u);
    IString name;
    EXPECT_TRUE(destination->channelName(1, name));
    EXPECT_STREQ(name.asUTF8(), "ids");
    IString interpretation;
    EXPECT_TRUE(destination->channelInterpretation(0, interpretation));
    EXPECT_STREQ(interpretation.asUTF8(), "Points");
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    EXPECT_TRUE(destination->channelDataType(1, type));
    EXPECT_EQ(type, qzCacheData::kInt32Array);
    expectRange(*destination, 0, -250, 750);
    int rate = 0;
    EXPECT_TRUE(destination->channelSamplingRate(0, rate));
    EXPECT_EQ(rate, 250);
    // The interpolation is the type's default, not the source's.
    qzCacheChannel::qzCacheInterpolation interpolation = qzCacheChannel::kNoInterpolation;
    EXPECT_TRUE(destination->channelInterpolation(0, interpolation));
    EXPECT_EQ(interpolation, qzCacheChannel::kLinear);
    EXPECT_FALSE(destination->isChannelSamplingRegular(1));
    EXPECT_EQ(destination->channel(1).times(), (std::vector<int>{0, 40, 100}));
    expectRange(*destination, 1, 0, 100);

    ASSERT_EQ(destination->descriptionInfoCount(), 2u);
    IString line;
    destination->getDescriptionInfo(1, line);
    EXPECT_STREQ(line.asUTF8(), "second \xC3\xA9");
    destination->getDescriptionInfo(0, line);
    EXPECT_STREQ(line.asUTF8(), "first line");
    // The source keeps its own.
    EXPECT_EQ(source->descriptionInfoCount(), 2u);
    EXPECT_EQ(source->numChannels(), 2u);
}

TEST(AccessorRegistry, CopyChannelsStopsAtADuplicate) {
    Accessor source = makeAccessor();
    add(*source, "a");
    add(*source, "b");
    add(*source, "c");
    source->addDescriptionInfo(IString("line", 0));

    Accessor destination = makeAccessor();
    add(*destination, "b", qzCacheData::kDouble);
    EXPECT_FALSE(source->copyChannels(*destination));
    ASSERT_EQ(destination->numChannels(), 2u);
    unsigned int index = 0;
    EXPECT_TRUE(destination->hasChannelByName(IString("a", 0), index));
    EXPECT_EQ(index, 1u);
    EXPECT_FALSE(destination->hasChannelByName(IString("c", 0), index));
    // The destination's own "b" stays as it was.
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    EXPECT_TRUE(destination->channelDataType(0, type));
    EXPECT_EQ(type, qzCacheData::kDouble);
    EXPECT_EQ(destination->descriptionInfoCount(), 0u);
}

TEST(AccessorRegistry, ProtectedAddChannelRefusesDuplicates) {
    Accessor accessor = makeAccessor();
    add(*accessor, "a");
    const qzCacheChannel other(IString("a", 0), IString("x", 0), qzCacheData::kDouble);
    unsigned int index = 99;
    EXPECT_FALSE(accessor->addChannel(other, index));
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(accessor->numChannels(), 1u);
    const qzCacheChannel fresh(IString("z", 0), IString("x", 0), qzCacheData::kDouble);
    EXPECT_TRUE(accessor->addChannel(fresh, index));
    EXPECT_EQ(index, 1u);
    EXPECT_TRUE(accessor->hasChannelByName(IString("z", 0), index));
    EXPECT_EQ(index, 1u);
}

TEST(AccessorRegistry, DescriptionLines) {
    Accessor accessor = makeAccessor();
    accessor->addDescriptionInfo(IString("one", 0));
    accessor->addDescriptionInfo(IString("two", 0));
    accessor->addDescriptionInfo(IString("one", 0));
    EXPECT_EQ(accessor->descriptionInfoCount(), 3u);
    IString line("untouched", 0);
    accessor->getDescriptionInfo(3, line);
    EXPECT_STREQ(line.asUTF8(), "untouched");
    accessor->getDescriptionInfo(UINT_MAX, line);
    EXPECT_STREQ(line.asUTF8(), "untouched");
    accessor->getDescriptionInfo(1, line);
    EXPECT_STREQ(line.asUTF8(), "two");
    accessor->getDescriptionInfo(2, line);
    EXPECT_STREQ(line.asUTF8(), "one");
}

TEST(AccessorRegistry, AllocateDataForChannel) {
    Accessor accessor = makeAccessor();
    struct Case {
        const char* name;
        qzCacheData::qzCacheDataType type;
        std::size_t elementSize;
    };
    const std::vector<Case> cases = {{"d", qzCacheData::kDoubleArray, 8},
                                     {"dv", qzCacheData::kDoubleVectorArray, 24},
                                     {"i", qzCacheData::kInt32Array, 4},
                                     {"f", qzCacheData::kFloatArray, 4},
                                     {"fv", qzCacheData::kFloatVectorArray, 12},
                                     {"scalar", qzCacheData::kDouble, 0},
                                     {"unknown", qzCacheData::kUnknownData, 0}};
    for (const Case& c : cases) {
        const unsigned int index = add(*accessor, c.name, c.type);
        void* block = accessor->allocateDataForChannel(index, 7);
        if (c.elementSize == 0) {
            EXPECT_EQ(block, nullptr) << c.name;
            std::free(block);
            continue;
        }
        ASSERT_NE(block, nullptr) << c.name;
        // Writing the whole block: the address sanitizer catches one that is too small.
        std::memset(block, 0x5A, 7 * c.elementSize);
        EXPECT_EQ(static_cast<unsigned char*>(block)[7 * c.elementSize - 1], 0x5A);
        std::free(block);
        // No elements still gives a block the caller can free.
        std::free(accessor->allocateDataForChannel(index, 0));
    }
}
