#include "testSupport.h"

#include "qzCacheFileAccessor.h"
#include "qzThread.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <iterator>
#include <random>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace qztest {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    // mingw's random device may repeat itself from one process to the next: the clock tells
    // two test programs apart.
    const std::string stamp = std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    const fs::path base = fs::temp_directory_path();  // throws when there is none
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = base / fs::u8path("qzcache-test-\xC3\xA9t\xC3\xA9-" + stamp + "-" +
                                                     std::to_string(std::random_device()() ^ counter++));
        if (fs::create_directory(candidate)) {  // throws when it cannot be made
            m_path = candidate.generic_u8string() + "/";
            return;
        }
    }
    throw std::runtime_error("no fresh temporary directory under '" + base.u8string() + "'");
}

TempDir::~TempDir() {
    std::error_code error;
    fs::permissions(fsPath(m_path), fs::perms::owner_all, fs::perm_options::add, error);
    fs::remove_all(fsPath(m_path), error);
}

std::vector<std::uint8_t> readFileBytes(const std::string& path) {
    std::ifstream in(fsPath(path), std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(fsPath(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

qzString::IString text(const std::string& utf8) { return qzString::IString(utf8.c_str(), 1); }

void Unref::operator()(qzCacheFileAccessor* accessor) const { accessor->unref(); }

AccessorRef::AccessorRef() : unique_ptr(qzCacheFileAccessor::createQzCacheFileAccessor()) {
    if (!get()) throw std::runtime_error("no accessor could be made");
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// On the library's thread: a detached std::thread of mingw (winpthreads) now and then never
// runs, which would fail a wait that had nothing wrong with it.
bool endsInTime(std::function<void()> work, std::chrono::milliseconds patience) {
    struct Run {
        std::function<void()> work;
        std::promise<void> ended;
    };
    auto run = std::make_unique<Run>(Run{std::move(work), {}});
    std::future<void> done = run->ended.get_future();
    qzThread::Thread thread(
        [](void* argument) {
            const std::unique_ptr<Run> own(static_cast<Run*>(argument));
            own->work();
            own->ended.set_value();
        },
        run.get());
    if (thread.start().failed()) return false;
    static_cast<void>(run.release());  // the thread's now
    return done.wait_for(patience) == std::future_status::ready;
}

bool fileExists(const std::string& path) {
    std::error_code error;
    return fs::exists(fsPath(path), error);
}

}  // namespace qztest
