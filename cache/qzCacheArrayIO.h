// Reading and writing one array through a qzCacheFileIO by the data type of its channel: the
// one switch from a qzCacheData type to the file IO's array operations. Internal (not
// installed), for the accessor and for the library's walks over data files.
#pragma once

#include "qzCacheData.h"

class qzCacheFileIO;

// Reads the array the reader stands on as one of `type`, `count` elements into `data`. Gives
// the reader's answer; false, without a call, for a type without arrays (kDouble,
// kUnknownData, values outside the enumeration). `data` is handed on as it is.
bool qzReadArray(qzCacheFileIO& reader, qzCacheData::qzCacheDataType type, void* data,
                 unsigned int count);

// Writes `count` elements of `data` as an array of `type`. Gives the writer's answer; false,
// without a call, for a type without arrays.
bool qzWriteArray(qzCacheFileIO& writer, qzCacheData::qzCacheDataType type, const void* data,
                  unsigned int count);
