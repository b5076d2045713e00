#include "benchCases.h"

#include <cstdio>
#include <cstring>
#include <sys/resource.h>

namespace qzbench {
namespace {

// A "Name:   123 kB" line of /proc/self/status.
std::uint64_t statusKilobytes(const char* field) {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return 0;
    char line[256];
    std::uint64_t value = 0;
    const std::size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            value = std::strtoull(line + length + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return value;
}

}  // namespace

std::uint64_t peakResidentBytes() {
    const std::uint64_t hwm = statusKilobytes("VmHWM");
    if (hwm) return hwm * 1024;
    struct rusage usage {};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
    return std::uint64_t(usage.ru_maxrss) * 1024;
}

std::uint64_t currentResidentBytes() { return statusKilobytes("VmRSS") * 1024; }

bool resetPeakResident() {
    std::FILE* refs = std::fopen("/proc/self/clear_refs", "w");
    if (!refs) return false;
    const bool ok = std::fputs("5", refs) >= 0;
    return std::fclose(refs) == 0 && ok;
}

}  // namespace qzbench
