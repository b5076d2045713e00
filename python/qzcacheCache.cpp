// qzcache.Cache: a cache opened for reading, read straight into numpy arrays.
#include <algorithm>
#include <cstring>
#include <shared_mutex>
#include <vector>

#include "qzcacheBinding.h"

namespace qzpy {

std::shared_ptr<qzCacheFileInterface> openForReading(const std::string& description) {
    std::string location;
    std::string name;
    splitDescriptionPath(description, location, name);
    auto cache = std::make_shared<qzCacheFileInterface>();
    if (!cache->accessor()) throw std::bad_alloc();
    bool opened = false;
    {
        py::gil_scoped_release release;
        opened = cache->initFileRead(name.c_str(), location.c_str());
    }
    if (opened) return cache;
    if (!isFile(description)) {
        throw Failure(Failure::kFile, description + ": no such cache description file",
                      description);
    }
    // The description was read; the one data file did not open.
    if (cache->accessor()->distribution() == qzCacheFileAccessor::kOneFile) {
        const std::string data = utf8(cache->accessor()->constructDataFilePathForOneFile());
        throw Failure(Failure::kFile,
                      data + ": the data file of " + description + " is missing or damaged",
                      data);
    }
    throw Failure(Failure::kFile, description + ": not a readable cache description",
                  description);
}

namespace {

// Reads of one cache share it; a refresh, which changes its channels and sampling records,
// has it alone. Taken only where the GIL is released, and let go before the GIL is taken
// back, so that a refresh that holds the GIL while it waits never stops a read from ending.
using Sharing = std::shared_ptr<std::shared_mutex>;
using Reading = std::shared_lock<std::shared_mutex>;

// Why a read failed, as a Failure naming what it could not read.
[[noreturn]] void readFailure(qzCacheFileInterface& cache, std::shared_mutex& sharing,
                              const std::string& description, unsigned int channel, int time,
                              qzCacheChannel::qzCacheInterpolation method) {
    qzCacheFileAccessor& accessor = *cache.accessor();
    const std::string name = channelName(cache, channel);
    const std::string when = timeText(time, accessor.getTicksPerFrame());
    std::vector<int> times;
    {
        py::gil_scoped_release release;
        const Reading reading(sharing);
        accessor.getDataTimes(channel, times);
    }
    if (times.empty()) {
        throw Failure(Failure::kNotFound,
                      "channel '" + name + "' of " + description + " has no stored samples",
                      description, name, true, time);
    }
    const bool stored = std::binary_search(times.begin(), times.end(), time);
    if (!stored && method == qzCacheChannel::kNoInterpolation) {
        throw Failure(Failure::kNotFound,
                      "no sample of channel '" + name + "' at " + when + " in " + description +
                          " (interpolation none)",
                      description, name, true, time);
    }
    // The files the read needed: the time's own, or those of its neighbours.
    std::vector<std::string> files;
    if (accessor.distribution() == qzCacheFileAccessor::kOneFile) {
        files.push_back(utf8(accessor.constructDataFilePathForOneFile()));
    } else {
        const auto next = std::upper_bound(times.begin(), times.end(), time);
        std::vector<int> needed;
        if (stored) needed.push_back(time);
        if (!stored && next != times.begin()) needed.push_back(*(next - 1));
        if (!stored && next != times.end()) needed.push_back(*next);
        for (int at : needed) files.push_back(utf8(accessor.constructDataFilePathForOneFilePerFrame(at)));
    }
    std::string list;
    for (const std::string& file : files) list += (list.empty() ? "" : ", ") + file;
    throw Failure(Failure::kFile,
                  "cannot read channel '" + name + "' at " + when + " from " + list +
                      ": missing or damaged",
                  files.front(), name, true, time);
}

py::array makeArray(const TypeName& type, std::size_t count, std::size_t frames = 0) {
    std::vector<py::ssize_t> shape;
    if (frames > 0) shape.push_back(py::ssize_t(frames));
    shape.push_back(py::ssize_t(count));
    if (type.vector) shape.push_back(3);
    return py::array(py::dtype(type.dtype), shape);
}

class Cache {
public:
    explicit Cache(const py::object& path)
        : m_description(fsPath(path)), m_cache(openForReading(m_description)),
          m_sharing(std::make_shared<std::shared_mutex>()),
          m_counts(m_cache->numChannels(), -1) {}

    std::shared_ptr<qzCacheFileInterface> live() const {
        if (!m_cache) throw Failure(Failure::kError, m_description + " is closed", m_description);
        return m_cache;
    }
    const std::string& description() const { return m_description; }

    bool refresh() {
        std::shared_ptr<qzCacheFileInterface> cache = live();
        bool changed = false;
        bool read = false;
        {
            // With the GIL held nothing starts to read meanwhile; reads in flight end first.
            const std::unique_lock<std::shared_mutex> refreshing(*m_sharing);
            read = cache->refresh(changed);
        }
        if (!read) {
            throw Failure(Failure::kFile,
                          m_description + ": the description does not read, or describes "
                                          "another cache now; open it anew",
                          m_description);
        }
        m_counts.resize(cache->numChannels(), -1);
        return changed;
    }

    bool complete() const { return live()->isComplete(); }

    void close() {
        std::shared_ptr<qzCacheFileInterface> cache = std::move(m_cache);
        py::gil_scoped_release release;
        // Reads in flight hold the facade until they are done; the worker stops now.
        if (cache) cache->stopMultiThreadRead();
        cache.reset();
    }

    py::tuple channels() const {
        std::shared_ptr<qzCacheFileInterface> cache = live();
        qzCacheFileAccessor& accessor = *cache->accessor();
        py::object channelClass = py::module_::import("qzcache").attr("Channel");
        py::object dataType = py::module_::import("qzcache").attr("DataType");
        py::tuple result(accessor.numChannels());
        for (unsigned int index = 0; index < accessor.numChannels(); ++index) {
            qzString::IString interpretation;
            qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
            qzCacheChannel::qzCacheInterpolation interpolation = qzCacheChannel::kNoInterpolation;
            int rate = 0, start = 0, end = 0;
            accessor.channelInterpretation(index, interpretation);
            accessor.channelDataType(index, type);
            accessor.channelInterpolation(index, interpolation);
            const bool regular = accessor.channelSamplingRate(index, rate);
            accessor.getChannelStartTime(index, start);
            accessor.getChannelEndTime(index, end);
            result[index] = channelClass(
                channelName(*cache, index), dataType(typeName(type).name), utf8(interpretation),
                interpolationName(interpolation), regular ? "regular" : "irregular",
                regular ? py::object(py::int_(rate)) : py::none(), start, end);
        }
        return result;
    }

    py::object timeRange(bool end) const {
        int start = 0, last = 0;
        if (!live()->accessor()->getStartEndTime(start, last)) return py::none();
        return py::int_(end ? last : start);
    }

    py::list descriptionLines() const {
        std::shared_ptr<qzCacheFileInterface> cache = live();
        py::list lines;
        for (unsigned int i = 0; i < cache->accessor()->descriptionInfoCount(); ++i) {
            qzString::IString line;
            cache->accessor()->getDescriptionInfo(i, line);
            lines.append(utf8(line));
        }
        return lines;
    }

    py::array times(const py::object& channel) const {
        std::shared_ptr<qzCacheFileInterface> cache = live();
        const unsigned int index = channelIndex(*cache, channel, m_description);
        std::vector<int> times;
        bool listed = false;
        {
            py::gil_scoped_release release;
            const Reading reading(*m_sharing);
            listed = cache->accessor()->getDataTimes(index, times);
        }
        if (!listed) {
            throw Failure(Failure::kFile,
                          m_description + ": channel '" + channelName(*cache, index) +
                              "' claims more stored times than can be listed",
                          m_description, channelName(*cache, index));
        }
        py::array_t<int> result(py::ssize_t(times.size()));
        if (!times.empty()) std::memcpy(result.mutable_data(), times.data(), times.size() * sizeof(int));
        return std::move(result);
    }

    py::array read(const py::object& channel, std::int64_t time, const py::object& interpolation,
                   const py::object& out) {
        Request request(*this, channel, toTime(time), interpolation);
        if (!out.is_none()) return request.into(out);
        // The count of the channel's last read first: asking the file for it costs as much
        // as a third of the read. A wrong guess is told the right count, and tries once more.
        // By index: a refresh on another thread may grow the list while this one reads.
        const long long remembered = m_counts[request.index];
        unsigned int count =
            remembered >= 0 ? unsigned(remembered) : request.sizeAt(request.time);
        for (int attempt = 0;; ++attempt) {
            py::array result = makeArray(request.type, count);
            unsigned int length = 0;
            if (request.tryRead(request.time, result, length)) {
                m_counts[request.index] = count;
                return result;
            }
            if (attempt > 0 || length == 0 || length == count) {
                request.fail(request.time, count, length);
            }
            request.checkFits(request.time, length);
            count = length;
        }
    }

    py::array readFrames(const py::object& channel, const py::object& times,
                         const py::object& interpolation) {
        py::array given = py::module_::import("numpy").attr("asarray")(times).attr("ravel")();
        if (given.size() == 0) throw py::value_error("read_frames needs at least one time");
        if (given.dtype().kind() != 'i' && given.dtype().kind() != 'u') {
            throw py::type_error("times must be integer ticks, not " +
                                 py::str(given.dtype()).cast<std::string>());
        }
        auto list = given.attr("astype")("int64").cast<py::array_t<std::int64_t>>();
        std::vector<int> ticks;
        for (py::ssize_t i = 0; i < list.size(); ++i) ticks.push_back(toTime(list.at(i)));
        Request request(*this, channel, ticks.front(), interpolation);
        const unsigned int count = request.sizeAt(ticks.front());
        py::array result = makeArray(request.type, count, ticks.size());
        for (std::size_t frame = 0; frame < ticks.size(); ++frame) {
            request.readFrame(ticks[frame], result[py::int_(frame)].cast<py::array>());
        }
        return result;
    }

    py::object playback(const py::object& queueSize);

    std::string repr() const {
        if (!m_cache) return "<qzcache.Cache '" + m_description + "' (closed)>";
        qzCacheFileAccessor& accessor = *m_cache->accessor();
        std::string text = "<qzcache.Cache '" + m_description + "' " +
                           layoutName(accessor.distribution()) + " " + utf8(accessor.cacheFormat()) +
                           ", " + std::to_string(accessor.numChannels()) + " channels";
        int start = 0, end = 0;
        if (accessor.getStartEndTime(start, end)) {
            text += ", ticks " + std::to_string(start) + " to " + std::to_string(end);
        }
        return text + ">";
    }

private:
    // One read request: the channel, its type and the interpolation, the facade held for it.
    struct Request {
        Request(const Cache& owner, const py::object& channel, int at, const py::object& method)
            : cache(owner.live()), sharing(owner.m_sharing), description(owner.m_description),
              index(channelIndex(*cache, channel, description)), time(at) {
            qzCacheData::qzCacheDataType dataType = qzCacheData::kUnknownData;
            cache->channelDataType(index, dataType);
            type = typeName(dataType);
            if (!type.dtype) {
                throw Failure(Failure::kError,
                              "channel '" + channelName(*cache, index) + "' of " + description +
                                  " is " + type.name + ": it has no samples in the cache's files",
                              description, channelName(*cache, index));
            }
            if (method.is_none()) {
                cache->accessor()->channelInterpolation(index, interpolation);
            } else {
                interpolation = parseInterpolation(method.cast<std::string>());
            }
        }

        // Elements of the array a read at `at` delivers: those stored there, or at the
        // stored time before it.
        unsigned int sizeAt(int at) {
            unsigned int count = 0;
            bool sized = false;
            {
                py::gil_scoped_release release;
                const Reading reading(*sharing);
                sized = cache->accessor()->getArrayLengthAtTime(index, at, count);
            }
            if (!sized) readFailure(*cache, *sharing, description, index, at, interpolation);
            checkFits(at, count);
            return count;
        }

        // A count read from a file is checked against the files before an array that big is
        // made.
        void checkFits(int at, unsigned int count) {
            bool fits = false;
            {
                py::gil_scoped_release release;
                const Reading reading(*sharing);
                fits = cache->accessor()->arrayFitsDataFiles(index, at, count);
            }
            if (fits) return;
            throw Failure(Failure::kFile,
                          description + ": channel '" + channelName(*cache, index) + "' claims " +
                              std::to_string(count) + " elements at " +
                              timeText(at, cache->getTicksPerFrame()) +
                              ", more than its data files hold",
                          description, channelName(*cache, index), true, at);
        }

        // Reads the sample at `at` into `array`, whose first dimension is its element count.
        // On failure `length` is the count found instead, or 0.
        bool tryRead(int at, py::array& array, unsigned int& length) {
            const unsigned int count = static_cast<unsigned int>(array.shape(0));
            void* buffer = array.mutable_data();
            void* data = buffer;
            py::gil_scoped_release release;
            const Reading reading(*sharing);
            const bool read = cache->accessor()->getArrayDataAtTime(index, at, count, data, length,
                                                                    interpolation);
            // A sample lent from memory arrives through another pointer.
            if (read && data != buffer) std::memcpy(buffer, data, array.nbytes());
            return read;
        }

        [[noreturn]] void fail(int at, unsigned int count, unsigned int length) {
            if (length != 0 && length != count) {
                throw Failure(Failure::kError,
                              "channel '" + channelName(*cache, index) + "' of " + description +
                                  " has " + std::to_string(length) + " elements at or around " +
                                  timeText(at, cache->getTicksPerFrame()) + ", not " +
                                  std::to_string(count),
                              description, channelName(*cache, index), true, at);
            }
            readFailure(*cache, *sharing, description, index, at, interpolation);
        }

        void readFrame(int at, py::array array) {
            unsigned int length = 0;
            if (!tryRead(at, array, length)) fail(at, unsigned(array.shape(0)), length);
        }

        // Reads into the caller's array, which must be shaped and typed for the channel.
        py::array into(const py::object& out) {
            const std::string expected = std::string(type.dtype) +
                                         (type.vector ? " array shaped (n, 3)" : " array shaped (n,)");
            const std::string what = "out for channel '" + channelName(*cache, index) + "' must be a ";
            if (!py::isinstance<py::array>(out)) throw py::type_error(what + expected);
            py::array array = out.cast<py::array>();
            if (!array.dtype().is(py::dtype(type.dtype))) {
                throw py::type_error(what + expected + ", not " +
                                     py::str(array.dtype()).cast<std::string>());
            }
            if (array.ndim() != (type.vector ? 2 : 1) || (type.vector && array.shape(1) != 3) ||
                !(array.flags() & py::array::c_style) || !array.writeable()) {
                throw py::value_error(what + "writeable, C-contiguous " + expected);
            }
            readFrame(time, array);
            return array;
        }

        std::shared_ptr<qzCacheFileInterface> cache;
        Sharing sharing;
        const std::string& description;
        unsigned int index;
        int time;
        TypeName type{};
        qzCacheChannel::qzCacheInterpolation interpolation = qzCacheChannel::kNoInterpolation;
    };

    std::string m_description;
    std::shared_ptr<qzCacheFileInterface> m_cache;
    Sharing m_sharing;
    // Per channel, the element count its last read delivered (-1 before one); guarded by the
    // GIL.
    std::vector<long long> m_counts;
};

// The background worker between start and stop, as a context manager.
class Playback {
public:
    Playback(std::shared_ptr<qzCacheFileInterface> cache, Sharing sharing,
             std::string description, unsigned int queueSize)
        : m_cache(std::move(cache)), m_sharing(std::move(sharing)),
          m_description(std::move(description)), m_queueSize(queueSize) {}

    Playback& enter() {
        bool started = false;
        {
            py::gil_scoped_release release;
            const Reading reading(*m_sharing);
            if (m_queueSize > 0) m_cache->setMemoryPreLoadQueueSize(m_queueSize);
            started = m_cache->startMultiThreadRead(false);
        }
        if (!started) {
            throw Failure(Failure::kError, m_description + ": playback is running already",
                          m_description);
        }
        return *this;
    }
    void exit(const py::args&) {
        py::gil_scoped_release release;
        m_cache->stopMultiThreadRead();
    }

private:
    std::shared_ptr<qzCacheFileInterface> m_cache;
    Sharing m_sharing;
    std::string m_description;
    unsigned int m_queueSize;
};

py::object Cache::playback(const py::object& queueSize) {
    unsigned int size = 0;
    if (!queueSize.is_none()) {
        const long long value = queueSize.cast<long long>();
        if (value < 3 || value > 1 << 16) {
            throw py::value_error("queue_size must lie between 3 and 65536 times");
        }
        size = static_cast<unsigned int>(value);
    }
    return py::cast(Playback(live(), m_sharing, m_description, size));
}

}  // namespace

void defineCache(py::module_& module) {
    py::class_<Playback>(module, "Playback",
                         "Background preloading while the block runs; see Cache.playback.")
        .def("__enter__", &Playback::enter, py::return_value_policy::reference_internal)
        .def("__exit__", &Playback::exit);

    py::class_<Cache>(module, "Cache",
                      "A cache opened for reading with qzcache.open(); closes with close() or\n"
                      "at the end of a with block. Reads land in numpy arrays.")
        .def("close", &Cache::close,
             "Closes the cache; reads on other threads finish first. Safe to call twice.")
        .def("__enter__", [](Cache& cache) -> Cache& { return cache; },
             py::return_value_policy::reference_internal)
        .def("__exit__", [](Cache& cache, const py::args&) { cache.close(); })
        .def("__repr__", &Cache::repr)
        .def_property_readonly("path", &Cache::description, "The description file's path.")
        .def_property_readonly(
            "ticks_per_frame",
            [](const Cache& cache) { return cache.live()->getTicksPerFrame(); },
            "Ticks in one frame (times are in ticks).")
        .def_property_readonly(
            "layout",
            [](const Cache& cache) { return layoutName(cache.live()->accessor()->distribution()); },
            "\"one-file\" (all times in one data file) or \"per-frame\" (a file per time).")
        .def_property_readonly(
            "format", [](const Cache& cache) { return utf8(cache.live()->accessor()->cacheFormat()); },
            "\"kcc\" (32-bit data files) or \"kcx\" (64-bit).")
        .def_property_readonly(
            "start", [](const Cache& cache) { return cache.timeRange(false); },
            "The earliest channel start time in ticks; None without channels.")
        .def_property_readonly(
            "end", [](const Cache& cache) { return cache.timeRange(true); },
            "The latest channel end time in ticks; None without channels.")
        .def_property_readonly("description", &Cache::descriptionLines,
                               "The free description lines, as a list of str.")
        .def_property_readonly("channels", &Cache::channels,
                               "The channels, a tuple of qzcache.Channel in index order.")
        .def("refresh", &Cache::refresh,
             "Reads the description again and learns what a writer added since: new\n"
             "channels and times, later end times; True when anything changed. Samples\n"
             "already read stay valid. Raises FileError when the description does not read\n"
             "or now describes another cache (another layout, format, frame length or a\n"
             "channel of another type).")
        .def_property_readonly("complete", &Cache::complete,
                               "False while the description says its writer has not finished\n"
                               "(a live cache); refresh() learns when it has.")
        .def("times", &Cache::times, py::arg("channel"),
             "The channel's stored times in ticks: an int32 array, ascending.")
        .def("read", &Cache::read, py::arg("channel"), py::arg("time"),
             py::arg("interpolation") = py::none(), py::arg("out") = py::none(),
             "Reads a channel (name or index) at a time in ticks into a numpy array.\n\n"
             "Vector channels give (n, 3) arrays, the others (n,); float32, float64 or int32\n"
             "as the channel's type. Between stored times the channel's own interpolation\n"
             "answers, or the one given: \"none\", \"previous\", \"next\", \"linear\",\n"
             "\"catmull-rom\"; before the first and after the last stored time the first or\n"
             "last sample. With out, the sample lands in that array (right dtype and shape,\n"
             "C-contiguous), which is returned.\n\n"
             "Raises NotFoundError when nothing is stored to answer (a time between samples\n"
             "with interpolation \"none\", a channel without samples), FileError when a data\n"
             "file is missing or damaged, Error when samples around the time differ in size.")
        .def("read_frames", &Cache::readFrames, py::arg("channel"), py::arg("times"),
             py::arg("interpolation") = py::none(),
             "Reads a channel at each of several times into one array shaped (times, n, 3)\n"
             "or (times, n); every time must give the same element count.")
        .def("playback", &Cache::playback, py::arg("queue_size") = py::none(),
             "A context manager that runs the background worker while the block runs: it\n"
             "loads the times around the last one read (queue_size of them, at least 3)\n"
             "into memory ahead of the reads.");

    module.def("open", [](const py::object& path) { return Cache(path); }, py::arg("path"),
               "Opens the cache whose description file is path (str or os.PathLike).\n\n"
               "Raises FileError when the description or a one-file cache's data file is\n"
               "missing or unreadable.");
}

}  // namespace qzpy
