// Minimal POSIX stand-in for the file calls the container layer needs.
#include "qzFileSystem.h"

#include <sys/stat.h>
#include <sys/types.h>

namespace qzOS {

std::FILE* openFile(const char* utf8Path, const char* mode) {
    if (utf8Path == nullptr || utf8Path[0] == '\0' || mode == nullptr) {
        return nullptr;
    }
    return std::fopen(utf8Path, mode);
}

bool fileSize(const char* utf8Path, std::uint64_t& size) {
    struct stat info {};
    if (utf8Path == nullptr || ::stat(utf8Path, &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

int seekFile(std::FILE* file, std::int64_t offset, int whence) {
    return ::fseeko(file, static_cast<off_t>(offset), whence);
}

std::int64_t tellFile(std::FILE* file) {
    return static_cast<std::int64_t>(::ftello(file));
}

}  // namespace qzOS
