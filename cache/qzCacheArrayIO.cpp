#include "qzCacheArrayIO.h"

#include "qzCacheFileIO.h"

bool qzReadArray(qzCacheFileIO& reader, qzCacheData::qzCacheDataType type, void* data,
                 unsigned int count) {
    switch (type) {
    case qzCacheData::kDoubleArray: return reader.readDoubleArray(static_cast<double*>(data), count);
    case qzCacheData::kDoubleVectorArray:
        return reader.readDoubleVectorArray(static_cast<double*>(data), count);
    case qzCacheData::kInt32Array: return reader.readInt32Array(static_cast<int*>(data), count);
    case qzCacheData::kFloatArray: return reader.readFloatArray(static_cast<float*>(data), count);
    case qzCacheData::kFloatVectorArray:
        return reader.readFloatVectorArray(static_cast<float*>(data), count);
    default: return false;
    }
}

bool qzWriteArray(qzCacheFileIO& writer, qzCacheData::qzCacheDataType type, const void* data,
                  unsigned int count) {
    switch (type) {
    case qzCacheData::kDoubleArray:
        return writer.writeDoubleArray(static_cast<const double*>(data), count);
    case qzCacheData::kDoubleVectorArray:
        return writer.writeDoubleVectorArray(static_cast<const double*>(data), count);
    case qzCacheData::kInt32Array:
        return writer.writeInt32Array(static_cast<const int*>(data), count);
    case qzCacheData::kFloatArray:
        return writer.writeFloatArray(static_cast<const float*>(data), count);
    case qzCacheData::kFloatVectorArray:
        return writer.writeFloatVectorArray(static_cast<const float*>(data), count);
    default: return false;
    }
}
