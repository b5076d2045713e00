// An MDD point cache converted to a cache, both held in memory, which is then checked.
#include "fuzzSupport.h"
#include "qzCacheFileInterface.h"
#include "qzMemoryFileSystem.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qzOS::MemoryFileSystem files;
    files.addView("points.mdd", data, size);
    const qzOS::ScopedDefaultFileSystem inMemory(files);
    qzCacheFileInterface::convertFromMdd("points.mdd", "", "points",
                                         qzCacheFileInterface::kFormatOneFile, "kcc", 250, 24.0);
    qzfuzz::checker().checkCache("points.xml");
    return 0;
}
