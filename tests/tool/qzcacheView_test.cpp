// The answers of qzcache view, asked of the session directly and, for a few, through a running
// server, on caches written here in both layouts: frames are the library's reads as
// little-endian float32.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
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
using Header = std::pair<std::string, std::string>;

// The little-endian float32 bytes the page is sent for a sample of the channel's own type.
std::string asFloat32(qzCacheData::qzCacheDataType type, const void* sample, unsigned int scalars) {
    std::string bytes;
    for (unsigned int k = 0; k < scalars; ++k) {
        float f = static_cast<const float*>(sample)[k];
        if (type == qzCacheData::kDoubleArray || type == qzCacheData::kDoubleVectorArray) {
            f = static_cast<float>(static_cast<const double*>(sample)[k]);
        } else if (type == qzCacheData::kInt32Array) {
            f = static_cast<float>(static_cast<const std::int32_t*>(sample)[k]);
        }
        std::uint32_t bits = 0;
        std::memcpy(&bits, &f, 4);
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(bits >> (8 * i)));
    }
    return bytes;
}

// What the page is sent for channel `c` at a stored time.
std::string stored(const TestCache& cache, unsigned int c, int time) {
    const TestChannel& channel = cache.channels[c];
    return asFloat32(channel.type, sampleBytes(channel, c, time).data(), channel.elements * qzCacheData::scalarsPerElement(channel.type));
}

// What the page is sent for the float vectors of channel 0 at `time`, as the library reads them.
std::string read(const TestCache& cache, int time) {
    qzCacheFileInterface reader;
    std::vector<float> values(15);
    void* data = values.data();
    unsigned int length = 5;
    EXPECT_TRUE(reader.initFileRead(cache.name.c_str(), cache.location.c_str()) &&
                reader.getArrayDataAtTime(0, time, data, length));
    return asFloat32(qzCacheData::kFloatVectorArray, values.data(), 15);
}

// Asks the session; a call that does not end ends the binary instead of hanging.
ViewAnswer ask(ViewSession& session, const std::string& path, const ViewQuery& query,
               const std::string& host = "127.0.0.1") {
    auto future = std::async(std::launch::async, [&] { return session.answer(path, query, host); });
    if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::fprintf(stderr, "no answer within 20 s: the session hangs\n");
        std::abort();  // the call still runs and holds the session: nothing sound is left
    }
    return future.get();
}

ViewAnswer frame(ViewSession& session, const std::string& channel, int time, const std::string& interpolation = "") {
    ViewQuery query = {{"channel", channel}, {"time", std::to_string(time)}};
    if (!interpolation.empty()) query.emplace("interpolation", interpolation);
    return ask(session, "/api/frame", query);
}

class ViewTest : public ::testing::TestWithParam<Layout> {
protected:
    void SetUp() override {
        m_cache.layout = GetParam();
        m_cache.format = GetParam() == kPerFrame ? "kcx" : "kcc";
        m_cache.times = {250, 500, 750, 1000, 1250};
        writeTestCache(m_cache);
    }
    TempDir m_dir;
    TestCache m_cache{m_dir.path()};
};

INSTANTIATE_TEST_SUITE_P(Layouts, ViewTest, ::testing::Values(kOneFile, kPerFrame));

}  // namespace

TEST_P(ViewTest, FramesCarryStoredAndInterpolatedValuesAsLittleEndianFloat32) {
    ViewSession session(m_cache.description(), "", true);
    EXPECT_EQ(session.defaultChannel(), "points");
    const struct {
        unsigned int channel;
        int time;
        const char* interpolation;
        int answering;  // the stored time whose values answer; 0: the library's blend
        bool stored;
    } cases[] = {
        {0, 500, "", 500, true},
        {0, 625, "linear", 0, false},
        {0, -100, "catmull-rom", 250, false},  // before the first time: the first
        {0, 99999, "linear", 1250, false},     // after the last: the last
        {1, 750, "", 750, true},               // double vectors, as float32
        {3, 750, "", 750, true},
        {4, 1000, "", 1000, true},   // int32, converted
        {4, 1125, "", 1000, false},  // its own interpolation: previous
        {4, 1125, "next", 1250, false},
    };
    for (const auto& c : cases) {
        const std::string& name = m_cache.channels[c.channel].name;
        SCOPED_TRACE(name + " at " + std::to_string(c.time) + " " + c.interpolation);
        const ViewAnswer answer = frame(session, name, c.time, c.interpolation);
        ASSERT_EQ(answer.status, 200) << answer.body;
        EXPECT_EQ(answer.contentType, "application/octet-stream");
        for (const Header& header :
             {Header{"X-Qz-Elements", "5"}, Header{"X-Qz-Stored", c.stored ? "true" : "false"}}) {
            const auto& all = answer.headers;
            EXPECT_NE(std::find(all.begin(), all.end(), header), all.end()) << header.first;
        }
        EXPECT_EQ(answer.body, c.answering ? stored(m_cache, c.channel, c.answering) : read(m_cache, c.time));
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
    EXPECT_EQ(times.body, std::string("\xfa\0\0\0\xf4\x01\0\0\xee\x02\0\0\xe8\x03\0\0\xe2\x04\0\0", 20));

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
    const struct {
        const char* path;
        ViewQuery query;
        int status;
        const char* host = "127.0.0.1";
    } cases[] = {
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
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " (" + std::to_string(c.query.size()) + " parameters, host " + c.host + ")");
        const ViewAnswer answer = ask(session, c.path, c.query, c.host);
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
    std::unique_ptr<ViewSession> session;
    for (int frames = 1; frames <= 4; ++frames) {
        std::vector<unsigned char> sample = sampleBytes(points, 0, frames * 250);
        writer.beginWriteAtTime(frames * 250);
        ASSERT_TRUE(writer.addArrayData(channel, frames * 250, sample.data(), points.elements));
        writer.endWriteAtTime();
        ASSERT_TRUE(frames < 4 || writer.endFileWrite());
        if (!session) session.reset(new ViewSession(m_dir.file("live.xml"), "points", true));
        const json info = json::parse(session->answer("/api/info", {}).body);
        EXPECT_EQ(info["complete"], frames == 4);
        EXPECT_EQ(info["timeRange"]["endTicks"], frames * 250);
        EXPECT_EQ(session->answer("/api/times", {{"channel", "points"}}).body.size(), 4u * frames);
        EXPECT_EQ(frame(*session, "points", frames * 250, "none").body, stored(m_cache, 0, frames * 250));
    }
}

// A lost frame file fails that frame only: its neighbours answer, and between them the library
// blends over the gap.
TEST(ViewFramesTest, MissingFrameFileFailsThatFrameAndNeighboursStillAnswer) {
    TempDir dir;
    TestCache cache{dir.path(), "shot", kPerFrame};
    cache.times = {250, 500, 750, 1000, 1250};
    writeTestCache(cache);
    std::filesystem::remove(fsPath(dir.file("shotFrame3.kc")));
    ViewSession session(cache.description(), "", true);
    EXPECT_EQ(frame(session, "points", 750, "linear").status, 404);
    EXPECT_EQ(frame(session, "floats", 750, "none").status, 404);
    EXPECT_EQ(frame(session, "points", 1000).body, stored(cache, 0, 1000));
    const ViewAnswer between = frame(session, "points", 625, "linear");
    EXPECT_EQ(between.status, 200) << between.body;
    EXPECT_EQ(between.body, read(cache, 625));
    EXPECT_NE(between.body, read(cache, 500));
}

TEST_P(ViewTest, ServesOverHttpRefusesOversizedRequestsAndStops) {
    ViewSession session(m_cache.description(), "", true);
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
    const auto answer = client.Get("/api/frame?channel=points&time=500");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->body, stored(m_cache, 0, 500));
    EXPECT_EQ(answer->get_header_value("Cache-Control"), "no-store");
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
