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
#include "testSupport.h"
#include "toolCache.h"

namespace {

using namespace qztool;
using namespace qztooltest;
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

class ViewTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        const bool perFrame = std::string(GetParam()) == "frames";
        writeKnownCache(m_dir.path(), GetParam(),
                        perFrame ? qzCacheFileInterface::kFormatOneFilePerFrame
                                 : qzCacheFileInterface::kFormatOneFile,
                        perFrame ? "kcx" : "kcc");
    }

    std::string cache() const { return m_dir.file(std::string(GetParam()) + ".xml"); }

    ViewAnswer frame(ViewSession& session, const std::string& channel, const std::string& time,
                     const std::string& interpolation = "") {
        ViewQuery query = {{"channel", channel}, {"time", time}};
        if (!interpolation.empty()) query.emplace("interpolation", interpolation);
        return bounded([&] { return session.answer("/api/frame", query); });
    }

    qztest::TempDir m_dir;
};

// Expected values of one element of a channel at a (possibly fractional) frame.
std::vector<float> expected(const std::string& channel, double frame, unsigned int k) {
    if (channel == "pts") {
        const float f = static_cast<float>(frame);
        return {static_cast<float>(k), f, 0.25f * k * f};
    }
    if (channel == "vals") return {static_cast<float>(frame * 10.0 + k * 0.5)};
    return {static_cast<float>(static_cast<int>(frame * 100 + k))};
}

TEST_P(ViewTest, FramesCarryStoredAndInterpolatedValuesAsLittleEndianFloat32) {
    ViewSession session(cache(), "", true);
    EXPECT_EQ(session.defaultChannel(), "pts");

    // Frame 1, first point: (0, 1, 0).
    const ViewAnswer first = frame(session, "pts", "250");
    ASSERT_EQ(first.status, 200) << first.body;
    const std::string pinned("\0\0\0\0\0\0\x80\x3f\0\0\0\0", 12);
    EXPECT_EQ(first.body.substr(0, 12), pinned);

    struct Case {
        const char* channel;
        const char* time;
        const char* interpolation;
        double frame;  // whose values answer
        bool stored;
    };
    const Case cases[] = {
        {"pts", "500", "", 2.0, true},
        {"pts", "625", "linear", 2.5, false},          // halfway, and linear in the frame
        {"pts", "-100", "catmull-rom", 1.0, false},    // before the first time: the first
        {"pts", "99999", "linear", 5.0, false},        // after the last: the last
        {"vals", "750", "", 3.0, true},                // kFloatArray
        {"ids", "1000", "", 4.0, true},                // kInt32Array, converted
        {"ids", "1125", "", 4.0, false},               // its own interpolation: previous
        {"ids", "1125", "next", 5.0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.channel) + " at " + c.time + " " + c.interpolation);
        const ViewAnswer answer = frame(session, c.channel, c.time, c.interpolation);
        ASSERT_EQ(answer.status, 200) << answer.body;
        EXPECT_EQ(answer.contentType, "application/octet-stream");
        EXPECT_EQ(header(answer, "X-Qz-Elements"), std::to_string(kPoints));
        EXPECT_EQ(header(answer, "X-Qz-Stored"), c.stored ? "true" : "false");
        std::vector<float> want;
        for (unsigned int k = 0; k < kPoints; ++k) {
            const std::vector<float> element = expected(c.channel, c.frame, k);
            want.insert(want.end(), element.begin(), element.end());
        }
        EXPECT_EQ(floatsOf(answer.body), want);
    }
}

TEST_P(ViewTest, InfoTimesAndPageAreServed) {
    ViewSession session(cache(), "pts", true);
    const ViewAnswer info = session.answer("/api/info", {});
    ASSERT_EQ(info.status, 200);
    const json parsed = json::parse(info.body);
    EXPECT_EQ(parsed["view"]["channel"], "pts");
    EXPECT_EQ(parsed["ticksPerFrame"], 250);
    EXPECT_EQ(parsed["timeRange"]["endTicks"], 1250);
    EXPECT_EQ(parsed["channels"].size(), 3u);

    const ViewAnswer times = session.answer("/api/times", {{"channel", "vals"}});
    ASSERT_EQ(times.status, 200);
    const std::string stored = times.body;
    ASSERT_EQ(stored.size(), 4u * kFrames);
    EXPECT_EQ(stored.substr(0, 4), std::string("\xfa\0\0\0", 4));  // 250
    EXPECT_EQ(stored.substr(16, 4), std::string("\xe2\x04\0\0", 4));  // 1250

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

TEST_P(ViewTest, BadRequestsGetClientErrorsAndNoFile) {
    ViewSession session(cache(), "", true);
    struct Case {
        const char* path;
        ViewQuery query;
        const char* host;
        int status;
    };
    const Case cases[] = {
        {"/api/frame", {{"channel", "pts"}}, "127.0.0.1", 400},
        {"/api/frame", {{"channel", "pts"}, {"time", "abc"}}, "127.0.0.1", 400},
        {"/api/frame", {{"channel", "pts"}, {"time", "2.5"}}, "127.0.0.1", 400},
        {"/api/frame", {{"channel", "pts"}, {"time", ""}}, "127.0.0.1", 400},
        {"/api/frame", {{"channel", "pts"}, {"time", "-"}}, "127.0.0.1", 400},
        {"/api/frame", {{"channel", "pts"}, {"time", "2147483648"}}, "127.0.0.1", 400},
        {"/api/frame", {{"channel", "pts"}, {"time", "250"}, {"time", "500"}}, "127.0.0.1", 400},
        {"/api/frame", {{"channel", "pts"}, {"time", "250"}, {"x", "1"}}, "127.0.0.1", 400},
        {"/api/frame", {{"channel", "pts"}, {"time", "250"}, {"interpolation", "cubic"}},
         "127.0.0.1", 400},
        {"/api/frame", {{"time", "250"}}, "127.0.0.1", 400},
        {"/api/frame", {{"channel", "nosuch"}, {"time", "250"}}, "127.0.0.1", 404},
        {"/api/frame", {{"channel", "pts"}, {"time", "300"}, {"interpolation", "none"}},
         "127.0.0.1", 404},
        {"/api/times", {{"channel", "pts"}, {"x", "1"}}, "127.0.0.1", 400},
        {"/api/times", {}, "127.0.0.1", 400},
        {"/nosuch", {}, "127.0.0.1", 404},
        {"/../one.xml", {}, "127.0.0.1", 404},
        {"/index.html/..", {}, "127.0.0.1", 404},
        {"/api/info", {}, "evil.example", 403},
        {"/api/info", {}, "127.0.0.1.evil.example:8765", 403},
        {"/api/info", {}, "localhost:8765", 200},
        {"/api/info", {}, "[::1]:8765", 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " (" + std::to_string(c.query.size()) +
                     " parameters, host " + c.host + ")");
        const ViewAnswer answer = bounded([&] { return session.answer(c.path, c.query, c.host); });
        EXPECT_EQ(answer.status, c.status) << answer.body;
        if (c.status != 200) {
            EXPECT_TRUE(json::parse(answer.body).contains("error")) << answer.body;
        }
    }
    // A server meant for other machines answers any host.
    ViewSession open(cache(), "", false);
    EXPECT_EQ(open.answer("/api/info", {}, "viewer.example:80").status, 200);
}

// A cache still being written: each info request learns what the writer added, while the
// worker serves frames, until the writer finishes.
TEST_P(ViewTest, InfoFollowsALiveCacheUntilItIsComplete) {
    const bool perFrame = std::string(GetParam()) == "frames";
    qzCacheFileInterface writer;
    unsigned int channel = 0;
    ASSERT_TRUE(writer.initFileWrite(m_dir.path().c_str(), "live",
                                     perFrame ? qzCacheFileInterface::kFormatOneFilePerFrame
                                              : qzCacheFileInterface::kFormatOneFile,
                                     "kcc", 250) &&
                writer.addChannel("pts", "position", qzCacheData::kFloatVectorArray, channel));
    writer.setLiveWrite(true, 0);
    const auto write = [&](int frame) {
        std::vector<float> xyz;
        for (unsigned int k = 0; k < kPoints; ++k) {
            for (int axis = 0; axis < 3; ++axis) xyz.push_back(pointValue(frame, k, axis));
        }
        writer.beginWriteAtTime(frame * 250);
        ASSERT_TRUE(writer.addArrayData(channel, frame * 250, xyz.data(), kPoints));
        writer.endWriteAtTime();
    };
    write(1);
    ViewSession session(m_dir.file("live.xml"), "pts", true);
    for (int frames = 1; frames <= 4; ++frames) {
        if (frames > 1) write(frames);
        ASSERT_TRUE(frames < 4 || writer.endFileWrite());
        const json info = json::parse(session.answer("/api/info", {}).body);
        EXPECT_EQ(info["complete"], frames == 4);
        EXPECT_EQ(info["timeRange"]["endTicks"], frames * 250);
        EXPECT_EQ(session.answer("/api/times", {{"channel", "pts"}}).body.size(), 4u * frames);
        const ViewAnswer newest = frame(session, "pts", std::to_string(frames * 250), "none");
        ASSERT_EQ(newest.status, 200) << newest.body;
        EXPECT_EQ(floatsOf(newest.body)[1], static_cast<float>(frames));
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ViewTest, ::testing::Values("one", "frames"));

class ViewFramesTest : public ViewTest {};

TEST_P(ViewFramesTest, MissingFrameFileFailsThatFrameAndNeighboursStillAnswer) {
    std::filesystem::remove(qztest::fsPath(m_dir.file("framesFrame3.kcx")));
    ViewSession session(cache(), "", true);
    EXPECT_EQ(frame(session, "pts", "750").status, 404);
    EXPECT_EQ(frame(session, "vals", "750", "none").status, 404);
    const ViewAnswer after = frame(session, "pts", "1000");
    ASSERT_EQ(after.status, 200);
    EXPECT_EQ(floatsOf(after.body)[1], 4.0f);
    // Between frames 2 and 4, interpolated over the gap; the values are linear in the frame.
    const ViewAnswer between = frame(session, "pts", "625", "linear");
    ASSERT_EQ(between.status, 200) << between.body;
    EXPECT_EQ(floatsOf(between.body)[1], 2.5f);
}

TEST_P(ViewFramesTest, ServesOverHttpRefusesOversizedRequestsAndStops) {
    ViewSession session(cache(), "", true);
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
    const auto frame = client.Get("/api/frame?channel=pts&time=500");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->status, 200);
    EXPECT_EQ(frame->body, session.answer("/api/frame", {{"channel", "pts"}, {"time", "500"}}).body);
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

INSTANTIATE_TEST_SUITE_P(PerFrame, ViewFramesTest, ::testing::Values("frames"));

}  // namespace
