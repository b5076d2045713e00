#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "qzCacheChannel.h"
#include "qzCacheData.h"
#include "qzString.h"

using qzString::IString;

namespace {

// The channel cannot be copied; a prvalue return needs no copy.
qzCacheChannel makeChannel(qzCacheData::qzCacheDataType type = qzCacheData::kFloatArray) {
    return qzCacheChannel(IString("ch", 0), IString("test", 0), type);
}

std::vector<int> listedTimes(const qzCacheChannel& channel) {
    std::vector<int> out;
    for (unsigned int i = 0; i < channel.timeCount(); ++i) {
        int time = INT_MIN;
        EXPECT_TRUE(channel.timeAt(i, time));
        out.push_back(time);
    }
    return out;
}

void expectGrid(const qzCacheChannel& channel, int start, int end, int rate) {
    EXPECT_EQ(channel.samplingType(), qzCacheChannel::kRegular);
    EXPECT_EQ(channel.startTime(), start);
    EXPECT_EQ(channel.endTime(), end);
    EXPECT_EQ(channel.samplingRate(), rate);
}

void expectList(const qzCacheChannel& channel, const std::vector<int>& times) {
    EXPECT_EQ(channel.samplingType(), qzCacheChannel::kIrregular);
    EXPECT_EQ(channel.times(), times);
    EXPECT_EQ(listedTimes(channel), times);
    EXPECT_EQ(channel.startTime(), times.front());
    EXPECT_EQ(channel.endTime(), times.back());
}

}  // namespace

TEST(ChannelSampling, RegularGridGrowsAtBothEndsThenTurnsIrregular) {
    qzCacheChannel channel = makeChannel();
    channel.addTime(0);
    expectGrid(channel, 0, 0, 0);
    channel.addTime(250);
    channel.addTime(500);
    expectGrid(channel, 0, 500, 250);
    channel.addTime(250);  // already on the grid
    expectGrid(channel, 0, 500, 250);
    channel.addTime(750);
    expectGrid(channel, 0, 750, 250);
    channel.addTime(-250);
    expectGrid(channel, -250, 750, 250);
    EXPECT_EQ(listedTimes(channel), (std::vector<int>{-250, 0, 250, 500, 750}));
    channel.addTime(100);
    expectList(channel, {-250, 0, 100, 250, 500, 750});
    channel.addTime(100);
    channel.addTime(-500);
    channel.addTime(2000);
    expectList(channel, {-500, -250, 0, 100, 250, 500, 750, 2000});
}

TEST(ChannelSampling, SecondTimeBelowTheFirstSetsTheRate) {
    qzCacheChannel channel = makeChannel();
    channel.addTime(1000);
    channel.addTime(0);
    expectGrid(channel, 0, 1000, 1000);
    channel.addTime(500);
    expectList(channel, {0, 500, 1000});
}

TEST(ChannelSampling, GapsOfAnotherRateTurnIrregular) {
    qzCacheChannel channel = makeChannel();
    for (int t : {0, 250, 500}) channel.addTime(t);
    channel.addTime(1000);  // beyond the end, but two steps away
    expectList(channel, {0, 250, 500, 1000});

    qzCacheChannel below = makeChannel();
    for (int t : {0, 250, 500}) below.addTime(t);
    below.addTime(-500);
    expectList(below, {-500, 0, 250, 500});
}

TEST(ChannelSampling, ExtremeTimesDoNotOverflow) {
    qzCacheChannel channel = makeChannel();
    channel.addTime(INT_MAX);
    channel.addTime(INT_MIN);
    EXPECT_EQ(channel.timeCount(), 2u);
    EXPECT_TRUE(channel.hasTime(INT_MIN));
    EXPECT_TRUE(channel.hasTime(INT_MAX));
    EXPECT_FALSE(channel.hasTime(0));
    int next = 0;
    EXPECT_TRUE(channel.nextTime(INT_MIN, next));
    EXPECT_EQ(next, INT_MAX);

    qzCacheChannel upward = makeChannel();
    upward.addTime(INT_MIN);
    upward.addTime(INT_MAX);
    EXPECT_EQ(upward.timeCount(), 2u);
    int previous = 0;
    EXPECT_TRUE(upward.previousTime(INT_MAX, previous));
    EXPECT_EQ(previous, INT_MIN);

    qzCacheChannel top = makeChannel();
    top.addTime(INT_MAX - 500);
    top.addTime(INT_MAX - 250);
    expectGrid(top, INT_MAX - 500, INT_MAX - 250, 250);
    EXPECT_TRUE(top.nextTime(INT_MAX - 400, next));
    EXPECT_EQ(next, INT_MAX - 250);
    EXPECT_FALSE(top.nextTime(INT_MAX, next));
    EXPECT_TRUE(top.previousTime(INT_MAX, previous));
    EXPECT_EQ(previous, INT_MAX - 250);
    EXPECT_FALSE(top.hasTime(INT_MAX));
    top.addTime(INT_MAX);
    expectGrid(top, INT_MAX - 500, INT_MAX, 250);
    EXPECT_EQ(top.timeCount(), 3u);
    EXPECT_TRUE(top.nextTime(INT_MAX - 1, next));
    EXPECT_EQ(next, INT_MAX);
    EXPECT_TRUE(top.hasTime(INT_MAX));
    top.addTime(INT_MIN);
    expectList(top, {INT_MIN, INT_MAX - 500, INT_MAX - 250, INT_MAX});
}

TEST(ChannelSampling, QuestionsOnARegularGrid) {
    qzCacheChannel channel = makeChannel();
    for (int t = 0; t <= 1000; t += 250) channel.addTime(t);
    expectGrid(channel, 0, 1000, 250);
    EXPECT_EQ(channel.timeCount(), 5u);
    EXPECT_FALSE(channel.isEmpty());
    EXPECT_EQ(listedTimes(channel), (std::vector<int>{0, 250, 500, 750, 1000}));
    int time = 12345;
    EXPECT_FALSE(channel.timeAt(5, time));
    EXPECT_EQ(time, 12345);

    struct Step {
        int t;
        bool found;
        int expected;
    };
    for (const Step& s : {Step{500, true, 250}, Step{600, true, 500}, Step{1200, true, 1000},
                          Step{1000, true, 750}, Step{1, true, 0}, Step{250, true, 0},
                          Step{0, false, 0}, Step{-100, false, 0}}) {
        int previous = -999;
        EXPECT_EQ(channel.previousTime(s.t, previous), s.found) << s.t;
        EXPECT_EQ(previous, s.found ? s.expected : -999) << s.t;
    }
    for (const Step& s : {Step{500, true, 750}, Step{600, true, 750}, Step{-100, true, 0},
                          Step{0, true, 250}, Step{999, true, 1000}, Step{1000, false, 0},
                          Step{1200, false, 0}}) {
        int next = -999;
        EXPECT_EQ(channel.nextTime(s.t, next), s.found) << s.t;
        EXPECT_EQ(next, s.found ? s.expected : -999) << s.t;
    }
    for (int t : {0, 250, 500, 750, 1000}) EXPECT_TRUE(channel.hasTime(t)) << t;
    for (int t : {-250, 1, 249, 600, 1250}) EXPECT_FALSE(channel.hasTime(t)) << t;
}

TEST(ChannelSampling, NewChannelHasNoTimes) {
    const qzCacheChannel channel = makeChannel();
    EXPECT_EQ(channel.timeCount(), 0u);
    EXPECT_TRUE(channel.isEmpty());
    expectGrid(channel, 0, -1, 0);
    int out = 77;
    EXPECT_FALSE(channel.timeAt(0, out));
    // An empty record has no times, so there is nothing next or previous to any time.
    for (int t : {INT_MIN, -1000, -1, 0, 1, 1000, INT_MAX}) {
        EXPECT_FALSE(channel.nextTime(t, out)) << t;
        EXPECT_FALSE(channel.previousTime(t, out)) << t;
        EXPECT_FALSE(channel.hasTime(t)) << t;
    }
    EXPECT_EQ(out, 77);
}

TEST(ChannelSampling, OneTime) {
    qzCacheChannel channel = makeChannel();
    channel.addTime(300);
    channel.addTime(300);
    expectGrid(channel, 300, 300, 0);
    EXPECT_EQ(channel.timeCount(), 1u);
    EXPECT_FALSE(channel.isEmpty());
    int time = 0;
    EXPECT_TRUE(channel.timeAt(0, time));
    EXPECT_EQ(time, 300);
    EXPECT_FALSE(channel.timeAt(1, time));
    EXPECT_TRUE(channel.hasTime(300));
    EXPECT_FALSE(channel.hasTime(0));
    EXPECT_FALSE(channel.hasTime(299));
    int out = -1;
    EXPECT_TRUE(channel.nextTime(299, out));
    EXPECT_EQ(out, 300);
    EXPECT_FALSE(channel.nextTime(300, out));
    EXPECT_TRUE(channel.previousTime(301, out));
    EXPECT_EQ(out, 300);
    out = -1;
    EXPECT_FALSE(channel.previousTime(300, out));
    EXPECT_EQ(out, -1);
}

TEST(ChannelSampling, QuestionsOnAnIrregularList) {
    qzCacheChannel channel = makeChannel();
    for (int t : {0, 250, 500, 750, -250, 100}) channel.addTime(t);
    expectList(channel, {-250, 0, 100, 250, 500, 750});
    EXPECT_FALSE(channel.isEmpty());

    struct Step {
        int t;
        bool found;
        int expected;
    };
    for (const Step& s : {Step{-1000, true, -250}, Step{-250, true, 0}, Step{0, true, 100},
                          Step{50, true, 100}, Step{100, true, 250}, Step{700, true, 750},
                          Step{750, false, 0}, Step{800, false, 0}}) {
        int next = -999;
        EXPECT_EQ(channel.nextTime(s.t, next), s.found) << s.t;
        EXPECT_EQ(next, s.found ? s.expected : -999) << s.t;
    }
    for (const Step& s : {Step{-1000, false, 0}, Step{-250, false, 0}, Step{-249, true, -250},
                          Step{100, true, 0}, Step{101, true, 100}, Step{750, true, 500},
                          Step{1000, true, 750}}) {
        int previous = -999;
        EXPECT_EQ(channel.previousTime(s.t, previous), s.found) << s.t;
        EXPECT_EQ(previous, s.found ? s.expected : -999) << s.t;
    }
    EXPECT_TRUE(channel.hasTime(100));
    EXPECT_TRUE(channel.hasTime(-250));
    EXPECT_FALSE(channel.hasTime(50));
    EXPECT_FALSE(channel.hasTime(1000));
    int time = 0;
    EXPECT_TRUE(channel.timeAt(2, time));
    EXPECT_EQ(time, 100);
    time = 5;
    EXPECT_FALSE(channel.timeAt(6, time));
    EXPECT_EQ(time, 5);
}

TEST(ChannelSampling, SettingRegularEmptiesTheListAndKeepsTheGridFields) {
    qzCacheChannel channel = makeChannel();
    for (int t : {-250, 0, 250, 500, 750, 100}) channel.addTime(t);
    ASSERT_EQ(channel.samplingType(), qzCacheChannel::kIrregular);
    const int rate = channel.samplingRate();
    channel.setSamplingType(qzCacheChannel::kRegular);
    EXPECT_TRUE(channel.times().empty());
    expectGrid(channel, -250, 750, rate);
    EXPECT_EQ(rate, 250);
    EXPECT_EQ(channel.timeCount(), 5u);
    EXPECT_FALSE(channel.hasTime(100));

    // Back to irregular: the list starts empty, so the record is empty until times are added.
    channel.setSamplingType(qzCacheChannel::kIrregular);
    EXPECT_TRUE(channel.isEmpty());
    EXPECT_EQ(channel.timeCount(), 0u);
    channel.addTime(40);
    expectList(channel, {40});
}

TEST(ChannelSampling, CopyTimesNeedsBothIrregular) {
    qzCacheChannel source = makeChannel();
    for (int t : {0, 10, 35}) source.addTime(t);
    ASSERT_EQ(source.samplingType(), qzCacheChannel::kIrregular);

    qzCacheChannel regular = makeChannel();
    regular.copyTimes(source);
    EXPECT_TRUE(regular.times().empty());
    EXPECT_EQ(regular.samplingType(), qzCacheChannel::kRegular);

    qzCacheChannel irregular = makeChannel();
    irregular.setSamplingType(qzCacheChannel::kIrregular);
    irregular.copyTimes(source);
    EXPECT_EQ(irregular.times(), (std::vector<int>{0, 10, 35}));
}

TEST(ChannelSampling, RateZeroWithARangeHasNoGrid) {
    qzCacheChannel channel = makeChannel();
    channel.setStartTime(0);
    channel.setEndTime(1000);
    channel.setSamplingRate(0);
    EXPECT_EQ(channel.timeCount(), 0u);
    EXPECT_FALSE(channel.isEmpty());
    int out = -999;
    EXPECT_FALSE(channel.timeAt(0, out));
    for (int t : {0, 1, 500, 999, 1000}) EXPECT_FALSE(channel.hasTime(t)) << t;
    for (int t : {0, 1, 500, 999}) {
        EXPECT_FALSE(channel.nextTime(t, out)) << t;
    }
    for (int t : {1, 500, 999, 1000}) {
        EXPECT_FALSE(channel.previousTime(t, out)) << t;
    }
    EXPECT_EQ(out, -999);

    channel.addTime(250);
    expectList(channel, {0, 250, 1000});

    // A negative rate is no grid either.
    qzCacheChannel negative = makeChannel();
    negative.setStartTime(0);
    negative.setEndTime(1000);
    negative.setSamplingRate(-250);
    EXPECT_EQ(negative.timeCount(), 0u);
    EXPECT_FALSE(negative.hasTime(0));
    EXPECT_FALSE(negative.nextTime(500, out));
    EXPECT_FALSE(negative.previousTime(500, out));
    negative.addTime(1000);
    expectList(negative, {0, 1000});
}

TEST(ChannelSampling, GridWithAnEndOffTheRate) {
    // Reachable through the setters only: the end does not sit on the grid.
    qzCacheChannel channel = makeChannel();
    channel.setStartTime(0);
    channel.setEndTime(900);
    channel.setSamplingRate(250);
    EXPECT_EQ(channel.timeCount(), 4u);
    EXPECT_EQ(listedTimes(channel), (std::vector<int>{0, 250, 500, 750}));
    int next = 0;
    EXPECT_TRUE(channel.nextTime(500, next));
    EXPECT_EQ(next, 750);
    EXPECT_FALSE(channel.hasTime(900));
    channel.addTime(100);
    expectList(channel, {0, 100, 250, 500, 750});
}

TEST(ChannelDefinition, DefaultInterpolationFollowsTheType) {
    struct Case {
        qzCacheData::qzCacheDataType type;
        qzCacheChannel::qzCacheInterpolation expected;
    };
    for (const Case& c : {Case{qzCacheData::kUnknownData, qzCacheChannel::kStepPrevious},
                          Case{qzCacheData::kDouble, qzCacheChannel::kLinear},
                          Case{qzCacheData::kDoubleArray, qzCacheChannel::kLinear},
                          Case{qzCacheData::kDoubleVectorArray, qzCacheChannel::kLinear},
                          Case{qzCacheData::kInt32Array, qzCacheChannel::kStepPrevious},
                          Case{qzCacheData::kFloatArray, qzCacheChannel::kLinear},
                          Case{qzCacheData::kFloatVectorArray, qzCacheChannel::kLinear},
                          Case{static_cast<qzCacheData::qzCacheDataType>(42),
                               qzCacheChannel::kStepPrevious}}) {
        const qzCacheChannel channel = makeChannel(c.type);
        EXPECT_EQ(channel.interpolation(), c.expected) << c.type;
        EXPECT_EQ(channel.dataType(), c.type);
        EXPECT_FALSE(channel.ownsArrayData());
    }
}

TEST(ChannelDefinition, ElementSizes) {
    EXPECT_EQ(qzCacheData::elementSize(qzCacheData::kUnknownData), 0u);
    EXPECT_EQ(qzCacheData::elementSize(qzCacheData::kDouble), 0u);
    EXPECT_EQ(qzCacheData::elementSize(qzCacheData::kDoubleArray), 8u);
    EXPECT_EQ(qzCacheData::elementSize(qzCacheData::kDoubleVectorArray), 24u);
    EXPECT_EQ(qzCacheData::elementSize(qzCacheData::kInt32Array), 4u);
    EXPECT_EQ(qzCacheData::elementSize(qzCacheData::kFloatArray), 4u);
    EXPECT_EQ(qzCacheData::elementSize(qzCacheData::kFloatVectorArray), 12u);
    EXPECT_EQ(qzCacheData::elementSize(static_cast<qzCacheData::qzCacheDataType>(-1)), 0u);
}

TEST(ChannelSamples, StoredSamplesStaySortedAndReplaceByTime) {
    qzCacheChannel channel = makeChannel(qzCacheData::kFloatVectorArray);
    const std::vector<float> first = {1, 2, 3, 4, 5, 6};
    const std::vector<float> second = {7, 8, 9};
    const std::vector<float> third = {10, 11, 12, 13, 14, 15};
    EXPECT_TRUE(channel.storeArrayData(const_cast<float*>(first.data()), 2, true, 500, true));
    EXPECT_TRUE(channel.storeArrayData(const_cast<float*>(second.data()), 1, true, 0, true));
    EXPECT_TRUE(channel.storeArrayData(const_cast<float*>(third.data()), 2, true, 250, true));
    EXPECT_EQ(channel.storedDataCount(), 3u);
    EXPECT_TRUE(channel.ownsArrayData());
    expectList(channel, {0, 250, 500});

    unsigned int position = 99;
    EXPECT_TRUE(channel.findData(0, position, true));
    EXPECT_EQ(position, 0u);
    EXPECT_TRUE(channel.findData(250, position, true));
    EXPECT_EQ(position, 1u);
    EXPECT_TRUE(channel.findData(500, position, false));
    EXPECT_EQ(position, 2u);
    position = 99;
    EXPECT_FALSE(channel.findData(100, position, true));
    EXPECT_EQ(position, 99u);

    // The copy is the channel's own: the stored buffer is not the caller's.
    void* data = nullptr;
    unsigned int length = 0;
    ASSERT_TRUE(channel.getArrayData(500, data, length));
    EXPECT_NE(data, static_cast<const void*>(first.data()));
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(std::memcmp(data, first.data(), 6 * sizeof(float)), 0);

    // Replacement at the same time: the count stays and the old owned buffer is released
    // (the address sanitizer reports a leak or a double free otherwise).
    const std::vector<float> replacement = {-1, -2, -3};
    EXPECT_TRUE(channel.storeArrayData(const_cast<float*>(replacement.data()), 1, true, 500, true));
    EXPECT_EQ(channel.storedDataCount(), 3u);
    ASSERT_TRUE(channel.getArrayData(500, data, length));
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(std::memcmp(data, replacement.data(), 3 * sizeof(float)), 0);
    ASSERT_TRUE(channel.getArrayData(0, data, length));
    EXPECT_EQ(std::memcmp(data, second.data(), 3 * sizeof(float)), 0);
}

TEST(ChannelSamples, LentBuffersStayWithTheCaller) {
    qzCacheChannel channel = makeChannel(qzCacheData::kInt32Array);
    std::vector<int> lent = {1, 2, 3};
    std::vector<int> otherLent = {4, 5, 6};
    const std::vector<int> copied = {7, 8, 9};
    EXPECT_TRUE(channel.storeArrayData(lent.data(), 3, false, 0, true));
    EXPECT_FALSE(channel.ownsArrayData());
    void* data = nullptr;
    unsigned int length = 0;
    ASSERT_TRUE(channel.getArrayData(0, data, length));
    EXPECT_EQ(data, static_cast<void*>(lent.data()));

    // Replacing a lent buffer must not release it (the vector would be freed twice).
    EXPECT_TRUE(channel.storeArrayData(otherLent.data(), 3, false, 0, true));
    EXPECT_EQ(channel.storedDataCount(), 1u);
    // An owned copy replacing a lent buffer, and a lent buffer replacing an owned copy.
    EXPECT_TRUE(channel.storeArrayData(const_cast<int*>(copied.data()), 3, true, 0, true));
    EXPECT_TRUE(channel.storeArrayData(lent.data(), 3, false, 0, true));
    // Owned and lent samples side by side are each released (or not) as their own.
    EXPECT_TRUE(channel.storeArrayData(const_cast<int*>(copied.data()), 3, true, 250, true));
    EXPECT_TRUE(channel.storeArrayData(otherLent.data(), 3, false, 500, true));
    EXPECT_EQ(channel.storedDataCount(), 3u);
    channel.clearData();
    EXPECT_EQ(channel.storedDataCount(), 0u);
    EXPECT_EQ(lent, (std::vector<int>{1, 2, 3}));
    // Clearing samples leaves the sampling record.
    expectGrid(channel, 0, 500, 250);
    EXPECT_TRUE(channel.storeArrayData(const_cast<int*>(copied.data()), 3, true, 750, true));
}

TEST(ChannelSamples, CopyOnATypeWithoutElementSizeStoresNothing) {
    for (qzCacheData::qzCacheDataType type : {qzCacheData::kDouble, qzCacheData::kUnknownData}) {
        qzCacheChannel channel = makeChannel(type);
        double value[3] = {1, 2, 3};
        EXPECT_FALSE(channel.storeArrayData(value, 3, true, 250, true)) << type;
        EXPECT_EQ(channel.storedDataCount(), 0u) << type;
        EXPECT_TRUE(channel.isEmpty()) << type;
        void* data = nullptr;
        unsigned int length = 0;
        EXPECT_FALSE(channel.getArrayData(250, data, length)) << type;
    }
}

TEST(ChannelSamples, StoreWithoutAddingToTimes) {
    qzCacheChannel channel = makeChannel(qzCacheData::kDoubleArray);
    const double values[2] = {1.5, 2.5};
    EXPECT_TRUE(channel.storeArrayData(const_cast<double*>(values), 2, true, 250, false));
    EXPECT_EQ(channel.storedDataCount(), 1u);
    EXPECT_TRUE(channel.isEmpty());
    EXPECT_EQ(channel.timeCount(), 0u);
}

TEST(ChannelSamples, NumericSamples) {
    qzCacheChannel channel = makeChannel(qzCacheData::kDouble);
    channel.storeData(1.25, 0);
    channel.storeData(2.5, 250);
    channel.storeData(3.75, 250);
    EXPECT_EQ(channel.storedDataCount(), 2u);
    expectGrid(channel, 0, 250, 250);
    double value = 0;
    EXPECT_TRUE(channel.getData(250, value));
    EXPECT_EQ(value, 3.75);
    EXPECT_TRUE(channel.getData(0, value));
    EXPECT_EQ(value, 1.25);
    value = -1;
    EXPECT_FALSE(channel.getData(100, value));
    EXPECT_EQ(value, -1);
    void* data = reinterpret_cast<void*>(&value);
    unsigned int length = 9;
    EXPECT_TRUE(channel.getArrayData(0, data, length));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 0u);
}

TEST(ChannelSamples, CopyArrayDataNeedsTheStoredLength) {
    qzCacheChannel channel = makeChannel(qzCacheData::kDoubleVectorArray);
    const std::vector<double> stored = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(channel.storeArrayData(const_cast<double*>(stored.data()), 2, true, 0, true));

    std::vector<double> destination(9, -7.0);
    EXPECT_FALSE(channel.copyArrayData(destination.data(), 3, 0));
    EXPECT_FALSE(channel.copyArrayData(destination.data(), 1, 0));
    EXPECT_EQ(destination, std::vector<double>(9, -7.0));
    EXPECT_FALSE(channel.copyArrayData(destination.data(), 2, 250));
    EXPECT_EQ(destination, std::vector<double>(9, -7.0));

    EXPECT_TRUE(channel.copyArrayData(destination.data(), 2, 0));
    EXPECT_EQ(destination, (std::vector<double>{1, 2, 3, 4, 5, 6, -7, -7, -7}));

    unsigned int length = 0;
    EXPECT_TRUE(channel.storedArrayLength(0, length));
    EXPECT_EQ(length, 2u);
    length = 5;
    EXPECT_FALSE(channel.storedArrayLength(250, length));
    EXPECT_EQ(length, 5u);

    // A numeric channel has nothing to copy.
    qzCacheChannel numeric = makeChannel(qzCacheData::kDouble);
    numeric.storeData(4.0, 0);
    double out = -1;
    EXPECT_FALSE(numeric.copyArrayData(&out, 0, 0));
    EXPECT_EQ(out, -1);
}

TEST(ChannelSamples, RemoveOneData) {
    qzCacheChannel channel = makeChannel(qzCacheData::kFloatArray);
    EXPECT_FALSE(channel.removeOneData({}));
    const float values[1] = {1.0f};
    for (int t : {500, 0, 250, 750}) {
        ASSERT_TRUE(channel.storeArrayData(const_cast<float*>(values), 1, true, t, true));
    }
    unsigned int position = 0;

    // Every stored time kept: nothing goes.
    EXPECT_FALSE(channel.removeOneData({750, 0, 500, 250}));
    EXPECT_EQ(channel.storedDataCount(), 4u);

    // The earliest time not kept goes.
    EXPECT_TRUE(channel.removeOneData({0, 750, 1000}));
    EXPECT_EQ(channel.storedDataCount(), 3u);
    EXPECT_FALSE(channel.findData(250, position, true));
    EXPECT_TRUE(channel.findData(500, position, true));

    // An empty list removes the earliest of all.
    EXPECT_TRUE(channel.removeOneData({}));
    EXPECT_EQ(channel.storedDataCount(), 2u);
    EXPECT_FALSE(channel.findData(0, position, true));
    EXPECT_TRUE(channel.findData(500, position, true));
    EXPECT_TRUE(channel.findData(750, position, true));

    // Removing samples leaves the sampling record.
    expectList(channel, {0, 250, 500, 750});
}

// Reproduces tests/corpus/description/hang-huge-grid-turned-into-list: a described grid of
// 2^31 times turned into a list by one time off it.
TEST(ChannelSampling, AGridTooLargeToListRefusesATimeOffIt) {
    qzCacheChannel channel = makeChannel();
    channel.setStartTime(INT_MIN);
    channel.setEndTime(INT_MAX);
    channel.setSamplingRate(2);
    EXPECT_FALSE(channel.canAddTime(1));
    EXPECT_FALSE(channel.addTime(1));
    expectGrid(channel, INT_MIN, INT_MAX, 2);
    // Times the grid already holds, or that extend it, are still recorded.
    EXPECT_TRUE(channel.addTime(0));
    expectGrid(channel, INT_MIN, INT_MAX, 2);

    qzCacheChannel growing = makeChannel();
    growing.setStartTime(-(1 << 21));
    growing.setEndTime(1 << 21);
    growing.setSamplingRate(2);
    EXPECT_TRUE(growing.canAddTime((1 << 21) + 2));
    EXPECT_TRUE(growing.addTime((1 << 21) + 2));
    expectGrid(growing, -(1 << 21), (1 << 21) + 2, 2);
    EXPECT_FALSE(growing.addTime(3));
    EXPECT_FALSE(growing.hasTime(3));
}

TEST(ChannelSampling, AGridOfTheListLimitStillTurnsIntoAList) {
    const int limit = static_cast<int>(qzCacheChannel::kMaxListedTimes);
    qzCacheChannel channel = makeChannel();
    channel.setStartTime(0);
    channel.setEndTime(limit - 1);
    channel.setSamplingRate(1);
    ASSERT_EQ(channel.timeCount(), qzCacheChannel::kMaxListedTimes);
    EXPECT_TRUE(channel.canAddTime(-5));
    EXPECT_TRUE(channel.addTime(-5));
    EXPECT_EQ(channel.samplingType(), qzCacheChannel::kIrregular);
    ASSERT_EQ(channel.times().size(), qzCacheChannel::kMaxListedTimes + 1u);
    EXPECT_EQ(channel.times().front(), -5);
    EXPECT_EQ(channel.times()[1], 0);
    EXPECT_EQ(channel.times().back(), limit - 1);
}

// The limit counts grid times, also when the end lies off the rate.
TEST(ChannelSampling, OnlyAGridBeyondTheListLimitRefusesATimeOffIt) {
    const long long limit = qzCacheChannel::kMaxListedTimes;
    for (const int rate : {1, 3, 2000}) {
        for (const long long extra : {0LL, static_cast<long long>(rate) - 1}) {
            qzCacheChannel channel = makeChannel();
            channel.setStartTime(-7);
            channel.setSamplingRate(rate);
            // limit times, then one more
            channel.setEndTime(static_cast<int>(-7 + (limit - 1) * rate + extra));
            EXPECT_TRUE(channel.canAddTime(-100)) << rate << " " << extra;
            channel.setEndTime(static_cast<int>(-7 + limit * rate + extra));
            EXPECT_FALSE(channel.canAddTime(-100)) << rate << " " << extra;
            EXPECT_TRUE(channel.canAddTime(-7 - rate)) << rate << " " << extra;
        }
    }
}

TEST(ChannelSampling, EveryTickOfTheRangeCountsWithoutWrappingToZero) {
    qzCacheChannel channel = makeChannel();
    channel.setStartTime(INT_MIN);
    channel.setEndTime(INT_MAX);
    channel.setSamplingRate(1);
    EXPECT_EQ(channel.timeCount(), UINT_MAX);
    int time = 0;
    EXPECT_TRUE(channel.timeAt(UINT_MAX - 1, time));
    EXPECT_EQ(time, INT_MAX - 1);
}
