// Pieces shared by the parts of the qzcache module: failures raised as the package's
// exception classes, paths, and the names the module gives the library's enumerations.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "qzCacheChannel.h"
#include "qzCacheData.h"
#include "qzCacheFileAccessor.h"
#include "qzCacheFileInterface.h"
#include "qzString.h"

namespace py = pybind11;

namespace qzpy {

// Thrown anywhere in the module, also without the GIL; raised as qzcache.Error,
// qzcache.FileError (an OSError) or qzcache.NotFoundError (a KeyError) with the file, the
// channel and the time as attributes.
class Failure : public std::runtime_error {
public:
    enum Kind { kError, kFile, kNotFound };
    Failure(Kind failureKind, const std::string& message, std::string filePath = std::string(),
            std::string channelText = std::string(), bool timed = false, int at = 0)
        : std::runtime_error(message), kind(failureKind), file(std::move(filePath)),
          channel(std::move(channelText)), hasTime(timed), time(at) {}
    Kind kind;
    std::string file;
    std::string channel;
    bool hasTime;
    int time;
};
void registerFailures();

// Names as the module spells them.
struct TypeName {
    qzCacheData::qzCacheDataType type;
    const char* name;
    const char* dtype;  // null for the types without arrays
    bool vector;        // elements of three scalars, arrays shaped (n, 3)
};
const TypeName& typeName(qzCacheData::qzCacheDataType type);
// TypeError unless `type` is a str naming one of the types a channel can be written with.
const TypeName& parseTypeName(const py::handle& type);
const char* interpolationName(qzCacheChannel::qzCacheInterpolation interpolation);
// ValueError unless the name is one of "none", "previous", "next", "linear", "catmull-rom".
qzCacheChannel::qzCacheInterpolation parseInterpolation(const std::string& name);
qzCacheFileInterface::cacheFileFormat parseLayout(const std::string& layout);
const char* layoutName(qzCacheFileAccessor::qzCacheFileDistribution distribution);
// ValueError unless "kcc" or "kcx".
void checkFormat(const std::string& format);
void checkTicksPerFrame(int ticksPerFrame);

std::string utf8(const qzString::IString& text);
qzString::IString istring(const std::string& text);

// A str or os.PathLike as a str (os.fsdecode).
std::string fsPath(const py::handle& path);
// The storage location of a directory given with or without its trailing separator.
std::string directoryLocation(const std::string& directory);
// Storage location and base name from the path of a description file ("d/shot.xml").
void splitDescriptionPath(const std::string& path, std::string& location, std::string& name);
bool isFile(const std::string& path);

// A time given in Python as a 32-bit tick count; ValueError outside that range.
int toTime(std::int64_t time);
// "time 2625 (frame 10.5)".
std::string timeText(int time, int ticksPerFrame);

// One cache opened for reading, its facade shared with the reads in flight so that closing it
// never frees what another thread is reading through.
std::shared_ptr<qzCacheFileInterface> openForReading(const std::string& description);
// A channel given by name or index; NotFoundError when there is none.
unsigned int channelIndex(qzCacheFileInterface& cache, const py::handle& channel,
                          const std::string& description);
std::string channelName(qzCacheFileInterface& cache, unsigned int channel);

void defineCache(py::module_& module);
void defineWriter(py::module_& module);

}  // namespace qzpy
