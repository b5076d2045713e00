// Creates an accessor through the installed headers and library, adds a channel and prints
// how many channels it has.
#include <cstdio>

#include "qzCacheFileAccessor.h"

int main() {
    qzCacheFileAccessor* accessor = qzCacheFileAccessor::createQzCacheFileAccessor();
    if (!accessor) return 1;
    unsigned int index = 0;
    const bool added = accessor->addChannel(qzString::IString("Points", 0),
                                            qzString::IString("Points", 0),
                                            qzCacheData::kFloatVectorArray, index);
    std::printf("channels %zu\n", accessor->numChannels());
    accessor->unref();
    return added ? 0 : 2;
}
