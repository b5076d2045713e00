// The recording fake made without a disk: opens nothing, names the extension it was given.
#pragma once

#include "recordingFileIO.h"

namespace qztest {
using StubFileIO = RecordingFileIO;
}  // namespace qztest
