#include "qzCacheData.h"

qzCacheData::~qzCacheData() = default;

unsigned int qzCacheData::arrayLength() const { return 0; }

std::size_t qzCacheData::elementSize(qzCacheDataType type) {
    switch (type) {
    case kDoubleArray: return sizeof(double);
    case kDoubleVectorArray: return 3 * sizeof(double);
    case kInt32Array: return 4;
    case kFloatArray: return sizeof(float);
    case kFloatVectorArray: return 3 * sizeof(float);
    default: return 0;
    }
}

unsigned int qzCacheData::scalarsPerElement(qzCacheDataType type) {
    switch (type) {
    case kDoubleArray:
    case kInt32Array:
    case kFloatArray: return 1;
    case kDoubleVectorArray:
    case kFloatVectorArray: return 3;
    default: return 0;
    }
}

qzNumericCacheData::~qzNumericCacheData() = default;

qzPtrCacheData::~qzPtrCacheData() = default;
