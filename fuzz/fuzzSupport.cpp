#include "fuzzSupport.h"

namespace qzfuzz {

const qzCacheChecker& checker() {
    static const qzCacheChecker bounded = [] {
        qzCacheChecker made;
        made.setMaxListedProblems(16);
        made.setMaxSamples(4096, 64);
        return made;
    }();
    return bounded;
}

}  // namespace qzfuzz
