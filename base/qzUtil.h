#pragma once

#include "qzCacheExport.h"

namespace qzUtil {

// Result of a platform operation: code 0 is success.
class QZCACHE_API Error {
public:
    Error() : m_code(0) {}
    explicit Error(int code) : m_code(code) {}
    int code() const { return m_code; }
    bool failed() const { return m_code != 0; }

private:
    int m_code;
};

enum ErrorCode { kSuccess = 0, kNotFound = 1, kNotADirectory = 2, kAccessDenied = 3, kFailure = 4 };

}  // namespace qzUtil
