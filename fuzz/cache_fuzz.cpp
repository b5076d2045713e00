// A whole cache, description and data file, read through the accessor.
#include "fuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qzfuzz::readWholeCache(data, size);
    return 0;
}
