#include "fuzzSupport.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace qzfuzz {

namespace {

class ScratchDirectory {
public:
    ScratchDirectory() {
        std::random_device seed;
        std::error_code error;
        for (unsigned int attempt = 0;; ++attempt) {
            const fs::path candidate = fs::temp_directory_path(error) /
                ("qzcache-fuzz-" + std::to_string(seed()) + "-" + std::to_string(attempt));
            if (fs::create_directory(candidate, error)) {
                m_path = candidate.generic_string() + "/";
                return;
            }
        }
    }
    ~ScratchDirectory() {
        std::error_code error;
        fs::remove_all(m_path, error);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& emptied() const {
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(m_path, error)) {
            fs::remove_all(entry.path(), error);
        }
        return m_path;
    }

private:
    std::string m_path;
};

}  // namespace

const std::string& freshScratchDirectory() {
    static const ScratchDirectory directory;
    return directory.emptied();
}

bool writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

const qzCacheChecker& checker() {
    static const qzCacheChecker bounded = [] {
        qzCacheChecker made;
        made.setMaxListedProblems(16);
        made.setMaxSamples(4096, 64);
        return made;
    }();
    return bounded;
}

}  // namespace qzfuzz
