// The HTTP server of qzcache view and the command itself: bind, print the address, serve until
// Ctrl-C.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <httplib.h>

#include "qzcacheCommands.h"
#include "qzcacheView.h"

namespace qztool {

namespace {

// Set by SIGINT and SIGTERM; a watcher thread turns it into a stop of the server, which a
// signal handler may not do itself.
volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void requestStop(int) { g_stopRequested = 1; }

// Few and small: the page asks for one frame at a time, and nothing is ever posted.
constexpr std::size_t kThreads = 4;
constexpr std::size_t kMaxBody = 1024;
constexpr time_t kTimeoutSeconds = 10;

std::string percentEncoded(const std::string& text) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// Letters, digits, dots, hyphens and colons: a name or an IPv4 or IPv6 address, and nothing a
// shell or a URL would read otherwise.
bool isHostText(const std::string& host) {
    return !host.empty() && host.size() <= 253 &&
           host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                  "0123456789.-:") == std::string::npos;
}

void openInBrowser(const std::string& url) {
#if defined(_WIN32)
    const std::string command = "start \"\" \"" + url + "\"";
#else
    const std::string command = "xdg-open '" + url + "' >/dev/null 2>&1 &";
#endif
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "qzcache view: could not open a browser; open %s yourself\n",
                     url.c_str());
    }
}

}  // namespace

struct ViewServer::Http {
    httplib::Server server;
    std::atomic<bool> stopRequested{false};
};

ViewServer::ViewServer(ViewSession& session) : m_http(new Http) {
    httplib::Server& server = m_http->server;
    server.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    server.set_payload_max_length(kMaxBody);
    server.set_read_timeout(kTimeoutSeconds);
    server.set_write_timeout(kTimeoutSeconds);
    server.set_keep_alive_max_count(10000);
    server.set_tcp_nodelay(true);  // the head and the body of an answer leave at once
    server.Get(".*", [&session](const httplib::Request& request, httplib::Response& response) {
        ViewAnswer answer =
            session.answer(request.path, request.params, request.get_header_value("Host"));
        response.status = answer.status;
        for (const auto& header : answer.headers) {
            response.set_header(header.first, header.second);
        }
        // Frames are many and large, and a cache may change: the browser keeps none of it.
        response.set_header("Cache-Control", "no-store");
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_content(std::move(answer.body), answer.contentType);
    });
}

ViewServer::~ViewServer() = default;

int ViewServer::bind(const std::string& host, int port) {
    if (port == 0) return m_http->server.bind_to_any_port(host);
    return m_http->server.bind_to_port(host, port) ? port : -1;
}

bool ViewServer::run(bool stopOnSignals) {
    if (stopOnSignals) {
        g_stopRequested = 0;
        std::signal(SIGINT, requestStop);
        std::signal(SIGTERM, requestStop);
#if defined(SIGPIPE)
        std::signal(SIGPIPE, SIG_IGN);  // a page closed mid-answer is no reason to end
#endif
    }
    // The HTTP library forgets a stop that comes before its loop runs: the watcher repeats it
    // until the loop has ended.
    std::mutex mutex;
    std::condition_variable finishedChanged;
    bool finished = false;
    std::thread watcher([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!finished) {
            if (m_http->stopRequested || (stopOnSignals && g_stopRequested != 0)) {
                m_http->server.stop();
            }
            finishedChanged.wait_for(lock, std::chrono::milliseconds(50));
        }
    });
    const bool served = m_http->server.listen_after_bind();
    {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
    }
    finishedChanged.notify_all();
    watcher.join();
    if (stopOnSignals) {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
    }
    return served || m_http->stopRequested || (stopOnSignals && g_stopRequested != 0);
}

void ViewServer::stop() {
    m_http->stopRequested = true;
    m_http->server.stop();
}

std::string viewAddress(const std::string& host, int port, const std::string& channel) {
    const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return "http://" + name + ":" + std::to_string(port) + "/?channel=" + percentEncoded(channel);
}

int runView(const ViewOptions& options) {
    if (!isHostText(options.host)) {
        throw ToolError(kExitBadArguments, "--host " + options.host + " is not a host name or address");
    }
    ViewSession session(options.cache, options.channel, isLoopbackHost(options.host));
    ViewServer server(session);
    const int port = server.bind(options.host, options.port);
    if (port < 0) {
        throw ToolError(kExitBadArguments, "cannot listen on " + options.host + " port " +
                                               std::to_string(options.port) +
                                               " (in use? --port 0 picks a free one)");
    }
    const std::string url = viewAddress(options.host, port, session.defaultChannel());
    std::printf("qzcache view: %s at %s\n", options.cache.c_str(), url.c_str());
    if (!isLoopbackHost(options.host)) {
        std::printf("qzcache view: listening on %s: other machines can reach this cache\n",
                    options.host.c_str());
    }
    std::printf("qzcache view: Ctrl-C stops the server\n");
    std::fflush(stdout);
    if (options.open) {
        openInBrowser(url);
    }
    if (!server.run(true)) {
        throw ToolError(kExitFileError, "the server stopped: it could not accept connections");
    }
    std::printf("qzcache view: stopped\n");
    return kExitOk;
}

}  // namespace qztool
