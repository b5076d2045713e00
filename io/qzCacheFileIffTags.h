// The tags of the cache data file's groups and chunks (docs/file-format.md).
#pragma once

#include "qzIffTag.h"

namespace cacheTags {

inline constexpr iff::qzIffTag kCACH{'C', 'A', 'C', 'H'};
inline constexpr iff::qzIffTag kVRSN{'V', 'R', 'S', 'N'};
inline constexpr iff::qzIffTag kSTIM{'S', 'T', 'I', 'M'};
inline constexpr iff::qzIffTag kETIM{'E', 'T', 'I', 'M'};
inline constexpr iff::qzIffTag kKLCH{'K', 'L', 'C', 'H'};
inline constexpr iff::qzIffTag kTIME{'T', 'I', 'M', 'E'};
inline constexpr iff::qzIffTag kCHNM{'C', 'H', 'N', 'M'};
inline constexpr iff::qzIffTag kSIZE{'S', 'I', 'Z', 'E'};
inline constexpr iff::qzIffTag kDBLA{'D', 'B', 'L', 'A'};
inline constexpr iff::qzIffTag kDVCA{'D', 'V', 'C', 'A'};
inline constexpr iff::qzIffTag kFBCA{'F', 'B', 'C', 'A'};
inline constexpr iff::qzIffTag kFVCA{'F', 'V', 'C', 'A'};
inline constexpr iff::qzIffTag kINTA{'I', 'N', 'T', 'A'};
inline constexpr iff::qzIffTag kINT3{'I', 'N', 'T', '3'};
inline constexpr iff::qzIffTag kBOOL{'B', 'O', 'O', 'L'};

}  // namespace cacheTags
