// Helpers shared by the tests: a private temporary directory per test and file utilities.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qztest {

// Creates a fresh directory under the system's temporary directory and removes it, with
// everything in it, when destroyed.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The directory path with a trailing "/", ready to be used as a storage location.
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + name; }

private:
    std::string m_path;
};

std::vector<std::uint8_t> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
bool fileExists(const std::string& path);

}  // namespace qztest
