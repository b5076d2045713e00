// A PC2 point cache file converted to a cache, which is then checked.
#include "fuzzSupport.h"
#include "qzCacheFileInterface.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qzfuzz::MemoryFiles memory;
    const std::string folder = qzfuzz::kFolder;
    memory.files.addView(folder + "points.pc2", data, size);
    qzCacheFileInterface::convertFromPc2((folder + "points.pc2").c_str(), folder.c_str(), "points",
                                         qzCacheFileInterface::kFormatOneFile, "kcc", 250);
    qzfuzz::checker().checkCache((folder + "points.xml").c_str());
    return 0;
}
