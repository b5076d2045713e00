// Checking a cache: every data file's structure, every sample read back through the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qzcacheCommon.h"

namespace qztool {

class Progress;

struct VerifyIssue {
    // "missing file", "truncated file", "corrupt file", "missing sample", "count mismatch",
    // "type mismatch", "unreadable sample"
    std::string kind;
    std::string file;
    std::string detail;
};

struct VerifyReport {
    std::string cache;
    std::string layout;
    std::size_t dataFiles = 0;
    std::uintmax_t bytes = 0;
    std::size_t samplesExpected = 0;
    std::size_t samplesChecked = 0;
    std::vector<std::string> notes;
    std::vector<VerifyIssue> issues;

    bool whole() const { return issues.empty(); }
};

// Verifies an opened cache; `progress` may be null.
VerifyReport verifyCache(OpenCache& cache, Progress* progress);

void printVerifyText(const VerifyReport& report);
std::string verifyJson(const VerifyReport& report);

}  // namespace qztool
