// qzcache view: a local web server that plays one cache in the browser. The session answers
// requests without a socket, so that the tests can call it directly; the server
// (qzcacheViewServer.cpp) only carries its answers over HTTP.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "qzcacheCommon.h"

namespace qztool {

// A request's query parameters, decoded (the same type as the HTTP library's).
using ViewQuery = std::multimap<std::string, std::string>;

struct ViewAnswer {
    int status = 200;
    std::string contentType;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// One embedded file of the page (the generated table, qzcacheViewAssets.cpp).
struct ViewAsset {
    const char* path;
    const char* contentType;
    const unsigned char* data;
    std::size_t size;
};
extern const ViewAsset kViewAssets[];
extern const std::size_t kViewAssetCount;

struct FrameRequest {
    unsigned int channel = 0;
    int time = 0;
    bool hasInterpolation = false;
    qzCacheChannel::qzCacheInterpolation interpolation = qzCacheChannel::kLinear;
};

// Element counts of one answer at most: a damaged size record never makes the server
// allocate more than this, whatever the data files' sizes.
constexpr std::size_t kMaxFrameBytes = std::size_t{1} << 30;

class ViewSession {
public:
    // Opens the cache, learns its channels' stored times and starts the background reader. A
    // cache still being written is followed: each request for the info reads its description
    // again and learns the times and channels added since.
    // `channel` (name or index, may be empty) is the points channel the page opens with.
    // `loopbackOnly`: requests must name a loopback host (see answer()).
    // Throws ToolError when the cache cannot be opened or holds no channel of points.
    ViewSession(const std::string& descriptionPath, const std::string& channel,
                bool loopbackOnly);
    ~ViewSession();
    ViewSession(const ViewSession&) = delete;
    ViewSession& operator=(const ViewSession&) = delete;

    // Answers one GET request for `path` with its query; never throws, and is safe to call
    // from several threads at once. `host` is the request's Host header: while the server
    // listens on the loopback address only, any other host is refused, so that a page from
    // elsewhere cannot reach the cache through a name that resolves to this machine.
    ViewAnswer answer(const std::string& path, const ViewQuery& query,
                      const std::string& host = "127.0.0.1");

    const std::string& defaultChannel() const { return m_defaultChannel; }

    // A frame request's channel, time in ticks and interpolation; false with `error` filled
    // in (status 400 or 404) when the request cannot be used.
    bool parseFrameRequest(const ViewQuery& query, FrameRequest& request, ViewAnswer& error);

private:
    struct ChannelView {
        qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
        qzCacheChannel::qzCacheInterpolation ownInterpolation = qzCacheChannel::kLinear;
        std::vector<int> times;                      // stored times, ascending
        std::unordered_map<int, unsigned int> counts;  // element count by stored time
    };

    // The channels' stored times and the info as the cache's description gives them now;
    // element counts learnt before stay. Under m_mutex, or before the session serves.
    void describe();
    void describeInfo();
    ViewAnswer info();
    ViewAnswer times(const ViewQuery& query);
    ViewAnswer frame(const ViewQuery& query);
    bool channelOf(const ViewQuery& query, unsigned int& channel, ViewAnswer& error);
    bool elementCount(unsigned int channel, int time, unsigned int& count);

    OpenCache m_cache;
    std::string m_defaultChannel;
    std::string m_info;
    bool m_loopbackOnly;
    std::vector<ChannelView> m_channels;
    std::mutex m_mutex;  // the library's reads are made one at a time
};

// The HTTP side: serves one session's answers until stop() (from any thread).
class ViewServer {
public:
    explicit ViewServer(ViewSession& session);
    ~ViewServer();
    ViewServer(const ViewServer&) = delete;
    ViewServer& operator=(const ViewServer&) = delete;

    // Binds the host's address and the port (0: any free port); the port, or -1 on failure.
    int bind(const std::string& host, int port);
    // Serves requests until stop() or, with `stopOnSignals`, until SIGINT or SIGTERM; false
    // when it could not listen.
    bool run(bool stopOnSignals);
    void stop();

private:
    struct Http;
    std::unique_ptr<Http> m_http;
};

// Whether the host names this machine's loopback interface only.
bool isLoopbackHost(const std::string& host);

// The page's address on `host` and `port`, opening `channel`.
std::string viewAddress(const std::string& host, int port, const std::string& channel);

// Little-endian float32 of `count` elements of a channel's type (three scalars per vector
// element); doubles are rounded and integers converted, exactly up to 2^24.
std::string packFloat32(const void* data, qzCacheData::qzCacheDataType type, unsigned int count);

}  // namespace qztool
