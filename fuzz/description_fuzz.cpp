// A description file, checked as a cache without data files.
#include "fuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qzfuzz::MemoryFiles memory;
    const std::string path = std::string(qzfuzz::kFolder) + "d.xml";
    memory.files.addView(path, data, size);
    qzfuzz::checker().checkCache(path.c_str());
    return 0;
}
