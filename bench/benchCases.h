// Registration of the benchmark cases, in the order they run: baselines first, so that every
// cache case finds its baseline measured.
#pragma once

#include "benchSupport.h"

namespace qzbench {

void defineBaselines();
void registerBaselines();
void registerWriteCases();
void registerReadCases();
void registerWorkerCases();
void registerLiveCases();

// Peak and current resident memory of this process, in bytes; 0 when unknown.
std::uint64_t peakResidentBytes();
std::uint64_t currentResidentBytes();
// Starts a new peak from the current size; false where the system cannot.
bool resetPeakResident();

}  // namespace qzbench
