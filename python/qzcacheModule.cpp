// The extension module behind the qzcache package: names, paths, failures, PC2 and MDD
// conversion.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>

#include "qzcacheBinding.h"

namespace qzpy {

namespace {

const TypeName kTypeNames[] = {
    {qzCacheData::kFloatVectorArray, "float_vector_array", "float32", true},
    {qzCacheData::kDoubleVectorArray, "double_vector_array", "float64", true},
    {qzCacheData::kFloatArray, "float_array", "float32", false},
    {qzCacheData::kDoubleArray, "double_array", "float64", false},
    {qzCacheData::kInt32Array, "int32_array", "int32", false},
    {qzCacheData::kDouble, "double", nullptr, false},
    {qzCacheData::kUnknownData, "unknown", nullptr, false},
};

struct InterpolationName {
    qzCacheChannel::qzCacheInterpolation value;
    const char* name;
};
const InterpolationName kInterpolationNames[] = {
    {qzCacheChannel::kNoInterpolation, "none"},   {qzCacheChannel::kStepPrevious, "previous"},
    {qzCacheChannel::kStepNext, "next"},          {qzCacheChannel::kLinear, "linear"},
    {qzCacheChannel::kCatmullRom, "catmull-rom"},
};

std::string typeNameList() {
    std::string names;
    for (const TypeName& entry : kTypeNames) {
        if (entry.type == qzCacheData::kUnknownData) continue;
        names += names.empty() ? "" : ", ";
        names += entry.name;
    }
    return names;
}

}  // namespace

const TypeName& typeName(qzCacheData::qzCacheDataType type) {
    for (const TypeName& entry : kTypeNames) {
        if (entry.type == type) return entry;
    }
    return kTypeNames[std::size(kTypeNames) - 1];
}

const TypeName& parseTypeName(const py::handle& type) {
    if (py::isinstance<py::str>(type)) {
        // A qzcache.DataType member is a str holding its name.
        const std::string name = type.cast<std::string>();
        for (const TypeName& entry : kTypeNames) {
            if (name == entry.name && entry.type != qzCacheData::kUnknownData) return entry;
        }
    }
    throw py::type_error("unknown channel type " + py::repr(type).cast<std::string>() +
                         "; give one of " + typeNameList() + " or a qzcache.DataType");
}

const char* interpolationName(qzCacheChannel::qzCacheInterpolation interpolation) {
    for (const InterpolationName& entry : kInterpolationNames) {
        if (entry.value == interpolation) return entry.name;
    }
    return "none";
}

qzCacheChannel::qzCacheInterpolation parseInterpolation(const std::string& name) {
    for (const InterpolationName& entry : kInterpolationNames) {
        if (name == entry.name) return entry.value;
    }
    throw py::value_error("unknown interpolation '" + name +
                          "'; give none, previous, next, linear or catmull-rom");
}

qzCacheFileInterface::cacheFileFormat parseLayout(const std::string& layout) {
    if (layout == "one-file") return qzCacheFileInterface::kFormatOneFile;
    if (layout == "per-frame") return qzCacheFileInterface::kFormatOneFilePerFrame;
    throw py::value_error("unknown layout '" + layout + "'; give one-file or per-frame");
}

const char* layoutName(qzCacheFileAccessor::qzCacheFileDistribution distribution) {
    switch (distribution) {
    case qzCacheFileAccessor::kOneFile: return "one-file";
    case qzCacheFileAccessor::kOneFilePerFrame: return "per-frame";
    default: return "none";
    }
}

void checkFormat(const std::string& format) {
    if (format != "kcc" && format != "kcx") {
        throw py::value_error("unknown format '" + format +
                              "'; give kcc (32-bit data files) or kcx (64-bit)");
    }
}

void checkTicksPerFrame(int ticksPerFrame) {
    if (ticksPerFrame <= 0) throw py::value_error("ticks_per_frame must be positive");
}

std::string utf8(const qzString::IString& text) {
    const char* bytes = text.asUTF8();
    return bytes ? std::string(bytes) : std::string();
}

qzString::IString istring(const std::string& text) { return qzString::IString(text.c_str(), 1); }

std::string fsPath(const py::handle& path) {
    return py::module_::import("os").attr("fsdecode")(path).cast<std::string>();
}

std::string directoryLocation(const std::string& directory) {
    // The library puts names straight after its storage location.
    if (directory.empty() || directory.back() == '/') return directory;
    return directory + "/";
}

void splitDescriptionPath(const std::string& path, std::string& location, std::string& name) {
    const std::size_t slash = path.rfind('/');
    location = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string extension = ".xml";
    if (name.size() > extension.size() &&
        name.compare(name.size() - extension.size(), extension.size(), extension) == 0) {
        name.resize(name.size() - extension.size());
    }
}

bool isFile(const std::string& path) {
    return py::module_::import("os").attr("path").attr("isfile")(path).cast<bool>();
}

int toTime(std::int64_t time) {
    if (time < std::numeric_limits<int>::min() || time > std::numeric_limits<int>::max()) {
        throw py::value_error("time " + std::to_string(time) + " is beyond 32-bit ticks");
    }
    return static_cast<int>(time);
}

std::string timeText(int time, int ticksPerFrame) {
    std::string text = "time " + std::to_string(time);
    if (ticksPerFrame <= 0) return text;
    char frame[48];
    std::snprintf(frame, sizeof frame, " (frame %.10g)", double(time) / ticksPerFrame);
    return text + frame;
}

void registerFailures() {
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const Failure& failure) {
            static const char* const kClasses[] = {"Error", "FileError", "NotFoundError"};
            py::object type = py::module_::import("qzcache").attr(kClasses[failure.kind]);
            py::object error = type(failure.what());
            auto optional = [](const std::string& text) -> py::object {
                return text.empty() ? py::object(py::none()) : py::object(py::str(text));
            };
            error.attr("filename") = optional(failure.file);
            error.attr("channel") = optional(failure.channel);
            error.attr("time") = failure.hasTime ? py::object(py::int_(failure.time)) : py::none();
            PyErr_SetObject(type.ptr(), error.ptr());
        }
    });
}

unsigned int channelIndex(qzCacheFileInterface& cache, const py::handle& channel,
                          const std::string& description) {
    const std::uint64_t count = cache.numChannels();
    if (py::isinstance<py::str>(channel)) {
        const std::string name = channel.cast<std::string>();
        unsigned int index = 0;
        if (cache.hasChannelByName(name.c_str(), index)) return index;
        throw Failure(Failure::kNotFound, description + " has no channel '" + name + "'",
                      description, name);
    }
    // Any integer, numpy's included; not a bool.
    if (!PyIndex_Check(channel.ptr()) || py::isinstance<py::bool_>(channel)) {
        throw py::type_error("a channel is given by its name (str) or index (int), not " +
                             py::repr(channel).cast<std::string>());
    }
    PyObject* number = PyNumber_Index(channel.ptr());
    if (!number) throw py::error_already_set();
    const long long index = py::reinterpret_steal<py::int_>(number).cast<long long>();
    if (index < 0 || std::uint64_t(index) >= count) {
        throw Failure(Failure::kNotFound,
                      description + " has no channel " + std::to_string(index) + " (it has " +
                          std::to_string(count) + ")",
                      description);
    }
    return static_cast<unsigned int>(index);
}

std::string channelName(qzCacheFileInterface& cache, unsigned int channel) {
    qzString::IString name;
    cache.accessor()->channelName(channel, name);
    return utf8(name);
}

namespace {

// The converters of one point cache format, and its name for messages.
struct PointFormat {
    const char* name;
    std::function<bool(const char* file, const char* location, const char* base,
                       unsigned int channel, int step)>
        to;
    std::function<bool(const char* file, const char* location, const char* base,
                       qzCacheFileInterface::cacheFileFormat layout, const char* format,
                       int ticksPerFrame)>
        from;
    // The frames a file holds and those its header claims; false when it is not of the format.
    std::function<bool(const char* file, int& held, int& claimed)> count;
};

void toPointFile(const PointFormat& kind, const py::object& filePath,
                 const py::object& descriptionPath, const py::object& channel,
                 const py::object& step) {
    const std::string file = fsPath(filePath);
    const std::string description = fsPath(descriptionPath);
    std::shared_ptr<qzCacheFileInterface> cache = openForReading(description);
    const unsigned int index = channelIndex(*cache, channel, description);
    const std::string name = channelName(*cache, index);
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    cache->channelDataType(index, type);
    if (type != qzCacheData::kFloatVectorArray && type != qzCacheData::kDoubleVectorArray &&
        type != qzCacheData::kFloatArray) {
        throw py::value_error("channel '" + name + "' of " + description + " is " +
                              typeName(type).name + "; a " + kind.name +
                              " file holds points (float_vector_array, "
                              "double_vector_array, or float_array as x, y, z triples)");
    }
    int ticks = 0;
    if (!step.is_none()) {
        ticks = toTime(step.cast<std::int64_t>());
        if (ticks <= 0) throw py::value_error("step must be a positive number of ticks");
    } else if (!cache->isChannelSamplingRegular(index)) {
        throw py::value_error("channel '" + name + "' of " + description +
                              " is irregularly sampled: give the step in ticks");
    }
    std::string location;
    std::string base;
    splitDescriptionPath(description, location, base);
    bool converted = false;
    {
        py::gil_scoped_release release;
        cache.reset();
        converted = kind.to(file.c_str(), location.c_str(), base.c_str(), index, ticks);
    }
    if (!converted) {
        throw Failure(Failure::kFile,
                      "could not convert channel '" + name + "' of " + description + " to " +
                          file + ": a sample could not be read or the file could not be written",
                      file, name);
    }
}

std::string fromPointFile(const PointFormat& kind, const py::object& filePath,
                          const py::object& directory, const std::string& name,
                          const std::string& layout, const std::string& format,
                          int ticksPerFrame) {
    const std::string file = fsPath(filePath);
    const std::string location = directoryLocation(fsPath(directory));
    const qzCacheFileInterface::cacheFileFormat files = parseLayout(layout);
    checkFormat(format);
    checkTicksPerFrame(ticksPerFrame);
    if (name.empty() || name.find('/') != std::string::npos) {
        throw py::value_error("a cache name is a file name without directory: '" + name + "'");
    }
    if (!isFile(file)) {
        throw Failure(Failure::kFile, file + ": no such " + std::string(kind.name) + " file", file);
    }
    bool converted = false;
    {
        py::gil_scoped_release release;
        converted = kind.from(file.c_str(), location.c_str(), name.c_str(), files, format.c_str(),
                              ticksPerFrame);
    }
    const std::string description = location + name + ".xml";
    int held = 0;
    int claimed = 0;
    if (!converted && kind.count(file.c_str(), held, claimed) && held > 0 && held < claimed) {
        throw Failure(Failure::kFile,
                      file + " is cut short: it holds " + std::to_string(held) + " of its " +
                          std::to_string(claimed) + " frames, which " + description + " holds",
                      file);
    }
    if (!converted) {
        throw Failure(Failure::kFile,
                      "could not convert " + file + " to the cache " + description + ": not a " +
                          "readable " + kind.name + " file, or the cache could not be written",
                      file);
    }
    return description;
}

const PointFormat kPc2 = {"PC2", &qzCacheFileInterface::convertToPc2,
                          &qzCacheFileInterface::convertFromPc2,
                          [](const char* file, int& held, int& claimed) {
                              qzCacheFileInterface::Pc2Header header;
                              const bool read = qzCacheFileInterface::readPc2Header(file, header);
                              held = header.samplesInFile;
                              claimed = header.numSamples;
                              return read;
                          }};

// MDD times are seconds: the rate says how many frames one lasts.
PointFormat mddAt(double fps) {
    if (!std::isfinite(fps) || fps <= 0.0)
        throw py::value_error("fps must be a number of frames per second above 0");
    return {"MDD",
            [fps](const char* file, const char* location, const char* base, unsigned int channel,
                  int step) {
                return qzCacheFileInterface::convertToMdd(file, location, base, channel, step, fps);
            },
            [fps](const char* file, const char* location, const char* base,
                  qzCacheFileInterface::cacheFileFormat layout, const char* format,
                  int ticksPerFrame) {
                return qzCacheFileInterface::convertFromMdd(file, location, base, layout, format,
                                                            ticksPerFrame, fps);
            },
            [](const char* file, int& held, int& claimed) {
                qzCacheFileInterface::MddHeader header;
                const bool read = qzCacheFileInterface::readMddHeader(file, header);
                held = header.framesInFile;
                claimed = header.numFrames;
                return read;
            }};
}

}  // namespace

}  // namespace qzpy

PYBIND11_MODULE(_qzcache, module) {
    using namespace qzpy;
    module.doc() = "The compiled part of the qzcache package; use the package itself.";
    registerFailures();
    defineCache(module);
    defineWriter(module);
    module.def(
        "to_pc2",
        [](const py::object& path, const py::object& description, const py::object& channel,
           const py::object& step) { toPointFile(kPc2, path, description, channel, step); },
        py::arg("pc2_path"), py::arg("description_path"), py::arg("channel"),
        py::arg("step") = py::none(),
        "Writes one vector channel of a cache to a PC2 point cache file.\n\n"
        "channel is a name or an index. A regularly sampled channel is written at its\n"
        "own rate; an irregularly sampled one needs step (ticks), at which it is\n"
        "resampled from its first time. float_array channels are read as x, y, z\n"
        "triples. Raises ValueError for a channel PC2 cannot hold and FileError\n"
        "when reading or writing fails.");
    module.def(
        "from_pc2",
        [](const py::object& path, const py::object& directory, const std::string& name,
           const std::string& layout, const std::string& format, int ticksPerFrame) {
            return fromPointFile(kPc2, path, directory, name, layout, format, ticksPerFrame);
        },
        py::arg("pc2_path"), py::arg("directory"), py::arg("name"),
        py::arg("layout") = "per-frame", py::arg("format") = "kcx",
        py::arg("ticks_per_frame") = 250,
        "Makes a new cache from a PC2 file and returns its description path.\n\n"
        "The cache has one double_vector_array channel named after the PC2 file\n"
        "(interpretation \"Points\"), with a sample at each of the file's frames.");
    module.def(
        "to_mdd",
        [](const py::object& path, const py::object& description, const py::object& channel,
           double fps, const py::object& step) {
            toPointFile(mddAt(fps), path, description, channel, step);
        },
        py::arg("mdd_path"), py::arg("description_path"), py::arg("channel"), py::arg("fps"),
        py::arg("step") = py::none(),
        "Writes one vector channel of a cache to an MDD point cache file.\n\n"
        "As to_pc2; each frame's time is written in seconds: ticks / (ticks per frame\n"
        "x fps). Raises ValueError for an fps not above 0 or a channel MDD cannot hold,\n"
        "and FileError when reading or writing fails.");
    module.def(
        "from_mdd",
        [](const py::object& path, const py::object& directory, const std::string& name,
           double fps, const std::string& layout, const std::string& format,
           int ticksPerFrame) {
            return fromPointFile(mddAt(fps), path, directory, name, layout, format,
                                 ticksPerFrame);
        },
        py::arg("mdd_path"), py::arg("directory"), py::arg("name"), py::arg("fps"),
        py::arg("layout") = "per-frame", py::arg("format") = "kcx",
        py::arg("ticks_per_frame") = 250,
        "Makes a new cache from an MDD file and returns its description path.\n\n"
        "The cache has one double_vector_array channel named after the MDD file\n"
        "(interpretation \"Points\"). A frame at t seconds lands at t x fps x\n"
        "ticks_per_frame ticks, rounded to the nearest tick. Raises FileError for a\n"
        "file that is not MDD, whose times are not finite or do not increase, or that\n"
        "is cut short (the frames it holds are converted first).");
}
