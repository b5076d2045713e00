// Reading beside a writer.
#include "qzCacheFileAccessorPrivate.h"

// Interim until the IFF data files land: nothing can be read beside a writer yet.
std::unique_ptr<qzCacheFileIO> qzCreateSideReader(const qzString::IString&) { return nullptr; }

void qzFlushWriter(qzCacheFileIO*) {}
