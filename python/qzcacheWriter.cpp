// qzcache.Writer: a new cache written from numpy arrays.
#include <mutex>
#include <vector>

#include "qzcacheBinding.h"

namespace qzpy {

namespace {

// One value of a write, checked and ready for the library.
struct Sample {
    unsigned int channel;
    std::string name;
    bool isArray = false;
    py::array array;  // C-contiguous
    double value = 0.0;
};

class Writer {
public:
    Writer(const py::object& directory, const std::string& name, const std::string& layout,
           const std::string& format, int ticksPerFrame, bool live, double liveInterval)
        : m_location(directoryLocation(fsPath(directory))), m_name(name),
          m_layout(layout), m_format(format) {
        const qzCacheFileInterface::cacheFileFormat files = parseLayout(layout);
        checkFormat(format);
        checkTicksPerFrame(ticksPerFrame);
        if (!(liveInterval >= 0.0 && liveInterval <= 86400.0)) {
            throw py::value_error("live_interval is seconds between 0 and 86400");
        }
        if (name.empty() || name.find('/') != std::string::npos) {
            throw py::value_error("a cache name is a file name without directory: '" + name + "'");
        }
        m_cache.reset(new qzCacheFileInterface());
        bool opened = false;
        {
            py::gil_scoped_release release;
            opened = m_cache->initFileWrite(m_location.c_str(), name.c_str(), files,
                                            format.c_str(), ticksPerFrame);
        }
        if (!opened) {
            const std::string data = utf8(m_cache->accessor()->constructDataFilePathForOneFile());
            throw Failure(Failure::kFile, data + ": cannot create the data file", data);
        }
        m_cache->setLiveWrite(live, static_cast<unsigned int>(liveInterval * 1000.0 + 0.5));
    }

    std::string description() const { return m_location + m_name + ".xml"; }

    void addChannel(const std::string& name, const py::object& type,
                    const std::string& interpretation) {
        const TypeName& kind = parseTypeName(type);
        if (name.empty()) throw py::value_error("a channel needs a name");
        qzCacheFileInterface& cache = live();
        unsigned int index = 0;
        if (cache.hasChannelByName(name.c_str(), index)) {
            throw py::value_error(description() + " has a channel '" + name + "' already");
        }
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> busy(m_busy);
        cache.addChannel(name.c_str(), interpretation.c_str(), kind.type, index);
    }

    void write(std::int64_t ticks, const py::dict& values) {
        const int time = toTime(ticks);
        qzCacheFileInterface& cache = live();
        // Everything is checked before anything is written.
        std::vector<Sample> samples;
        for (const auto& item : values) {
            samples.push_back(check(cache, item.first, item.second));
        }
        std::string failed;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> busy(m_busy);
            qzCacheFileAccessor& accessor = *cache.accessor();
            cache.beginWriteAtTime(time);
            for (Sample& sample : samples) {
                bool written = false;
                if (sample.isArray) {
                    written = cache.addArrayData(sample.channel, time,
                                                 const_cast<void*>(sample.array.data()),
                                                 unsigned(sample.array.shape(0)));
                } else {
                    // Single values have no place in the data files: the channel keeps them
                    // in memory, and its times reach the description.
                    accessor.setMemoryCache(true);
                    written = accessor.addData(sample.channel, time, sample.value);
                    accessor.setMemoryCache(false);
                }
                if (!written && failed.empty()) failed = sample.name;
            }
            cache.endWriteAtTime();
        }
        if (failed.empty()) return;
        qzCacheFileAccessor& accessor = *cache.accessor();
        const std::string file = utf8(accessor.distribution() == qzCacheFileAccessor::kOneFile
                                          ? accessor.constructDataFilePathForOneFile()
                                          : accessor.constructDataFilePathForOneFilePerFrame(time));
        throw Failure(Failure::kFile,
                      "cannot write channel '" + failed + "' at " +
                          timeText(time, cache.getTicksPerFrame()) + " to " + file,
                      file, failed, true, time);
    }

    void close() {
        if (!m_cache) return;
        std::unique_ptr<qzCacheFileInterface> cache = std::move(m_cache);
        bool written = false;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> busy(m_busy);
            written = cache->endFileWrite();
            cache.reset();
        }
        if (!written) {
            throw Failure(Failure::kFile, description() + ": cannot write the description file",
                          description());
        }
    }

    // Leaving the block writes the description also after an error, which then propagates.
    bool exit(const py::object& errorType, const py::object&, const py::object&) {
        try {
            close();
        } catch (const Failure&) {
            if (errorType.is_none()) throw;
        }
        return false;
    }

    std::string repr() const {
        std::string text = "<qzcache.Writer '" + description() + "' " + m_layout + " " + m_format;
        if (!m_cache) return text + " (closed)>";
        return text + ", " + std::to_string(m_cache->numChannels()) + " channels>";
    }

private:
    qzCacheFileInterface& live() {
        if (!m_cache) throw Failure(Failure::kError, description() + ": the writer is closed");
        return *m_cache;
    }

    Sample check(qzCacheFileInterface& cache, const py::handle& key, const py::handle& value) {
        if (!py::isinstance<py::str>(key)) {
            throw py::type_error("write takes a dict of channel names to values, not " +
                                 py::repr(key).cast<std::string>());
        }
        Sample sample;
        sample.name = key.cast<std::string>();
        if (!cache.hasChannelByName(sample.name.c_str(), sample.channel)) {
            throw Failure(Failure::kNotFound,
                          description() + " has no channel '" + sample.name + "'; add it first",
                          description(), sample.name);
        }
        qzCacheData::qzCacheDataType dataType = qzCacheData::kUnknownData;
        cache.channelDataType(sample.channel, dataType);
        const TypeName& type = typeName(dataType);
        const std::string what = "channel '" + sample.name + "' (" + type.name + ") takes ";
        if (!type.dtype) {
            if (!py::isinstance<py::float_>(value) && !py::isinstance<py::int_>(value)) {
                throw py::type_error(what + "a float, not " + py::repr(value).cast<std::string>());
            }
            sample.value = value.cast<double>();
            return sample;
        }
        const std::string expected = std::string("a numpy ") + type.dtype +
                                     (type.vector ? " array shaped (n, 3)" : " array shaped (n,)");
        if (!py::isinstance<py::array>(value)) {
            throw py::type_error(what + expected + ", not " + py::repr(py::type::of(value)).cast<std::string>());
        }
        py::array array = value.cast<py::array>();
        if (!array.dtype().is(py::dtype(type.dtype))) {
            throw py::type_error(what + expected + ", not " + py::str(array.dtype()).cast<std::string>());
        }
        if (array.ndim() != (type.vector ? 2 : 1) || (type.vector && array.shape(1) != 3) ||
            array.shape(0) > py::ssize_t(0xFFFFFFFFu)) {
            throw py::value_error(what + expected + ", not one shaped " +
                                  py::str(value.attr("shape")).cast<std::string>());
        }
        sample.array = py::array::ensure(array, py::array::c_style);
        sample.isArray = true;
        return sample;
    }

    std::string m_location;
    std::string m_name;
    std::string m_layout;
    std::string m_format;
    std::unique_ptr<qzCacheFileInterface> m_cache;
    // One write at a time: the library's writing takes no lock of its own.
    std::mutex m_busy;
};

}  // namespace

void defineWriter(py::module_& module) {
    py::class_<Writer>(module, "Writer",
                       "Writes a new cache: the description file <directory>/<name>.xml and its\n"
                       "data files. Add channels, write each time's values, then close() or\n"
                       "leave the with block, which writes the description (also after an\n"
                       "error, so that what was written can be read).")
        .def(py::init<const py::object&, const std::string&, const std::string&,
                      const std::string&, int, bool, double>(),
             py::arg("directory"), py::arg("name"), py::arg("layout") = "one-file",
             py::arg("format") = "kcc", py::arg("ticks_per_frame") = 250,
             py::arg("live") = false, py::arg("live_interval") = 1.0,
             "layout is \"one-file\" or \"per-frame\"; format \"kcc\" (32-bit data files)\n"
             "or \"kcx\" (64-bit). The directory must exist. With live=True the cache can\n"
             "be opened and played while it is written: after each write the description\n"
             "names every time written so far, replaced at most every live_interval seconds;\n"
             "close() marks it complete.")
        .def("add_channel", &Writer::addChannel, py::arg("name"), py::arg("type"),
             py::arg("interpretation") = "",
             "Adds a channel; type is a qzcache.DataType or its name.")
        .def("write", &Writer::write, py::arg("time"), py::arg("values"),
             "Writes the values of one time (ticks): a dict of channel names to numpy arrays\n"
             "((n, 3) for vector channels, (n,) otherwise, of the channel's dtype exactly)\n"
             "or, for double channels, floats, which stay in memory only. Every value is\n"
             "checked first: TypeError or ValueError, naming the channel and what it takes,\n"
             "and NotFoundError for an unknown channel leave the cache as it was.")
        .def("close", &Writer::close, "Writes the description file. Safe to call twice.")
        .def("__enter__", [](Writer& writer) -> Writer& { return writer; },
             py::return_value_policy::reference_internal)
        .def("__exit__", &Writer::exit)
        .def("__repr__", &Writer::repr)
        .def_property_readonly("path", &Writer::description, "The description file's path.");
}

}  // namespace qzpy
