// Stitching caches: the inputs read and matched, their times merged, the output written sample
// by sample (or frame file by frame file) and described last.
#include "qzCacheStitch.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "qzCacheChecker.h"
#include "qzCacheDescriptionIO.h"
#include "qzCacheFarmSupport.h"
#include "qzCacheFileIffIO.h"
#include "qzCacheFileInterface.h"
#include "qzFileSystem.h"
#include "qzString.h"

namespace {

using qzFarm::CreatedFiles;

using Options = qzCacheStitchOptions;

struct OutputChannel {
    std::string name;
    qzString::IString interpretation;
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    std::vector<int> times;
};

struct Input {
    std::string path;
    std::unique_ptr<qzCacheFileInterface> cache;
    qzCacheFileAccessor* accessor = nullptr;
    std::vector<unsigned int> channelOf;   // its index of each output channel
    std::vector<std::vector<int>> times;   // of each output channel, ascending
    std::vector<int> allTimes;             // of any channel, ascending, once each
};

// One stored time of the output and the input it comes from.
struct Source {
    int time;
    std::size_t input;
};

std::string utf8(const qzString::IString& text) { return text.utf8(); }
qzString::IString fromUtf8(const std::string& text) { return qzString::IString(text.c_str(), 1); }

std::string typeName(qzCacheData::qzCacheDataType type) {
    return qzCacheDescriptionIO::dataTypeName(static_cast<qzCacheDescriptionIO::DataType>(type));
}

bool contains(const std::vector<int>& sorted, int time) {
    return std::binary_search(sorted.begin(), sorted.end(), time);
}

class StitchRun {
public:
    StitchRun(const Options& options, qzCacheStitchReport& report)
        : m_options(options), m_report(report), m_files(qzOS::defaultFileSystem()) {}

    bool run(const std::vector<std::string>& inputs, const std::string& output);

private:
    bool fail(const std::string& message) {
        m_report.error = message;
        return false;
    }
    void progress(const char* phase, std::uint64_t done, std::uint64_t total) const {
        if (m_options.progress) m_options.progress(m_options.progressContext, phase, done, total);
    }
    bool openInput(const std::string& path);
    bool matchChannels(Input& input);
    bool learnTimes(Input& input);
    bool chooseOutput(const std::string& output);
    bool mergeTimes();
    bool checkInputs();
    bool write();
    bool writeTime(qzCacheFileAccessor& writer, const Source& source, std::vector<double>& buffer);
    bool copyFrameFile(qzCacheFileAccessor& writer, const Source& source, CreatedFiles& created);
    bool takesFrameFilesWhole(const Input& input) const;
    bool describe(qzCacheFileAccessor& writer);

    const Options& m_options;
    qzCacheStitchReport& m_report;
    qzOS::FileSystem& m_files;
    std::vector<Input> m_inputs;
    std::vector<OutputChannel> m_channels;
    std::vector<Source> m_sources;
    std::string m_location;
    std::string m_baseName;
};

bool StitchRun::openInput(const std::string& path) {
    std::string location;
    std::string baseName;
    if (!qzFarm::splitDescriptionPath(path, location, baseName)) {
        return fail(path + ": a description file's name ends in \".xml\"");
    }
    Input input;
    input.path = path;
    input.cache.reset(new qzCacheFileInterface());
    if (!input.cache->initFileRead(baseName.c_str(), location.c_str())) {
        return fail(path + ": not a readable cache (no description, or its data file does not open)");
    }
    input.accessor = input.cache->accessor();
    m_inputs.push_back(std::move(input));
    return true;
}

// Every input has the first one's channels, by name and type, and no other.
bool StitchRun::matchChannels(Input& input) {
    qzCacheFileAccessor& accessor = *input.accessor;
    const std::string& first = m_inputs.front().path;
    if (m_channels.empty()) {
        for (unsigned int index = 0; index < accessor.numChannels(); ++index) {
            OutputChannel channel;
            qzString::IString name;
            accessor.channelName(index, name);
            accessor.channelInterpretation(index, channel.interpretation);
            accessor.channelDataType(index, channel.type);
            channel.name = utf8(name);
            m_channels.push_back(std::move(channel));
        }
    }
    for (const OutputChannel& channel : m_channels) {
        unsigned int index = 0;
        qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
        if (!accessor.hasChannelByName(fromUtf8(channel.name), index)) {
            return fail(input.path + ": no channel \"" + channel.name + "\", which " + first + " has");
        }
        accessor.channelDataType(index, type);
        if (type != channel.type) {
            return fail(input.path + ": channel \"" + channel.name + "\" is " + typeName(type) +
                        "; in " + first + " it is " + typeName(channel.type));
        }
        input.channelOf.push_back(index);
    }
    if (accessor.numChannels() != m_channels.size()) {
        for (unsigned int index = 0; index < accessor.numChannels(); ++index) {
            if (std::find(input.channelOf.begin(), input.channelOf.end(), index) != input.channelOf.end()) {
                continue;
            }
            qzString::IString name;
            accessor.channelName(index, name);
            return fail(input.path + ": channel \"" + utf8(name) + "\" is not in " + first);
        }
    }
    const int ticks = m_inputs.front().accessor->getTicksPerFrame();
    if (accessor.getTicksPerFrame() != ticks) {
        return fail(input.path + ": " + std::to_string(accessor.getTicksPerFrame()) +
                    " ticks per frame; " + first + " has " + std::to_string(ticks));
    }
    return true;
}

bool StitchRun::learnTimes(Input& input) {
    for (std::size_t channel = 0; channel < m_channels.size(); ++channel) {
        std::vector<int> times;
        if (!input.accessor->getDataTimes(input.channelOf[channel], times)) {
            return fail(input.path + ": channel \"" + m_channels[channel].name +
                        "\" lists more stored times than a stitch takes");
        }
        std::vector<int> merged;
        std::set_union(input.allTimes.begin(), input.allTimes.end(), times.begin(), times.end(),
                       std::back_inserter(merged));
        input.allTimes.swap(merged);
        input.times.push_back(std::move(times));
        // A sample that is not there must fail its read, never be made up from its neighbours.
        qzCacheChannel::qzCacheInterpolation none = qzCacheChannel::kNoInterpolation;
        input.accessor->setChannelInterpolation(input.channelOf[channel], none);
    }
    return true;
}

bool StitchRun::chooseOutput(const std::string& output) {
    if (!qzFarm::splitDescriptionPath(output, m_location, m_baseName)) {
        return fail(output + ": a description file's name ends in \".xml\"");
    }
    qzCacheFileAccessor& first = *m_inputs.front().accessor;
    m_report.layout = m_options.layout != qzCacheFileAccessor::kNoDistribution ? m_options.layout
                                                                               : first.distribution();
    const std::string inputFormat = utf8(first.cacheFormat());
    m_report.format = !m_options.format.empty() ? m_options.format
                      : inputFormat == "kcx"     ? "kcx"
                                                 : "kcc";
    m_report.ticksPerFrame = first.getTicksPerFrame();
    if (m_report.format != "kcc" && m_report.format != "kcx") {
        return fail(output + ": the format is \"" + m_report.format + "\"; kcc or kcx");
    }
    if (m_report.layout != qzCacheFileAccessor::kOneFile &&
        m_report.layout != qzCacheFileAccessor::kOneFilePerFrame) {
        return fail(output + ": the layout is neither one-file nor per-frame");
    }
    if (m_report.layout == qzCacheFileAccessor::kOneFilePerFrame && m_report.ticksPerFrame <= 0) {
        return fail(output + ": per-frame files need a positive number of ticks per frame");
    }
    // The output's names must be free: a file left under one of them would be taken for part
    // of it (a frame file is found by its name), and removing what a failure left must never
    // remove anything that was there before.
    qzFarm::CacheFileNames names;
    if (!qzFarm::findCacheFileNames(m_files, m_location, m_baseName, names)) {
        return fail(output + ": its directory does not exist or cannot be listed");
    }
    if (names.any()) {
        const std::string taken = names.description        ? m_baseName + ".xml"
                                  : !names.oneFile.empty() ? names.oneFile.front()
                                                           : names.frameFiles.front();
        return fail(m_location + taken + ": exists already; a stitch writes a new cache only");
    }
    return true;
}

// The output's times in order, each from one input; with an overlap rule, the times it leaves
// out of the other inputs.
bool StitchRun::mergeTimes() {
    std::vector<Source> all;
    for (std::size_t input = 0; input < m_inputs.size(); ++input) {
        for (int time : m_inputs[input].allTimes) all.push_back({time, input});
    }
    std::sort(all.begin(), all.end(), [](const Source& a, const Source& b) {
        return a.time != b.time ? a.time < b.time : a.input < b.input;
    });
    for (std::size_t begin = 0; begin < all.size();) {
        std::size_t end = begin + 1;
        while (end < all.size() && all[end].time == all[begin].time) ++end;
        if (end - begin > 1 && m_options.overlap == Options::kOverlapRefused) {
            return fail("time " + std::to_string(all[begin].time) + " is stored in both " +
                        m_inputs[all[begin].input].path + " and " +
                        m_inputs[all[begin + 1].input].path +
                        "; choose which input holds such times (overlap first or last)");
        }
        const std::size_t chosen = m_options.overlap == Options::kOverlapLast ? end - 1 : begin;
        for (std::size_t other = begin; other < end; ++other) {
            if (other != chosen) m_report.inputs[all[other].input].timesLeftOut.push_back(all[other].time);
        }
        m_sources.push_back(all[chosen]);
        ++m_report.inputs[all[chosen].input].timesTaken;
        begin = end;
    }
    m_report.times = m_sources.size();
    for (std::size_t channel = 0; channel < m_channels.size(); ++channel) {
        for (const Source& source : m_sources) {
            if (contains(m_inputs[source.input].times[channel], source.time)) {
                m_channels[channel].times.push_back(source.time);
            }
        }
    }
    return true;
}

struct CheckProgress {
    Options::Progress callback;
    void* context;
};

// Damage in an input would be copied into the output, or end the stitch half way.
bool StitchRun::checkInputs() {
    qzCacheChecker checker;
    checker.setMaxListedProblems(1);
    CheckProgress sink{m_options.progress, m_options.progressContext};
    if (sink.callback) {
        checker.setProgress(
            [](void* context, std::uint64_t done, std::uint64_t total) {
                const CheckProgress& to = *static_cast<const CheckProgress*>(context);
                to.callback(to.context, "checking", done, total);
            },
            &sink);
    }
    for (const Input& input : m_inputs) {
        const qzCacheCheckReport check = checker.checkCache(input.path.c_str());
        for (const qzCacheProblem& problem : check.problems) {
            // A vector channel whose count changes reads as it was written.
            if (problem.kind == qzCacheProblem::kCountDiffers) continue;
            return fail(input.path + ": not whole (" + qzCacheProblem::kindName(problem.kind) + " " +
                        problem.file + ": " + problem.detail + "); qzcache verify lists what");
        }
        if (check.problemsLeftOut != 0 && check.problems.empty()) {
            return fail(input.path + ": not whole; qzcache verify lists what");
        }
    }
    return true;
}

bool StitchRun::takesFrameFilesWhole(const Input& input) const {
    return m_options.frameFiles != Options::kRewriteFrameFiles &&
           m_report.layout == qzCacheFileAccessor::kOneFilePerFrame &&
           input.accessor->distribution() == qzCacheFileAccessor::kOneFilePerFrame &&
           utf8(input.accessor->cacheFormat()) == m_report.format;
}

bool StitchRun::copyFrameFile(qzCacheFileAccessor& writer, const Source& source,
                              CreatedFiles& created) {
    const std::string from =
        utf8(m_inputs[source.input].accessor->constructDataFilePathForOneFilePerFrame(source.time));
    const std::string to = utf8(writer.constructDataFilePathForOneFilePerFrame(source.time));
    const bool mayLink = m_options.frameFiles == Options::kLinkFrameFiles;
    bool linked = false;
    created.add(to, mayLink);
    if (!m_files.copyFile(from.c_str(), to.c_str(), mayLink, linked)) {
        return fail(to + ": cannot be made from " + from);
    }
    ++(linked ? m_report.framesLinked : m_report.framesCopied);
    return true;
}

bool StitchRun::writeTime(qzCacheFileAccessor& writer, const Source& source,
                          std::vector<double>& buffer) {
    Input& input = m_inputs[source.input];
    qzCacheFileAccessor& reader = *input.accessor;
    const int time = source.time;
    writer.beginWriteAtTime(time);
    for (std::size_t channel = 0; channel < m_channels.size(); ++channel) {
        const OutputChannel& out = m_channels[channel];
        if (!qzCacheData::isArrayType(out.type) || !contains(input.times[channel], time)) continue;
        const unsigned int from = input.channelOf[channel];
        unsigned int count = 0;
        const std::string where = input.path + ": channel \"" + out.name + "\" at time " +
                                  std::to_string(time);
        // A count from the file is believed only as far as the file can hold it.
        if (!reader.getArrayLengthAtTime(from, time, count) ||
            !reader.arrayFitsDataFiles(from, time, count)) {
            return fail(where + " does not read");
        }
        const std::size_t bytes = std::size_t{count} * qzCacheData::elementSize(out.type);
        if (buffer.size() * sizeof(double) < bytes) buffer.resize(bytes / sizeof(double) + 1);
        void* data = buffer.data();
        unsigned int length = 0;
        if (!reader.getArrayDataAtTime(from, time, count, data, length) || length != count) {
            return fail(where + " does not read");
        }
        if (!writer.addArrayData(static_cast<unsigned int>(channel), time, data, count)) {
            return fail(m_location + m_baseName + ": writing time " + std::to_string(time) + " failed");
        }
        ++m_report.samplesWritten;
    }
    writer.endWriteAtTime();
    // A failure met as the time was handed over shows on the writer only.
    const auto* iff = dynamic_cast<const qzCacheFileIffIO*>(writer.fileAccessor());
    if (iff && iff->hasWriteError()) {
        return fail(m_location + m_baseName + ": writing time " + std::to_string(time) + " failed");
    }
    return true;
}

// The channels' sampling records from their times, the inputs' description lines once each.
bool StitchRun::describe(qzCacheFileAccessor& writer) {
    for (std::size_t channel = 0; channel < m_channels.size(); ++channel) {
        if (!qzFarm::setSamplingFromTimes(writer, static_cast<unsigned int>(channel),
                                          m_channels[channel].times)) {
            return fail(m_report.output + ": channel \"" + m_channels[channel].name +
                        "\" has more unevenly spaced times than a description can list");
        }
    }
    std::vector<std::string> lines;
    for (const Input& input : m_inputs) {
        for (unsigned int index = 0; index < input.accessor->descriptionInfoCount(); ++index) {
            qzString::IString line;
            input.accessor->getDescriptionInfo(index, line);
            if (std::find(lines.begin(), lines.end(), utf8(line)) != lines.end()) continue;
            lines.push_back(utf8(line));
            writer.addDescriptionInfo(line);
        }
    }
    return true;
}

bool StitchRun::write() {
    CreatedFiles created(m_files);
    auto output = std::make_unique<qzCacheFileInterface>();
    const auto layout = m_report.layout == qzCacheFileAccessor::kOneFile
                            ? qzCacheFileInterface::kFormatOneFile
                            : qzCacheFileInterface::kFormatOneFilePerFrame;
    const bool started = output->initFileWrite(m_location.c_str(), m_baseName.c_str(), layout,
                                               m_report.format.c_str(), m_report.ticksPerFrame);
    qzCacheFileAccessor& writer = *output->accessor();
    if (layout == qzCacheFileInterface::kFormatOneFile) {
        created.add(utf8(writer.constructDataFilePathForOneFile()));
    }
    if (!started) return fail(m_report.output + ": its data file cannot be written");
    for (std::size_t channel = 0; channel < m_channels.size(); ++channel) {
        unsigned int index = 0;
        output->addChannel(m_channels[channel].name.c_str(),
                           utf8(m_channels[channel].interpretation).c_str(),
                           m_channels[channel].type, index);
    }
    // One buffer, as large as the largest sample: memory does not grow with the cache.
    std::vector<double> buffer(1);
    std::uint64_t done = 0;
    for (const Source& source : m_sources) {
        const bool whole = takesFrameFilesWhole(m_inputs[source.input]);
        if (layout == qzCacheFileInterface::kFormatOneFilePerFrame && !whole) {
            created.add(utf8(writer.constructDataFilePathForOneFilePerFrame(source.time)));
        }
        if (!(whole ? copyFrameFile(writer, source, created) : writeTime(writer, source, buffer))) {
            return false;
        }
        progress("stitching", ++done, m_sources.size());
    }
    // The data reach the device before a description names them.
    if (!created.syncAll()) {
        return fail(m_report.output + ": its data files cannot be brought to the device");
    }
    if (!describe(writer)) return false;
    created.add(m_report.output);
    if (!output->endFileWrite()) return fail(m_report.output + ": the description cannot be written");
    created.keep();
    return true;
}

bool StitchRun::run(const std::vector<std::string>& inputs, const std::string& output) {
    m_report.output = output;
    if (inputs.empty()) return fail(output + ": no input to stitch");
    for (const std::string& path : inputs) {
        qzCacheStitchInput entry;
        entry.description = path;
        m_report.inputs.push_back(std::move(entry));
    }
    for (const std::string& path : inputs) {
        if (!openInput(path) || !matchChannels(m_inputs.back()) || !learnTimes(m_inputs.back())) {
            return false;
        }
    }
    return chooseOutput(output) && mergeTimes() && checkInputs() && write();
}

}  // namespace

qzCacheStitchReport qzCacheStitch::stitch(const std::vector<std::string>& inputPaths,
                                          const std::string& outputPath,
                                          const qzCacheStitchOptions& options) {
    qzCacheStitchReport report;
    report.ok = StitchRun(options, report).run(inputPaths, outputPath);
    return report;
}
