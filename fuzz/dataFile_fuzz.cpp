// A data file of either variant, checked alone, straight from the fuzzer's bytes.
#include "fuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qzfuzz::checker().checkDataFileBytes(data, size, "data.kc");
    return 0;
}
