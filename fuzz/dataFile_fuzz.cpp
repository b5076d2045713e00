// A data file of either variant, checked alone.
#include "fuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = qzfuzz::freshScratchDirectory() + "data.kc";
    if (qzfuzz::writeFile(path, data, size)) qzfuzz::checker().checkDataFile(path.c_str());
    return 0;
}
