// A whole cache, description and data file, checked and read through the accessor.
#include "fuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qzfuzz::checkWholeCache(data, size);
    return 0;
}
