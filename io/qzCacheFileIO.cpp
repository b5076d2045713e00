#include "qzCacheFileIO.h"

qzCacheFileIO::qzCacheFileIO(qzCacheFileAccess access)
    : m_startTime(0), m_endTime(0), m_accessMode(access) {}

qzCacheFileIO::~qzCacheFileIO() = default;

bool qzCacheFileIO::handlesDescription() { return false; }

bool qzCacheFileIO::readDescription(qzCacheFileAccessor*) { return false; }

bool qzCacheFileIO::writeDescription(qzCacheFileAccessor*) { return false; }
