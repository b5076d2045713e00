// Reading beside a writer.
#include "qzCacheFileAccessorPrivate.h"
#include "qzCacheFileIffIO.h"

std::unique_ptr<qzCacheFileIO> qzCreateSideReader(const qzString::IString& cacheFormat) {
    return std::unique_ptr<qzCacheFileIO>(
        new qzCacheFileIffIO(qzCacheFileIO::kRead, cacheFormat));
}

bool qzFlushWriter(qzCacheFileIO* writer) {
    // Other formats have no buffer we know of; what they wrote is theirs to show.
    auto* iff = dynamic_cast<qzCacheFileIffIO*>(writer);
    return !iff || iff->flush();
}

bool qzWriterFailed(qzCacheFileIO* writer) {
    auto* iff = dynamic_cast<qzCacheFileIffIO*>(writer);
    return iff && iff->hasWriteError();
}
