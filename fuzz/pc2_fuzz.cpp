// A PC2 point cache file converted to a cache, which is then checked.
#include "fuzzSupport.h"
#include "qzCacheFileInterface.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& directory = qzfuzz::freshScratchDirectory();
    const std::string path = directory + "points.pc2";
    if (!qzfuzz::writeFile(path, data, size)) return 0;
    qzCacheFileInterface::convertFromPc2(path.c_str(), directory.c_str(), "points",
                                         qzCacheFileInterface::kFormatOneFile, "kcc", 250);
    qzfuzz::checker().checkCache((directory + "points.xml").c_str());
    return 0;
}
