// A PC2 point cache file read through qzPointCache2IO.
#include "fuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qzfuzz::readPointCache(data, size);
    return 0;
}
