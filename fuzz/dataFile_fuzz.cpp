// A data file of either variant, read record by record through qzCacheFileIffIO.
#include "fuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qzfuzz::walkDataFile(data, size);
    return 0;
}
