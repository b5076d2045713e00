// A description file, checked as a cache without data files.
#include "fuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = qzfuzz::freshScratchDirectory() + "d.xml";
    if (qzfuzz::writeFile(path, data, size)) qzfuzz::checker().checkCache(path.c_str());
    return 0;
}
