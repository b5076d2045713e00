#include "qzCacheDescriptionIO.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlIO.h>
#include <libxml/xmlsave.h>
#include <libxml/xmlversion.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "qzFileSystem.h"

namespace {

const char kRootName[] = "Qordexon_Cache_File";
// The root of descriptions written by earlier versions; read, never written.
const char kOldRootName[] = "Ruvak_Cache_File";
const char kDefaultCacheFormat[] = "kcc";

// Untrusted files: no network, no DTD loading, no entity substitution by the parser, the
// parser's default limits on depth and text size, and no messages printed.
const int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

const xmlChar* xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

// A string that libxml2 allocated; released with xmlFree.
class XmlText {
public:
    explicit XmlText(xmlChar* text) : m_text(text) {}
    ~XmlText() {
        if (m_text) xmlFree(m_text);
    }
    XmlText(const XmlText&) = delete;
    XmlText& operator=(const XmlText&) = delete;

    explicit operator bool() const { return m_text != nullptr; }
    const char* c_str() const { return m_text ? reinterpret_cast<const char*>(m_text) : ""; }

private:
    xmlChar* m_text;
};

XmlText property(xmlNode* node, const char* name) { return XmlText(xmlGetProp(node, xml(name))); }

bool hasName(const xmlNode* node, const char* name) {
    return xmlStrcmp(node->name, xml(name)) == 0;
}

bool isText(const xmlNode* node) { return node->type == XML_TEXT_NODE; }

void ignoreMessage(void*, const char*, ...) {}
#if LIBXML_VERSION >= 21200
void ignoreError(void*, const xmlError*) {}
#else
void ignoreError(void*, xmlErrorPtr) {}
#endif

// Silences libxml2's messages (I/O errors among them) on this thread while it lives; libxml2
// keeps its handlers per thread, so the host's own handlers come back unchanged.
class QuietErrors {
public:
    QuietErrors()
        : m_generic(xmlGenericError),
          m_genericContext(xmlGenericErrorContext),
          m_structured(xmlStructuredError),
          m_structuredContext(xmlStructuredErrorContext) {
        xmlSetGenericErrorFunc(nullptr, ignoreMessage);
        xmlSetStructuredErrorFunc(nullptr, ignoreError);
    }
    ~QuietErrors() {
        xmlSetGenericErrorFunc(m_genericContext, m_generic);
        xmlSetStructuredErrorFunc(m_structuredContext, m_structured);
    }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;

private:
    xmlGenericErrorFunc m_generic;
    void* m_genericContext;
    xmlStructuredErrorFunc m_structured;
    void* m_structuredContext;
};

void initParser() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

// An open file as libxml2 reads and writes it: one piece after another.
struct FileStream {
    qzOS::FileHandle* file;
    std::uint64_t offset = 0;
    bool failed = false;
};

int readFromFile(void* context, char* buffer, int length) {
    auto* stream = static_cast<FileStream*>(context);
    std::size_t got = 0;
    if (length < 0 || !stream->file->read(stream->offset, buffer, static_cast<std::size_t>(length), got)) {
        stream->failed = true;
        return -1;
    }
    stream->offset += got;
    return static_cast<int>(got);
}

int writeToFile(void* context, const char* buffer, int length) {
    auto* stream = static_cast<FileStream*>(context);
    if (length < 0 || !stream->file->write(stream->offset, buffer, static_cast<std::size_t>(length))) {
        stream->failed = true;
        return -1;
    }
    stream->offset += static_cast<std::uint64_t>(length);
    return length;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads a number as "%d" does (leading white space, optional sign, digits, stopping at the
// first other character) and advances `text` past it. A value beyond int does not scan.
bool scanInt(const char*& text, int& value) {
    const char* p = text;
    while (isSpace(*p)) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (*p < '0' || *p > '9') return false;
    long long magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (!negative && magnitude > INT_MAX) return false;
    value = static_cast<int>(negative ? -magnitude : magnitude);
    text = p;
    return true;
}

bool scanNumber(const char* text, int& value) { return scanInt(text, value); }

// "%d-%d": a field whose number does not scan keeps its value.
void scanRange(const char* text, int& start, int& end) {
    if (!scanInt(text, start) || *text != '-') return;
    ++text;
    scanInt(text, end);
}

const char* cacheTypeName(qzCacheDescriptionIO::CacheType type) {
    switch (type) {
    case qzCacheDescriptionIO::kOneFile: return "OneFile";
    case qzCacheDescriptionIO::kOneFilePerFrame: return "OneFilePerFrame";
    default: return nullptr;
    }
}

const char* samplingTypeName(qzCacheDescriptionIO::SamplingType type) {
    switch (type) {
    case qzCacheDescriptionIO::kRegular: return "Regular";
    case qzCacheDescriptionIO::kIrregular: return "Irregular";
    default: return nullptr;
    }
}

bool readCacheType(xmlNode* node, qzCacheDescriptionIO& record) {
    const XmlText type = property(node, "Type");
    const XmlText format = property(node, "Format");
    if (!type) return false;
    if (xmlStrcmp(xml(type.c_str()), xml("OneFilePerFrame")) == 0) {
        record.setCacheType(qzCacheDescriptionIO::kOneFilePerFrame);
    } else if (xmlStrcmp(xml(type.c_str()), xml("OneFile")) == 0) {
        record.setCacheType(qzCacheDescriptionIO::kOneFile);
    } else {
        return false;
    }
    record.setCacheFormat(qzString::IString(format ? format.c_str() : kDefaultCacheFormat, 0));
    return true;
}

bool readTimeRange(xmlNode* node, qzCacheDescriptionIO& record) {
    const XmlText range = property(node, "Range");
    if (!range) return false;
    int start = record.startTime();
    int end = record.endTime();
    scanRange(range.c_str(), start, end);
    record.setStartTime(start);
    record.setEndTime(end);
    record.setTimeRangeSet(true);
    return true;
}

bool readTimePerFrame(xmlNode* node, qzCacheDescriptionIO& record) {
    const XmlText ticks = property(node, "TimePerFrame");
    int value = 0;
    if (!ticks || !scanNumber(ticks.c_str(), value)) return false;
    record.setTimePerFrame(value);
    return true;
}

// The marker of a cache written live. A count of time groups that is not plain decimal digits
// (damage) gives none, and the cache still reads.
void readLiveWrite(xmlNode* node, qzCacheDescriptionIO& record) {
    const XmlText write = property(node, "Write");
    const XmlText complete = property(node, "Complete");
    record.setLiveWrite(qzString::IString(write.c_str(), 1),
                        complete && xmlStrcmp(xml(complete.c_str()), xml("1")) == 0);
    const XmlText groups = property(node, "TimeGroups");
    const char* digit = groups.c_str();
    if (!groups || *digit == '\0') return;
    std::uint64_t count = 0;
    for (; *digit >= '0' && *digit <= '9'; ++digit) {
        const unsigned value = static_cast<unsigned>(*digit - '0');
        if (count > (UINT64_MAX - value) / 10) return;
        count = count * 10 + value;
    }
    if (*digit == '\0') record.setWrittenTimeGroups(count);
}

bool readRootChild(xmlDoc* doc, xmlNode* node, qzCacheDescriptionIO& record) {
    if (hasName(node, "cacheType")) return readCacheType(node, record);
    if (hasName(node, "cacheVersion")) {
        const XmlText version = property(node, "Version");
        if (!version) return false;
        record.setVersion(qzString::IString(version.c_str(), 0));
        return true;
    }
    if (hasName(node, "Channels")) return record.readChannels(node);
    if (hasName(node, "time")) return readTimeRange(node, record);
    if (hasName(node, "cacheTimePerFrame")) return readTimePerFrame(node, record);
    if (hasName(node, "cacheWriting")) {
        readLiveWrite(node, record);
        return true;
    }
    if (hasName(node, "extra")) {
        // Entity references are replaced by their text; an empty element gives an empty line.
        const XmlText text(xmlNodeListGetString(doc, node->children, 1));
        record.addDescriptionInfo(qzString::IString(text.c_str(), 1));
        return true;
    }
    return true;  // other elements are for other readers
}

// Characters that XML 1.0 cannot carry, even escaped: such a text would make a file that no
// reader accepts.
bool fitsXml(const qzString::IString& text) {
    for (char16_t c : text.chars()) {
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0xFFFE || c == 0xFFFF) {
            return false;
        }
    }
    return true;
}

bool setProperty(xmlNode* node, const char* name, const char* value) {
    return xmlSetProp(node, xml(name), xml(value)) != nullptr;
}

bool setNumber(xmlNode* node, const char* name, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return setProperty(node, name, text);
}

// Distinct for every save of this process, and in practice from other processes' saves.
std::string temporaryNameBeside(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    return target + ".tmp" + std::to_string(stamp) + "-" + std::to_string(counter++);
}

// Saves beside the target and renames over it, as databases replace a file: synced, the new
// bytes reach the device before they take the target's name, and the rename is made to last,
// so that after a crash or a power cut the target is the earlier file or the complete new one,
// never an empty or partial file under the name; handed over, the same holds after a crash of
// the process. False when any step failed; the earlier file then stands, unless only the last
// step, making the rename last, failed.
bool saveReplacing(qzOS::FileSystem& files, xmlDoc* doc, const std::string& target,
                   qzCacheDescriptionIO::Durability durability) {
    const bool synced = durability == qzCacheDescriptionIO::Durability::kSynced;
    if (target.empty()) return false;
    const std::string temporary = temporaryNameBeside(target);
    std::unique_ptr<qzOS::FileHandle> file = files.open(temporary.c_str(), qzOS::OpenMode::kCreate);
    if (!file) return false;
    FileStream stream{file.get()};
    bool saved = false;
    if (xmlOutputBuffer* out = xmlOutputBufferCreateIO(writeToFile, nullptr, &stream, nullptr)) {
        xmlIndentTreeOutput = 1;
        // Releases `out`.
        saved = xmlSaveFormatFileTo(out, doc, nullptr, 1) >= 0;
    }
    saved = saved && !stream.failed && file->flush() && (!synced || file->sync());
    saved = file->close() && saved;
    saved = saved && files.renameReplacing(temporary.c_str(), target.c_str());
    if (!saved) {
        files.remove(temporary.c_str());
        return false;
    }
    return !synced || files.syncDirectory(qzOS::directoryOf(target).c_str());
}

bool addChannelElement(xmlNode* channels, unsigned int index,
                       const qzCacheDescriptionIO::ChannelDescription& channel) {
    char elementName[32];
    std::snprintf(elementName, sizeof elementName, "channel%u", index);
    const char* typeName = qzCacheDescriptionIO::dataTypeName(channel.m_dataType);
    xmlNode* node = xmlNewChild(channels, nullptr, xml(elementName), nullptr);
    return node && setProperty(node, "ChannelName", channel.m_name.asUTF8()) &&
           setProperty(node, "ChannelType", typeName) &&
           setProperty(node, "ChannelInterpretation", channel.m_interpretation.asUTF8()) &&
           setProperty(node, "SamplingType", samplingTypeName(channel.m_samplingType)) &&
           setNumber(node, "SamplingRate", channel.m_samplingRate) &&
           setNumber(node, "StartTime", channel.m_startTime) &&
           setNumber(node, "EndTime", channel.m_endTime);
}

// Null when the record cannot be written: no cache type, a sampling type without a name, a
// text XML cannot carry, or no memory.
DocPtr buildDocument(const qzCacheDescriptionIO& record) {
    const char* typeName = cacheTypeName(record.cacheType());
    if (!typeName || !fitsXml(record.cacheFormat()) || !fitsXml(record.version())) return nullptr;
    for (unsigned int i = 0; i < record.descriptionInfoCount(); ++i) {
        if (!fitsXml(record.descriptionInfo(i))) return nullptr;
    }
    for (unsigned int i = 0; i < record.channelCount(); ++i) {
        const qzCacheDescriptionIO::ChannelDescription& channel = *record.channel(i);
        if (!samplingTypeName(channel.m_samplingType) || !fitsXml(channel.m_name) ||
            !fitsXml(channel.m_interpretation)) {
            return nullptr;
        }
    }

    DocPtr doc(xmlNewDoc(xml("1.0")));
    xmlNode* root = doc ? xmlNewDocNode(doc.get(), nullptr, xml(kRootName), nullptr) : nullptr;
    if (!root) return nullptr;
    xmlDocSetRootElement(doc.get(), root);

    xmlNode* node = xmlNewChild(root, nullptr, xml("cacheType"), nullptr);
    if (!node || !setProperty(node, "Type", typeName) ||
        !setProperty(node, "Format", record.cacheFormat().asMultibyte(0))) {
        return nullptr;
    }
    if (record.timeRangeSet()) {
        char range[32];
        std::snprintf(range, sizeof range, "%d-%d", record.startTime(), record.endTime());
        node = xmlNewChild(root, nullptr, xml("time"), nullptr);
        if (!node || !setProperty(node, "Range", range)) return nullptr;
    }
    node = xmlNewChild(root, nullptr, xml("cacheTimePerFrame"), nullptr);
    if (!node || !setNumber(node, "TimePerFrame", record.timePerFrame())) return nullptr;
    node = xmlNewChild(root, nullptr, xml("cacheVersion"), nullptr);
    if (!node || !setProperty(node, "Version", record.version().asUTF8())) return nullptr;
    if (record.writtenLive()) {
        node = xmlNewChild(root, nullptr, xml("cacheWriting"), nullptr);
        std::uint64_t groups = 0;
        if (!node || !fitsXml(record.liveWrite()) ||
            (!record.liveWrite().empty() &&
             !setProperty(node, "Write", record.liveWrite().asUTF8())) ||
            (!record.beingWritten() && !setProperty(node, "Complete", "1")) ||
            (record.beingWritten() && record.writtenTimeGroups(groups) &&
             !setProperty(node, "TimeGroups", std::to_string(groups).c_str()))) {
            return nullptr;
        }
    }
    for (unsigned int i = 0; i < record.descriptionInfoCount(); ++i) {
        // The text child escapes markup characters.
        const qzString::IString line = record.descriptionInfo(i);
        if (!xmlNewTextChild(root, nullptr, xml("extra"), xml(line.asUTF8()))) return nullptr;
    }
    xmlNode* channels = xmlNewChild(root, nullptr, xml("Channels"), nullptr);
    if (!channels) return nullptr;
    for (unsigned int i = 0; i < record.channelCount(); ++i) {
        if (!addChannelElement(channels, i, *record.channel(i))) return nullptr;
    }
    return doc;
}

}  // namespace

qzCacheDescriptionIO::qzCacheDescriptionIO(const qzString::IString& fileName)
    : m_fileName(fileName),
      m_cacheType(kOneFilePerFrame),
      m_startTime(0),
      m_endTime(0),
      m_timePerFrame(0),
      m_hasTimePerFrame(false),
      m_timeRangeSet(false),
      m_cacheFormat(kDefaultCacheFormat, 0) {}

qzCacheDescriptionIO::~qzCacheDescriptionIO() = default;

qzOS::FileSystem& qzCacheDescriptionIO::fileSystem() const {
    return m_fileSystem ? *m_fileSystem : qzOS::defaultFileSystem();
}

const qzCacheDescriptionIO::ChannelDescription* qzCacheDescriptionIO::channel(
    unsigned int index) const {
    return index < m_channels.size() ? &m_channels[index] : nullptr;
}

qzString::IString qzCacheDescriptionIO::descriptionInfo(unsigned int index) const {
    return index < m_descriptionInfo.size() ? m_descriptionInfo[index] : qzString::IString();
}

const char* qzCacheDescriptionIO::dataTypeName(DataType type) {
    switch (type) {
    case kDouble: return "Double";
    case kDoubleArray: return "DoubleArray";
    case kDoubleVectorArray: return "DoubleVectorArray";
    case kInt32Array: return "Int32Array";
    case kFloatArray: return "FloatArray";
    case kFloatVectorArray: return "FloatVectorArray";
    default: return "UnknownData";
    }
}

qzCacheDescriptionIO::DataType qzCacheDescriptionIO::dataTypeFromName(
    const qzString::IString& name) {
    static const DataType kTypes[] = {kDouble,     kDoubleArray,      kDoubleVectorArray,
                                      kInt32Array, kFloatVectorArray, kFloatArray};
    for (DataType type : kTypes) {
        if (qzString::equal(name, qzString::IString(dataTypeName(type), 0))) return type;
    }
    return kUnknownData;
}

bool qzCacheDescriptionIO::readChannels(_xmlNode* channels) {
    if (!channels) return false;
    for (xmlNode* node = channels->children; node; node = node->next) {
        if (isText(node)) continue;
        // Any other node is taken as a channel element; one that is no element (a comment)
        // has no attributes and fails here.
        const XmlText type = property(node, "ChannelType");
        const XmlText interpretation = property(node, "ChannelInterpretation");
        const XmlText name = property(node, "ChannelName");
        const XmlText sampling = property(node, "SamplingType");
        const XmlText rate = property(node, "SamplingRate");
        const XmlText start = property(node, "StartTime");
        const XmlText end = property(node, "EndTime");
        if (!type || !interpretation || !name || !sampling || !rate || !start || !end) {
            return false;
        }
        ChannelDescription channel;
        channel.m_name.assign(name.c_str(), 1);
        channel.m_interpretation.assign(interpretation.c_str(), 1);
        channel.m_dataType = dataTypeFromName(qzString::IString(type.c_str(), 0));
        channel.m_samplingType =
            xmlStrcmp(xml(sampling.c_str()), xml("Regular")) == 0 ? kRegular : kIrregular;
        if (!scanNumber(rate.c_str(), channel.m_samplingRate) ||
            !scanNumber(start.c_str(), channel.m_startTime) ||
            !scanNumber(end.c_str(), channel.m_endTime)) {
            return false;
        }
        m_channels.push_back(channel);
    }
    return true;
}

bool qzCacheDescriptionIO::readFile() {
    initParser();
    const QuietErrors quiet;
    DocPtr doc;
    {
        // Opened here so that UTF-8 paths work everywhere and the name is never taken as a URI.
        const std::unique_ptr<qzOS::FileHandle> file =
            fileSystem().open(m_fileName.asUTF8(), qzOS::OpenMode::kRead);
        if (!file) return false;
        FileStream stream{file.get()};
        doc.reset(xmlReadIO(readFromFile, nullptr, &stream, nullptr, nullptr, kParseOptions));
    }
    if (!doc) return false;
    xmlNode* root = xmlDocGetRootElement(doc.get());
    if (!root || !(hasName(root, kRootName) || hasName(root, kOldRootName))) return false;
    for (xmlNode* node = root->children; node; node = node->next) {
        // Text, comments and processing instructions at this level carry nothing.
        if (node->type != XML_ELEMENT_NODE) continue;
        if (!readRootChild(doc.get(), node, *this)) return false;
    }
    return true;
}

bool qzCacheDescriptionIO::writeFile(Durability durability) {
    initParser();
    const QuietErrors quiet;
    const DocPtr doc = buildDocument(*this);
    return doc && saveReplacing(fileSystem(), doc.get(), m_fileName.asUTF8(), durability);
}
