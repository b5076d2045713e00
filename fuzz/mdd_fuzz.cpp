// An MDD point cache converted to a cache, which is then checked.
#include "fuzzSupport.h"
#include "qzCacheFileInterface.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qzfuzz::MemoryFiles memory;
    const std::string folder = qzfuzz::kFolder;
    memory.files.addView(folder + "points.mdd", data, size);
    qzCacheFileInterface::convertFromMdd((folder + "points.mdd").c_str(), folder.c_str(), "points",
                                         qzCacheFileInterface::kFormatOneFile, "kcc", 250, 24.0);
    qzfuzz::checker().checkCache((folder + "points.xml").c_str());
    return 0;
}
