// A description file read into an accessor.
#include "fuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qzfuzz::readDescription(data, size);
    return 0;
}
