// The answers of qzcache view: the embedded page, the cache's description as JSON, and frames
// as little-endian float32, read through the library with its background worker.
#include "qzcacheView.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <new>

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace qztool {

namespace {

ViewAnswer jsonAnswer(int status, const json& body) {
    ViewAnswer answer;
    answer.status = status;
    answer.contentType = "application/json";
    answer.body = body.dump();
    return answer;
}

ViewAnswer errorAnswer(int status, const std::string& message) {
    return jsonAnswer(status, json{{"error", message}});
}

ViewAnswer binaryAnswer(std::string body) {
    ViewAnswer answer;
    answer.contentType = "application/octet-stream";
    answer.body = std::move(body);
    return answer;
}

void appendLittleEndian32(std::string& out, std::uint32_t bits) {
    const char bytes[4] = {static_cast<char>(bits & 0xff), static_cast<char>((bits >> 8) & 0xff),
                           static_cast<char>((bits >> 16) & 0xff),
                           static_cast<char>((bits >> 24) & 0xff)};
    out.append(bytes, 4);
}

void appendFloat32(std::string& out, float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    appendLittleEndian32(out, bits);
}

bool isVectorType(qzCacheData::qzCacheDataType type) {
    return type == qzCacheData::kFloatVectorArray || type == qzCacheData::kDoubleVectorArray;
}

// The one value of a parameter; false when it is missing or given twice.
bool single(const ViewQuery& query, const std::string& name, std::string& value) {
    if (query.count(name) != 1) return false;
    value = query.find(name)->second;
    return true;
}

// Decimal ticks, optionally negative, within the range of a time.
bool parseTicks(const std::string& text, int& time) {
    const bool negative = !text.empty() && text[0] == '-';
    const std::size_t first = negative ? 1 : 0;
    if (text.size() == first || text.size() - first > 10) return false;
    std::int64_t value = 0;
    for (std::size_t i = first; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    value = negative ? -value : value;
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return false;
    time = static_cast<int>(value);
    return true;
}

// The host of a Host header ("127.0.0.1:8099" -> "127.0.0.1", "[::1]:80" -> "[::1]").
std::string hostName(const std::string& header) {
    if (!header.empty() && header[0] == '[') {
        const std::size_t close = header.find(']');
        return close == std::string::npos ? header : header.substr(0, close + 1);
    }
    return header.substr(0, header.find(':'));
}

}  // namespace

bool isLoopbackHost(const std::string& host) {
    // An address, not a name: "127.example.com" may resolve anywhere.
    const bool ipv4 = host.rfind("127.", 0) == 0 &&
                      host.find_first_not_of("0123456789.") == std::string::npos;
    return ipv4 || host == "localhost" || host == "::1" || host == "[::1]";
}

std::string packFloat32(const void* data, qzCacheData::qzCacheDataType type, unsigned int count) {
    const std::size_t scalars = std::size_t{count} * qzCacheData::scalarsPerElement(type);
    std::string out;
    out.reserve(scalars * 4);
    for (std::size_t i = 0; i < scalars; ++i) {
        switch (type) {
        case qzCacheData::kDoubleArray:
        case qzCacheData::kDoubleVectorArray:
            appendFloat32(out, static_cast<float>(static_cast<const double*>(data)[i]));
            break;
        case qzCacheData::kInt32Array:
            appendFloat32(out, static_cast<float>(static_cast<const std::int32_t*>(data)[i]));
            break;
        default: appendFloat32(out, static_cast<const float*>(data)[i]); break;
        }
    }
    return out;
}

ViewSession::ViewSession(const std::string& descriptionPath, const std::string& channel,
                         bool loopbackOnly)
    : m_cache(descriptionPath), m_loopbackOnly(loopbackOnly) {
    qzCacheFileAccessor& accessor = m_cache.accessor();
    if (!m_cache.dataFileOpen()) {
        throw ToolError(kExitFileError, m_cache.oneFileDataPath() + ": the data file does not open");
    }
    describe();
    unsigned int points = 0;
    bool found = false;
    if (!channel.empty()) {
        points = m_cache.channelIndex(channel);
        found = isVectorType(m_channels[points].type);
        if (!found) {
            throw ToolError(kExitBadArguments,
                            descriptionPath + ": channel \"" + channel + "\" is " +
                                dataTypeName(m_channels[points].type) +
                                ", not points (kFloatVectorArray or kDoubleVectorArray)");
        }
    }
    for (unsigned int index = 0; !found && index < m_channels.size(); ++index) {
        found = isVectorType(m_channels[index].type);
        points = index;
    }
    if (!found) {
        throw ToolError(kExitFileError, descriptionPath +
                                            ": no channel of points to draw (kFloatVectorArray "
                                            "or kDoubleVectorArray)");
    }
    qzString::IString name;
    accessor.channelName(points, name);
    m_defaultChannel = toUtf8(name);
    describeInfo();
    // Every read from here on copies what the worker loaded ahead of the playback.
    if (!accessor.startMultiThreadRead(false)) {
        throw ToolError(kExitFileError, descriptionPath + ": the background reader did not start");
    }
}

void ViewSession::describe() {
    qzCacheFileAccessor& accessor = m_cache.accessor();
    m_cache.checkStoredTimes();
    const std::size_t known = m_channels.size();
    m_channels.resize(accessor.numChannels());
    for (unsigned int index = 0; index < m_channels.size(); ++index) {
        ChannelView& view = m_channels[index];
        accessor.channelDataType(index, view.type);
        // Requests set the channel's interpolation; its own is the one it had at first.
        if (index >= known) accessor.channelInterpolation(index, view.ownInterpolation);
        const std::uint64_t count = accessor.getDataCount(index);
        view.times.clear();
        view.times.reserve(count);
        int time = 0;
        for (std::uint64_t i = 0; i < count; ++i) {
            if (accessor.getDataTime(index, static_cast<unsigned int>(i), time))
                view.times.push_back(time);
        }
        std::sort(view.times.begin(), view.times.end());
    }
    describeInfo();
}

void ViewSession::describeInfo() {
    json info = infoJson(m_cache);
    info["view"] = {{"channel", m_defaultChannel}};
    m_info = info.dump();
}

ViewSession::~ViewSession() { m_cache.accessor().stopMultiThreadRead(); }

ViewAnswer ViewSession::answer(const std::string& path, const ViewQuery& query,
                               const std::string& host) {
    if (m_loopbackOnly && !isLoopbackHost(hostName(host))) {
        return errorAnswer(403, "this server answers requests for the loopback address only");
    }
    try {
        if (path == "/api/info") {
            return info();
        }
        if (path == "/api/times") {
            return times(query);
        }
        if (path == "/api/frame") {
            return frame(query);
        }
        const std::string asset = path == "/" ? "/index.html" : path;
        for (std::size_t i = 0; i < kViewAssetCount; ++i) {
            if (asset == kViewAssets[i].path) {
                ViewAnswer answer;
                answer.contentType = kViewAssets[i].contentType;
                answer.body.assign(reinterpret_cast<const char*>(kViewAssets[i].data),
                                   kViewAssets[i].size);
                return answer;
            }
        }
        return errorAnswer(404, "no such page: " + path);
    } catch (const std::bad_alloc&) {
        return errorAnswer(503, "out of memory");
    } catch (const std::exception& error) {
        return errorAnswer(500, error.what());
    }
}

ViewAnswer ViewSession::info() {
    std::lock_guard<std::mutex> lock(m_mutex);
    bool changed = false;
    // A description that does not read now (or describes another cache) leaves the one shown.
    if (!m_cache.accessor().isComplete() && m_cache.facade().refresh(changed) && changed) {
        describe();
    }
    return ViewAnswer{200, "application/json", m_info, {}};
}

bool ViewSession::channelOf(const ViewQuery& query, unsigned int& channel, ViewAnswer& error) {
    std::string name;
    if (!single(query, "channel", name)) {
        error = errorAnswer(400, "give the parameter channel once");
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_cache.accessor().hasChannelByName(fromUtf8(name), channel)) {
        error = errorAnswer(404, "no channel \"" + name + "\"");
        return false;
    }
    if (!qzCacheData::isArrayType(m_channels[channel].type)) {
        error = errorAnswer(404, "channel \"" + name +
                                     "\" holds single doubles, which never reach the data files");
        return false;
    }
    return true;
}

ViewAnswer ViewSession::times(const ViewQuery& query) {
    unsigned int channel = 0;
    ViewAnswer error;
    if (query.size() != 1 || !channelOf(query, channel, error)) {
        return error.status != 200 ? error : errorAnswer(400, "give channel only");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string body;
    body.reserve(m_channels[channel].times.size() * 4);
    for (int time : m_channels[channel].times) {
        appendLittleEndian32(body, static_cast<std::uint32_t>(time));
    }
    return binaryAnswer(std::move(body));
}

bool ViewSession::parseFrameRequest(const ViewQuery& query, FrameRequest& request,
                                    ViewAnswer& error) {
    for (const auto& parameter : query) {
        if (parameter.first != "channel" && parameter.first != "time" &&
            parameter.first != "interpolation") {
            error = errorAnswer(400, "unknown parameter " + parameter.first);
            return false;
        }
    }
    std::string text;
    if (!single(query, "time", text) || !parseTicks(text, request.time)) {
        error = errorAnswer(400, "give time once, in whole ticks");
        return false;
    }
    request.hasInterpolation = query.count("interpolation") != 0;
    if (request.hasInterpolation && (!single(query, "interpolation", text) ||
                                     !parseInterpolation(text, request.interpolation))) {
        error = errorAnswer(400, "interpolation is one of none, previous, next, linear, "
                                 "catmull-rom");
        return false;
    }
    return channelOf(query, request.channel, error);
}

// The element count of the sample that answers `time`: the stored one at that time or the
// previous stored time (the first before the channel starts). Learnt once per stored time, so
// that a cache whose counts change over time is read with the right one.
bool ViewSession::elementCount(unsigned int channel, int time, unsigned int& count) {
    ChannelView& view = m_channels[channel];
    if (view.times.empty()) return false;
    auto after = std::upper_bound(view.times.begin(), view.times.end(), time);
    const int stored = after == view.times.begin() ? view.times.front() : *(after - 1);
    const auto known = view.counts.find(stored);
    if (known != view.counts.end()) {
        count = known->second;
        return true;
    }
    if (!m_cache.accessor().readArrayLengthAtTime(channel, stored, count)) return false;
    const std::uintmax_t bytes = std::uintmax_t{count} * qzCacheData::elementSize(view.type);
    if (bytes > kMaxFrameBytes || bytes > m_cache.sampleSizeLimit(channel, stored)) return false;
    view.counts[stored] = count;
    return true;
}

ViewAnswer ViewSession::frame(const ViewQuery& query) {
    FrameRequest request;
    ViewAnswer error;
    if (!parseFrameRequest(query, request, error)) {
        return error;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    qzCacheFileAccessor& accessor = m_cache.accessor();
    ChannelView& view = m_channels[request.channel];
    qzCacheChannel::qzCacheInterpolation interpolation =
        request.hasInterpolation ? request.interpolation : view.ownInterpolation;
    accessor.setChannelInterpolation(request.channel, interpolation);

    unsigned int count = 0;
    const std::size_t elementBytes = qzCacheData::elementSize(view.type);
    std::vector<double> buffer;
    unsigned int length = 0;
    bool read = elementCount(request.channel, request.time, count);
    if (read) {
        buffer.resize((std::size_t{count} * elementBytes + sizeof(double) - 1) / sizeof(double) + 1);
        void* data = buffer.data();
        read = accessor.getArrayDataAtTime(request.channel, request.time, count, data, length) &&
               length == count;
    }
    if (!read) {
        return errorAnswer(404, "no value at time " + std::to_string(request.time) +
                                    " with interpolation " + interpolationName(interpolation));
    }
    ViewAnswer answer = binaryAnswer(packFloat32(buffer.data(), view.type, count));
    const bool stored = std::binary_search(view.times.begin(), view.times.end(), request.time);
    answer.headers = {{"X-Qz-Elements", std::to_string(count)},
                      {"X-Qz-Components", std::to_string(qzCacheData::scalarsPerElement(view.type))},
                      {"X-Qz-Time", std::to_string(request.time)},
                      {"X-Qz-Stored", stored ? "true" : "false"}};
    return answer;
}

}  // namespace qztool
