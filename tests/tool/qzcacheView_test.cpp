// The answers of qzcache view, asked of the session directly and, for a few, through a running
// server, on caches written here in both layouts.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "qzcacheView.h"
#include "testCache.h"
#include "testSupport.h"

namespace {

using namespace qztool;
using namespace qztest;
using nlohmann::json;

std::vector<float> floatsOf(const std::string& bytes) {
    std::vector<float> values(bytes.size() / 4);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + 4 * i);
        const std::uint32_t bits = b[0] | (b[1] << 8) | (b[2] << 16) | (std::uint32_t{b[3]} << 24);
        std::memcpy(&values[i], &bits, 4);
    }
    return values;
}

// The little-endian float32 bytes the page is sent for a sample of the channel's own type.
std::string asFloat32(qzCacheData::qzCacheDataType type, const void* sample, unsigned int scalars) {
    std::string bytes;
    for (unsigned int k = 0; k < scalars; ++k) {
        float f = 0;
        if (type == qzCacheData::kDoubleArray || type == qzCacheData::kDoubleVectorArray) {
            f = static_cast<float>(static_cast<const double*>(sample)[k]);
        } else if (type == qzCacheData::kInt32Array) {
            f = static_cast<float>(static_cast<const std::int32_t*>(sample)[k]);
        } else {
            f = static_cast<const float*>(sample)[k];
        }
        std::uint32_t bits = 0;
        std::memcpy(&bits, &f, 4);
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(bits >> (8 * i)));
    }
    return bytes;
}

std::string header(const ViewAnswer& answer, const std::string& name) {
    for (const auto& pair : answer.headers) {
        if (pair.first == name) return pair.second;
    }
    return "";
}

// Runs a call that might wait on the library's worker; fails instead of hanging.
ViewAnswer bounded(const std::function<ViewAnswer()>& call) {
    auto future = std::async(std::launch::async, call);
    if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::fprintf(stderr, "no answer within 20 s: the session hangs\n");
        std::abort();  // the call still runs and holds the session: nothing sound is left
    }
    return future.get();
}

class ViewTest : public ::testing::TestWithParam<Layout> {
protected:
    void SetUp() override {
        m_cache.layout = GetParam();
        m_cache.format = GetParam() == kPerFrame ? "kcx" : "kcc";
        m_cache.times = {250, 500, 750, 1000, 1250};
        writeTestCache(m_cache);
    }
    ViewAnswer frame(ViewSession& session, const std::string& channel, int time, const std::string& interpolation = "") {
        ViewQuery query = {{"channel", channel}, {"time", std::to_string(time)}};
        if (!interpolation.empty()) query.emplace("interpolation", interpolation);
        return bounded([&] { return session.answer("/api/frame", query); });
    }
    // What the page is sent for channel `c` at a stored time.
    std::string stored(unsigned int c, int time) const {
        const TestChannel& channel = m_cache.channels[c];
        return asFloat32(channel.type, sampleBytes(channel, c, time).data(), channel.elements * scalarsPerElement(channel.type));
    }

    TempDir m_dir;
    TestCache m_cache{m_dir.path()};
};

INSTANTIATE_TEST_SUITE_P(Layouts, ViewTest, ::testing::Values(kOneFile, kPerFrame));

}  // namespace

TEST_P(ViewTest, FramesCarryStoredAndInterpolatedValuesAsLittleEndianFloat32) {
    ViewSession session(m_cache.description(), "", true);
    EXPECT_EQ(session.defaultChannel(), "points");
    // Halfway, the library's own blend of the two neighbours.
    qzCacheFileInterface reader;
    ASSERT_TRUE(reader.initFileRead("shot", m_dir.path().c_str()));
    std::vector<float> blend(15);
    void* data = blend.data();
    unsigned int length = 5;
    ASSERT_TRUE(reader.getArrayDataAtTime(0, 625, data, length));
    struct Case {
        unsigned int channel;
        int time;
        const char* interpolation;
        int answering;  // the stored time whose values answer; 0: the blend
        bool stored;
    };
    const Case cases[] = {
        {0, 500, "", 500, true},
        {0, 625, "linear", 0, false},
        {0, -100, "catmull-rom", 250, false},  // before the first time: the first
        {0, 99999, "linear", 1250, false},     // after the last: the last
        {1, 750, "", 750, true},               // double vectors, as float32
        {3, 750, "", 750, true},
        {4, 1000, "", 1000, true},  // int32, converted
        {4, 1125, "", 1000, false},  // its own interpolation: previous
        {4, 1125, "next", 1250, false},
    };
    for (const Case& c : cases) {
        const std::string& name = m_cache.channels[c.channel].name;
        SCOPED_TRACE(name + " at " + std::to_string(c.time) + " " + c.interpolation);
        const ViewAnswer answer = frame(session, name, c.time, c.interpolation);
        ASSERT_EQ(answer.status, 200) << answer.body;
        EXPECT_EQ(answer.contentType, "application/octet-stream");
        EXPECT_EQ(header(answer, "X-Qz-Elements"), "5");
        EXPECT_EQ(header(answer, "X-Qz-Stored"), c.stored ? "true" : "false");
        EXPECT_EQ(answer.body, c.answering ? stored(c.channel, c.answering)
                                           : asFloat32(qzCacheData::kFloatVectorArray, blend.data(), 15));
    }
}

TEST_P(ViewTest, InfoTimesAndPageAreServed) {
    ViewSession session(m_cache.description(), "points", true);
    const ViewAnswer info = session.answer("/api/info", {});
    ASSERT_EQ(info.status, 200);
    const json parsed = json::parse(info.body);
    EXPECT_EQ(parsed["view"]["channel"], "points");
    EXPECT_EQ(parsed["ticksPerFrame"], 250);
    EXPECT_EQ(parsed["timeRange"]["endTicks"], 1250);
    EXPECT_EQ(parsed["channels"].size(), m_cache.channels.size());

    const ViewAnswer times = session.answer("/api/times", {{"channel", "floats"}});
    ASSERT_EQ(times.status, 200);
    ASSERT_EQ(times.body.size(), 4u * 5);
    EXPECT_EQ(times.body.substr(0, 4), std::string("\xfa\0\0\0", 4));   // 250
    EXPECT_EQ(times.body.substr(16, 4), std::string("\xe2\x04\0\0", 4));  // 1250

    const ViewAnswer page = session.answer("/", {});
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("importmap"), std::string::npos);
    for (const ViewAsset* asset = kViewAssets; asset != kViewAssets + kViewAssetCount; ++asset) {
        const ViewAnswer answer = session.answer(asset->path, {});
        EXPECT_EQ(answer.status, 200) << asset->path;
        EXPECT_EQ(answer.body.size(), asset->size) << asset->path;
        EXPECT_GT(asset->size, 0u) << asset->path;
    }
}

TEST_P(ViewTest, BadRequestsGetClientErrorsAndOtherHostsAreRefused) {
    ViewSession session(m_cache.description(), "", true);
    struct Case {
        const char* path;
        ViewQuery query;
        int status;
        const char* host = "127.0.0.1";
    };
    const Case cases[] = {
        {"/api/frame", {{"channel", "points"}}, 400},
        {"/api/frame", {{"channel", "points"}, {"time", "abc"}}, 400},
        {"/api/frame", {{"channel", "points"}, {"time", "2.5"}}, 400},
        {"/api/frame", {{"channel", "points"}, {"time", ""}}, 400},
        {"/api/frame", {{"channel", "points"}, {"time", "-"}}, 400},
        {"/api/frame", {{"channel", "points"}, {"time", "2147483648"}}, 400},
        {"/api/frame", {{"channel", "points"}, {"time", "250"}, {"time", "500"}}, 400},
        {"/api/frame", {{"channel", "points"}, {"time", "250"}, {"x", "1"}}, 400},
        {"/api/frame", {{"channel", "points"}, {"time", "250"}, {"interpolation", "cubic"}}, 400},
        {"/api/frame", {{"time", "250"}}, 400},
        {"/api/frame", {{"channel", "nosuch"}, {"time", "250"}}, 404},
        {"/api/frame", {{"channel", "points"}, {"time", "300"}, {"interpolation", "none"}}, 404},
        {"/api/times", {{"channel", "points"}, {"x", "1"}}, 400},
        {"/api/times", {}, 400},
        {"/nosuch", {}, 404},
        {"/../shot.xml", {}, 404},
        {"/index.html/..", {}, 404},
        {"/api/info", {}, 403, "evil.example"},
        {"/api/info", {}, 403, "127.0.0.1.evil.example:8765"},
        {"/api/info", {}, 200, "localhost:8765"},
        {"/api/info", {}, 200, "[::1]:8765"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " (" + std::to_string(c.query.size()) + " parameters, host " + c.host + ")");
        const ViewAnswer answer = bounded([&] { return session.answer(c.path, c.query, c.host); });
        EXPECT_EQ(answer.status, c.status) << answer.body;
        EXPECT_TRUE(c.status == 200 || json::parse(answer.body).contains("error")) << answer.body;
    }
    // A server meant for other machines answers any host.
    ViewSession open(m_cache.description(), "", false);
    EXPECT_EQ(open.answer("/api/info", {}, "viewer.example:80").status, 200);
}

// A cache still being written: each info request learns what the writer added, while the
// worker serves frames, until the writer finishes.
TEST_P(ViewTest, InfoFollowsALiveCacheUntilItIsComplete) {
    const TestChannel points = m_cache.channels[0];
    qzCacheFileInterface writer;
    unsigned int channel = 0;
    ASSERT_TRUE(writer.initFileWrite(m_dir.path().c_str(), "live", GetParam(), "kcc", 250) &&
                writer.addChannel("points", "position", points.type, channel));
    writer.setLiveWrite(true, 0);
    const auto write = [&](int time) {
        std::vector<unsigned char> sample = sampleBytes(points, 0, time);
        writer.beginWriteAtTime(time);
        EXPECT_TRUE(writer.addArrayData(channel, time, sample.data(), points.elements));
        writer.endWriteAtTime();
    };
    write(250);
    ViewSession session(m_dir.file("live.xml"), "points", true);
    for (int frames = 1; frames <= 4; ++frames) {
        if (frames > 1) write(frames * 250);
        ASSERT_TRUE(frames < 4 || writer.endFileWrite());
        const json info = json::parse(session.answer("/api/info", {}).body);
        EXPECT_EQ(info["complete"], frames == 4);
        EXPECT_EQ(info["timeRange"]["endTicks"], frames * 250);
        EXPECT_EQ(session.answer("/api/times", {{"channel", "points"}}).body.size(), 4u * frames);
        const ViewAnswer newest = frame(session, "points", frames * 250, "none");
        EXPECT_EQ(newest.body, stored(0, frames * 250)) << newest.status;
    }
}

TEST(ViewFramesTest, MissingFrameFileFailsThatFrameAndNeighboursStillAnswer) {
    TempDir dir;
    TestCache cache{dir.path()};
    cache.layout = kPerFrame;
    cache.channels = {{"points", qzCacheData::kFloatVectorArray, 5}, {"floats", qzCacheData::kFloatArray, 5}};
    writeTestCache(cache);
    std::filesystem::remove(fsPath(dir.file("shotFrame3.kc")));
    ViewSession session(cache.description(), "", true);
    const auto ask = [&](const char* channel, int time, const char* interpolation) {
        return bounded([&] {
            return session.answer("/api/frame", {{"channel", channel}, {"time", std::to_string(time)}, {"interpolation", interpolation}});
        });
    };
    EXPECT_EQ(ask("points", 750, "linear").status, 404);
    EXPECT_EQ(ask("floats", 750, "none").status, 404);
    const ViewAnswer after = ask("points", 1000, "linear");
    ASSERT_EQ(after.status, 200);
    EXPECT_EQ(floatsOf(after.body)[0], static_cast<float>(scalarAt(0, 1000, 0)));
    // Between frames 2 and 4, interpolated over the gap.
    const ViewAnswer between = ask("points", 625, "linear");
    ASSERT_EQ(between.status, 200) << between.body;
    EXPECT_NEAR(floatsOf(between.body)[0], scalarAt(0, 500, 0) + (scalarAt(0, 1000, 0) - scalarAt(0, 500, 0)) / 4, 1e-5);
}

TEST(ViewFramesTest, ServesOverHttpRefusesOversizedRequestsAndStops) {
    TempDir dir;
    TestCache cache{dir.path()};
    writeTestCache(cache);
    ViewSession session(cache.description(), "", true);
    ViewServer server(session);
    const int port = server.bind("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    auto running = std::async(std::launch::async, [&] { return server.run(false); });

    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(5);
    client.set_read_timeout(10);
    const auto page = client.Get("/");
    ASSERT_TRUE(page) << "no answer from the server";
    EXPECT_EQ(page->status, 200);
    const auto frame = client.Get("/api/frame?channel=points&time=500");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->status, 200);
    EXPECT_EQ(frame->body, session.answer("/api/frame", {{"channel", "points"}, {"time", "500"}}).body);
    EXPECT_EQ(frame->get_header_value("Cache-Control"), "no-store");
    const auto posted = client.Post("/api/info", std::string(4096, 'x'), "text/plain");
    ASSERT_TRUE(posted);
    EXPECT_GE(posted->status, 400);
    EXPECT_LT(posted->status, 500);
    const auto longPath = client.Get("/" + std::string(20000, 'a'));
    ASSERT_TRUE(longPath);
    EXPECT_EQ(longPath->status, 414);

    server.stop();
    ASSERT_EQ(running.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the server did not stop within 10 s";
    EXPECT_TRUE(running.get());
}
