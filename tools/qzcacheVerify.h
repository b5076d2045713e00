// The verify command: the library's cache checker, its report as text or JSON.
#pragma once

#include <string>

#include "qzCacheChecker.h"

namespace qztool {

class Progress;

// Checks the cache whose description is at `descriptionPath`; `progress` may be null.
qzCacheCheckReport checkCache(const std::string& descriptionPath, Progress* progress);

// "truncated /dir/shot.kc at offset 64, time 750, channel "pos": ...; 3 sample(s) lost"
std::string problemText(const qzCacheProblem& problem);
void printVerifyText(const qzCacheCheckReport& report);
std::string verifyJson(const qzCacheCheckReport& report);

}  // namespace qztool
