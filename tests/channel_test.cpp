// A channel's sampling record (grid or list of times) and its stored samples.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <tuple>
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
    int beyond = 77;
    EXPECT_FALSE(channel.timeAt(channel.timeCount(), beyond));
    EXPECT_EQ(beyond, 77);
    return out;
}

// A grid (rate >= 0) or a list (rate -1) of the given times.
void expectRecord(const qzCacheChannel& channel, const std::vector<int>& times, int rate) {
    EXPECT_EQ(listedTimes(channel), times);
    EXPECT_EQ(channel.samplingType(), rate < 0 ? qzCacheChannel::kIrregular : qzCacheChannel::kRegular);
    EXPECT_EQ(rate >= 0 ? channel.samplingRate() : rate, rate);
    EXPECT_EQ(rate < 0 ? channel.times() : times, times);
    if (!times.empty()) {
        EXPECT_EQ(channel.startTime(), times.front());
        EXPECT_EQ(channel.endTime(), times.back());
    }
}

constexpr int kList = -1;

// A grid made through the setters.
void setGrid(qzCacheChannel& channel, int start, int end, int rate) {
    channel.setStartTime(start);
    channel.setEndTime(end);
    channel.setSamplingRate(rate);
}

}  // namespace

TEST(ChannelSampling, AddedTimesKeepAGridUntilOneLiesOffIt) {
    struct Case {
        std::vector<int> added;
        std::vector<int> times;
        int rate;  // kList: the record turned into a list
    };
    const Case cases[] = {
        {{0}, {0}, 0}, {{300, 300}, {300}, 0}, {{1000, 0}, {0, 1000}, 1000}, {{1000, 0, 500}, {0, 500, 1000}, kList},
        {{0, 250, 500, 250, 750, -250}, {-250, 0, 250, 500, 750}, 250},
        {{0, 250, 500, 250, 750, -250, 100}, {-250, 0, 100, 250, 500, 750}, kList},
        {{0, 250, 500, 750, -250, 100, 100, -500, 2000}, {-500, -250, 0, 100, 250, 500, 750, 2000}, kList},
        {{0, 250, 500, 1000}, {0, 250, 500, 1000}, kList},
        {{0, 250, 500, -500}, {-500, 0, 250, 500}, kList},
        {{INT_MAX - 500, INT_MAX - 250, INT_MAX}, {INT_MAX - 500, INT_MAX - 250, INT_MAX}, 250},
        {{INT_MAX - 500, INT_MAX - 250, INT_MAX, INT_MIN}, {INT_MIN, INT_MAX - 500, INT_MAX - 250, INT_MAX}, kList},
        // Extreme times in either order do not overflow the rate.
        {{INT_MAX, INT_MIN}, {INT_MIN, INT_MAX}, kList},
        {{INT_MIN, INT_MAX}, {INT_MIN, INT_MAX}, kList},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.added));
        qzCacheChannel channel = makeChannel();
        for (int t : c.added) EXPECT_TRUE(channel.addTime(t));
        expectRecord(channel, c.times, c.rate);
    }
}

TEST(ChannelSampling, TimeQuestionsOnEveryKindOfRecord) {
    constexpr int no = 987654321;  // no such time
    struct Question {
        int time;
        bool has;
        int previous, next;
    };
    struct Case {
        const char* what;
        std::function<void(qzCacheChannel&)> make;
        std::vector<Question> questions;
    };
    const auto add = [](std::vector<int> times) { return [times](qzCacheChannel& c) { for (int t : times) c.addTime(t); }; };
    const auto grid = [](int start, int end, int rate) {
        return [=](qzCacheChannel& c) { setGrid(c, start, end, rate); };
    };
    const Case cases[] = {
        {"grid", add({0, 250, 500, 750, 1000}),
         {{-100, false, no, 0}, {0, true, no, 250}, {500, true, 250, 750}, {600, false, 500, 750},
          {999, false, 750, 1000}, {1000, true, 750, no}, {1200, false, 1000, no}}},
        {"list", add({0, 250, 500, 750, -250, 100}),
         {{-1000, false, no, -250}, {-250, true, no, 0}, {-249, false, -250, 0}, {100, true, 0, 250},
          {101, false, 100, 250}, {750, true, 500, no}, {1000, false, 750, no}}},
        {"empty", add({}),
         {{INT_MIN, false, no, no}, {0, false, no, no}, {INT_MAX, false, no, no}}},
        {"grid near the top", add({INT_MAX - 500, INT_MAX - 250}),
         {{INT_MAX - 400, false, INT_MAX - 500, INT_MAX - 250}, {INT_MAX, false, INT_MAX - 250, no}}},
        {"extremes", add({INT_MAX, INT_MIN}),
         {{INT_MIN, true, no, INT_MAX}, {0, false, INT_MIN, INT_MAX}, {INT_MAX, true, INT_MIN, no}}},
        {"rate 0 with a range", grid(0, 1000, 0),
         {{0, false, no, no}, {500, false, no, no}, {1000, false, no, no}}},
        {"negative rate", grid(0, 1000, -250), {{0, false, no, no}, {500, false, no, no}}},
        {"end off the rate", grid(0, 900, 250),
         {{500, true, 250, 750}, {750, true, 500, no}, {900, false, 750, no}}},
    };
    for (const Case& c : cases) {
        qzCacheChannel channel = makeChannel();
        c.make(channel);
        for (const Question& q : c.questions) {
            SCOPED_TRACE(std::string(c.what) + " at " + std::to_string(q.time));
            EXPECT_EQ(channel.hasTime(q.time), q.has);
            int previous = no, next = no;
            EXPECT_EQ(channel.previousTime(q.time, previous), q.previous != no);
            EXPECT_EQ(channel.nextTime(q.time, next), q.next != no);
            EXPECT_EQ(std::make_pair(previous, next), std::make_pair(q.previous, q.next));
        }
    }
}

TEST(ChannelSampling, RecordsMadeThroughTheSettersTurnIntoListsOfTheirTimes) {
    const std::vector<int> cases[] = {{0, 900, 250, 100}, {0, 1000, 0, 250}, {0, 1000, -250, 1000}};
    const std::vector<int> grids[] = {{0, 250, 500, 750}, {}, {}};
    const std::vector<int> lists[] = {{0, 100, 250, 500, 750}, {0, 250, 1000}, {0, 1000}};
    for (int i = 0; i < 3; ++i) {
        qzCacheChannel channel = makeChannel();
        setGrid(channel, cases[i][0], cases[i][1], cases[i][2]);
        EXPECT_EQ(listedTimes(channel), grids[i]) << i;
        EXPECT_FALSE(channel.isEmpty());
        channel.addTime(cases[i][3]);
        expectRecord(channel, lists[i], kList);
    }
}

// Reproduces tests/corpus/description/hang-huge-grid-turned-into-list: a described grid of
// 2^31 times turned into a list by one time off it.
TEST(ChannelSampling, OnlyAGridBeyondTheListLimitRefusesATimeOffIt) {
    qzCacheChannel channel = makeChannel();
    setGrid(channel, INT_MIN, INT_MAX, 2);
    EXPECT_FALSE(channel.canAddTime(1));
    EXPECT_FALSE(channel.addTime(1));
    // Times the grid already holds, or that extend it, are still recorded.
    EXPECT_TRUE(channel.addTime(0));
    EXPECT_EQ(channel.samplingType(), qzCacheChannel::kRegular);
    EXPECT_EQ(channel.samplingRate(), 2);

    qzCacheChannel growing = makeChannel();
    setGrid(growing, -(1 << 21), 1 << 21, 2);
    EXPECT_TRUE(growing.addTime((1 << 21) + 2));
    EXPECT_EQ(growing.endTime(), (1 << 21) + 2);
    EXPECT_FALSE(growing.addTime(3));
    EXPECT_FALSE(growing.hasTime(3));

    // The limit counts grid times, also when the end lies off the rate; a grid of exactly the
    // limit still turns into a list.
    const long long limit = qzCacheChannel::kMaxListedTimes;
    for (const int rate : {1, 3, 2000}) {
        for (const long long extra : {0LL, static_cast<long long>(rate) - 1}) {
            qzCacheChannel near = makeChannel();
            setGrid(near, -7, static_cast<int>(-7 + (limit - 1) * rate + extra), rate);
            EXPECT_TRUE(near.canAddTime(-100)) << rate << " " << extra;
            near.setEndTime(static_cast<int>(-7 + limit * rate + extra));
            EXPECT_FALSE(near.canAddTime(-100)) << rate << " " << extra;
            EXPECT_TRUE(near.canAddTime(-7 - rate)) << rate << " " << extra;
        }
    }
    qzCacheChannel atLimit = makeChannel();
    setGrid(atLimit, 0, static_cast<int>(limit - 1), 1);
    ASSERT_TRUE(atLimit.addTime(-5));
    ASSERT_EQ(atLimit.times().size(), qzCacheChannel::kMaxListedTimes + 1u);
    EXPECT_EQ(atLimit.times()[0], -5);
    EXPECT_EQ(atLimit.times()[1], 0);
    EXPECT_EQ(atLimit.times().back(), limit - 1);

    // Every tick of the range counts, without wrapping to zero.
    qzCacheChannel everyTick = makeChannel();
    setGrid(everyTick, INT_MIN, INT_MAX, 1);
    EXPECT_EQ(everyTick.timeCount(), UINT_MAX);
    int time = 0;
    EXPECT_TRUE(everyTick.timeAt(UINT_MAX - 1, time));
    EXPECT_EQ(time, INT_MAX - 1);
}

// Samples are kept sorted by time; a new one at a stored time replaces it and releases an owned
// copy, never a lent buffer (the address sanitizer reports a leak or a double free otherwise).
TEST(ChannelSamples, OwnedAndLentSamplesAreReplacedByTimeAndReleasedAsTheirOwn) {
    qzCacheChannel channel = makeChannel(qzCacheData::kInt32Array);
    std::vector<int> lent = {1, 2, 3, 4, 5, 6};
    std::vector<int> other = {7, 8, 9};
    const std::vector<std::tuple<int*, unsigned int, bool, int>> stores = {
        {lent.data(), 3, false, 500}, {other.data(), 3, true, 0}, {lent.data(), 6, true, 250},
        {other.data(), 3, false, 500}, {lent.data(), 2, true, 500}, {other.data(), 1, false, 0}};
    for (const auto& [values, count, copy, time] : stores)
        EXPECT_TRUE(channel.storeArrayData(values, count, copy, time, true)) << time;
    expectRecord(channel, {0, 250, 500}, kList);
    for (unsigned int i = 0; i < 4; ++i) {
        unsigned int position = 99;
        EXPECT_EQ(channel.findData(i < 3 ? static_cast<int>(i) * 250 : 100, position, i % 2 == 0), i < 3);
        EXPECT_EQ(position, i < 3 ? i : 99u);
    }
    const std::pair<int, std::vector<int>> expected[] = {{0, {7}}, {250, {1, 2, 3, 4, 5, 6}}, {500, {1, 2}}};
    for (const auto& [time, values] : expected) {
        void* data = nullptr;
        unsigned int length = 0;
        ASSERT_TRUE(channel.getArrayData(time, data, length));
        EXPECT_EQ(std::vector<int>(static_cast<int*>(data), static_cast<int*>(data) + length), values) << time;
        EXPECT_EQ(data == other.data(), time == 0) << "lent at 0 only";
    }
    // Stored without adding to the record; cleared without touching it.
    EXPECT_TRUE(channel.storeArrayData(other.data(), 1, true, 600, false));
    EXPECT_EQ(channel.storedDataCount(), 4u);
    channel.clearData();
    EXPECT_EQ(channel.storedDataCount(), 0u);
    EXPECT_EQ(lent, (std::vector<int>{1, 2, 3, 4, 5, 6}));
    expectRecord(channel, {0, 250, 500}, kList);
}
