// Memory cache and background preloading.
#include "qzCacheFileAccessor.h"

// Interim until the preloading code lands: the copying mode finds nothing.
bool qzCacheFileAccessor::getStoredArrayDataByCopying(unsigned int, int, unsigned int, void*&,
                                                      unsigned int&) {
    return false;
}
