#include "qzCacheDescriptionIO.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "qzCacheFileAccessor.h"
#include "testSupport.h"

namespace {

using qzString::IString;
using Record = qzCacheDescriptionIO;
using Channel = Record::ChannelDescription;

IString text(const char* utf8) { return IString(utf8, 1); }
std::string str(const IString& s) { return s.asUTF8(); }

struct Unref {
    void operator()(qzCacheFileAccessor* accessor) const { accessor->unref(); }
};
using AccessorPtr = std::unique_ptr<qzCacheFileAccessor, Unref>;
AccessorPtr newAccessor() {
    return AccessorPtr(qzCacheFileAccessor::createQzCacheFileAccessor());
}

std::string readText(const std::string& path) {
    const std::vector<std::uint8_t> bytes = qztest::readFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void writeText(const std::string& path, const std::string& content) {
    qztest::writeFileBytes(path, std::vector<std::uint8_t>(content.begin(), content.end()));
}

std::vector<std::string> directoryEntries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(qztest::fsPath(dir))) {
        names.push_back(entry.path().filename().u8string());
    }
    return names;
}

const char kChannelAttributes[] =
    "ChannelName=\"pos\" ChannelType=\"FloatVectorArray\" ChannelInterpretation=\"position\" "
    "SamplingType=\"Regular\" SamplingRate=\"250\" StartTime=\"0\" EndTime=\"1000\"";

std::string document(const std::string& body, const std::string& root = "Qordexon_Cache_File") {
    return "<?xml version=\"1.0\"?>\n<" + root + ">\n" + body + "\n</" + root + ">\n";
}

// A complete document whose channel element carries the given attributes.
std::string documentWithChannel(const std::string& attributes) {
    return document(
        "<cacheType Type=\"OneFile\" Format=\"kcc\"/>\n<time Range=\"0-1000\"/>\n"
        "<cacheTimePerFrame TimePerFrame=\"250\"/>\n<cacheVersion Version=\"2.0\"/>\n"
        "<Channels><channel0 " + attributes + "/></Channels>");
}

class CacheDescriptionTest : public ::testing::Test {
protected:
    // Reads `content` as a description file into `record`.
    bool readDocument(const std::string& content, qzCacheDescriptionIO& record) {
        writeText(record.fileName().asUTF8(), content);
        return record.readFile();
    }
    bool readDocument(const std::string& content) {
        qzCacheDescriptionIO record(IString(path.c_str(), 0));
        return readDocument(content, record);
    }

    qztest::TempDir dir;
    const std::string path = dir.file("shot.xml");
};

TEST_F(CacheDescriptionTest, AccessorWritesTheDocumentedLayout) {
    AccessorPtr accessor = newAccessor();
    accessor->setDistribution(qzCacheFileAccessor::kOneFile);
    accessor->addDescriptionInfo(text("made by a test"));
    unsigned int index = 0;
    ASSERT_TRUE(accessor->addChannel(text("pos"), text("position"), qzCacheData::kFloatVectorArray,
                                     index));
    ASSERT_TRUE(accessor->addChannel(text("w"), text("weight"), qzCacheData::kDoubleArray, index));
    for (unsigned int c = 0; c < 2; ++c) {
        ASSERT_TRUE(accessor->setChannelStartTime(c, 250));
        ASSERT_TRUE(accessor->setChannelEndTime(c, 5000));
        ASSERT_TRUE(accessor->setChannelSamplingRate(c, 250));
    }
    accessor->setMemoryCache(true);
    ASSERT_TRUE(accessor->writeDescriptionFile(IString(path.c_str(), 0)));
    EXPECT_FALSE(accessor->memoryCache());
    const std::string expected =
        "<?xml version=\"1.0\"?>\n"
        "<Qordexon_Cache_File>\n"
        "  <cacheType Type=\"OneFile\" Format=\"kcc\"/>\n"
        "  <time Range=\"250-5000\"/>\n"
        "  <cacheTimePerFrame TimePerFrame=\"250\"/>\n"
        "  <cacheVersion Version=\"2.0\"/>\n"
        "  <extra>made by a test</extra>\n"
        "  <Channels>\n"
        "    <channel0 ChannelName=\"pos\" ChannelType=\"FloatVectorArray\" "
        "ChannelInterpretation=\"position\" SamplingType=\"Regular\" SamplingRate=\"250\" "
        "StartTime=\"250\" EndTime=\"5000\"/>\n"
        "    <channel1 ChannelName=\"w\" ChannelType=\"DoubleArray\" "
        "ChannelInterpretation=\"weight\" SamplingType=\"Regular\" SamplingRate=\"250\" "
        "StartTime=\"250\" EndTime=\"5000\"/>\n"
        "  </Channels>\n"
        "</Qordexon_Cache_File>\n";
    EXPECT_EQ(readText(path), expected);
    EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"shot.xml"});
}

TEST_F(CacheDescriptionTest, AccessorWithoutChannelsWritesAnEmptyRange) {
    AccessorPtr accessor = newAccessor();
    accessor->setDistribution(qzCacheFileAccessor::kOneFilePerFrame);
    ASSERT_TRUE(accessor->writeDescriptionFile(IString(path.c_str(), 0)));
    const std::string written = readText(path);
    EXPECT_NE(written.find("<time Range=\"0-0\"/>"), std::string::npos) << written;
    EXPECT_NE(written.find("<Channels/>"), std::string::npos) << written;
    EXPECT_NE(written.find("Type=\"OneFilePerFrame\""), std::string::npos) << written;
}

TEST_F(CacheDescriptionTest, RecordRoundTripsEveryField) {
    {
        qzCacheDescriptionIO record(IString(path.c_str(), 0));
        record.setCacheType(Record::kOneFile);
        record.setCacheFormat(IString("kcx", 0));
        record.setStartTime(-250);
        record.setEndTime(-5);
        record.setTimeRangeSet(true);
        record.setTimePerFrame(6000);
        record.setVersion(IString("2.0", 0));
        record.addDescriptionInfo(text("first <line> & \"quotes\""));
        record.addDescriptionInfo(text(""));
        record.addDescriptionInfo(text("caf\xc3\xa9 \xe2\x82\xac\nsecond row"));
        Channel a;
        a.m_name = text("p\xc3\xbcnkte & <more>");
        a.m_dataType = Record::kInt32Array;
        a.m_interpretation = text("ids \"quoted\" 'single'\ttab");
        a.m_samplingType = Record::kIrregular;
        a.m_samplingRate = 0;
        a.m_startTime = -2147483647 - 1;
        a.m_endTime = 2147483647;
        record.addChannel(a);
        for (int type = 0; type <= 6; ++type) {
            Channel c;
            c.m_name = IString(("c" + std::to_string(type)).c_str(), 0);
            c.m_dataType = static_cast<Record::DataType>(type);
            c.m_samplingRate = 125 + type;
            c.m_startTime = type;
            c.m_endTime = 1000 * type;
            record.addChannel(c);
        }
        ASSERT_TRUE(record.writeFile());
    }
    qzCacheDescriptionIO back(IString(path.c_str(), 0));
    ASSERT_TRUE(back.readFile());
    EXPECT_EQ(back.cacheType(), Record::kOneFile);
    EXPECT_EQ(str(back.cacheFormat()), "kcx");
    EXPECT_TRUE(back.timeRangeSet());
    EXPECT_EQ(back.startTime(), -250);
    EXPECT_EQ(back.endTime(), -5);
    EXPECT_TRUE(back.hasTimePerFrame());
    EXPECT_EQ(back.timePerFrame(), 6000);
    EXPECT_EQ(str(back.version()), "2.0");
    ASSERT_EQ(back.descriptionInfoCount(), 3u);
    EXPECT_EQ(str(back.descriptionInfo(0)), "first <line> & \"quotes\"");
    EXPECT_EQ(str(back.descriptionInfo(1)), "");
    EXPECT_EQ(str(back.descriptionInfo(2)), "caf\xc3\xa9 \xe2\x82\xac\nsecond row");
    ASSERT_EQ(back.channelCount(), 8u);
    const Channel& a = *back.channel(0);
    EXPECT_EQ(str(a.m_name), "p\xc3\xbcnkte & <more>");
    EXPECT_EQ(a.m_dataType, Record::kInt32Array);
    EXPECT_EQ(str(a.m_interpretation), "ids \"quoted\" 'single'\ttab");
    EXPECT_EQ(a.m_samplingType, Record::kIrregular);
    EXPECT_EQ(a.m_samplingRate, 0);
    EXPECT_EQ(a.m_startTime, -2147483647 - 1);
    EXPECT_EQ(a.m_endTime, 2147483647);
    for (int type = 0; type <= 6; ++type) {
        const Channel& c = *back.channel(static_cast<unsigned int>(type) + 1);
        EXPECT_EQ(c.m_dataType, type);
        EXPECT_EQ(c.m_samplingType, Record::kRegular);
        EXPECT_EQ(c.m_samplingRate, 125 + type);
        EXPECT_EQ(c.m_startTime, type);
        EXPECT_EQ(c.m_endTime, 1000 * type);
    }
    EXPECT_EQ(back.channel(8), nullptr);
}

TEST_F(CacheDescriptionTest, RecordWithoutTimeRangeWritesNoTimeElement) {
    qzCacheDescriptionIO record(IString(path.c_str(), 0));
    record.setTimePerFrame(250);
    ASSERT_TRUE(record.writeFile());
    EXPECT_EQ(readText(path).find("<time"), std::string::npos);
    qzCacheDescriptionIO back(IString(path.c_str(), 0));
    ASSERT_TRUE(back.readFile());
    EXPECT_FALSE(back.timeRangeSet());
    EXPECT_EQ(back.cacheType(), Record::kOneFilePerFrame);
}

TEST_F(CacheDescriptionTest, AccessorRoundTripsSettingsAndChannels) {
    AccessorPtr writer = newAccessor();
    writer->setDistribution(qzCacheFileAccessor::kOneFilePerFrame);
    writer->setCacheFormat(IString("kcx", 0));
    writer->setTimePerFrame(6000);
    writer->addDescriptionInfo(text("line one"));
    writer->addDescriptionInfo(text("line <two>"));
    unsigned int index = 0;
    ASSERT_TRUE(writer->addChannel(text("pos\xc3\xa9"), text("position"),
                                   qzCacheData::kDoubleVectorArray, index));
    ASSERT_TRUE(writer->setChannelStartTime(index, -6000));
    ASSERT_TRUE(writer->setChannelEndTime(index, 12000));
    ASSERT_TRUE(writer->setChannelSamplingRate(index, 6000));
    ASSERT_TRUE(writer->addChannel(text("ids"), text("particle ids"), qzCacheData::kInt32Array,
                                   index));
    ASSERT_TRUE(writer->setChannelSamplingType(index, qzCacheChannel::kIrregular));
    ASSERT_TRUE(writer->setChannelStartTime(index, 100));
    ASSERT_TRUE(writer->setChannelEndTime(index, 900));
    ASSERT_TRUE(writer->writeDescriptionFile(IString(path.c_str(), 0)));

    AccessorPtr reader = newAccessor();
    reader->setMemoryCache(true);
    ASSERT_TRUE(reader->readDescriptionFile(IString("shot", 0), IString(dir.path().c_str(), 0)));
    EXPECT_FALSE(reader->memoryCache());
    EXPECT_EQ(str(reader->baseFileName()), "shot");
    EXPECT_EQ(str(reader->storageLocation()), dir.path());
    EXPECT_EQ(reader->distribution(), qzCacheFileAccessor::kOneFilePerFrame);
    EXPECT_EQ(str(reader->cacheFormat()), "kcx");
    EXPECT_EQ(reader->getTicksPerFrame(), 6000);
    ASSERT_EQ(reader->descriptionInfoCount(), 2u);
    IString line;
    reader->getDescriptionInfo(1, line);
    EXPECT_EQ(str(line), "line <two>");
    ASSERT_EQ(reader->numChannels(), 2u);

    IString name, interpretation;
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    qzCacheChannel::qzCacheSamplingType sampling = qzCacheChannel::kIrregular;
    int start = 0, end = 0, rate = 0;
    ASSERT_TRUE(reader->channelName(0, name));
    ASSERT_TRUE(reader->channelInterpretation(0, interpretation));
    ASSERT_TRUE(reader->channelDataType(0, type));
    ASSERT_TRUE(reader->channelSamplingType(0, sampling));
    ASSERT_TRUE(reader->getChannelStartTime(0, start));
    ASSERT_TRUE(reader->getChannelEndTime(0, end));
    ASSERT_TRUE(reader->channelSamplingRate(0, rate));
    EXPECT_EQ(str(name), "pos\xc3\xa9");
    EXPECT_EQ(str(interpretation), "position");
    EXPECT_EQ(type, qzCacheData::kDoubleVectorArray);
    EXPECT_EQ(sampling, qzCacheChannel::kRegular);
    EXPECT_EQ(start, -6000);
    EXPECT_EQ(end, 12000);
    EXPECT_EQ(rate, 6000);

    ASSERT_TRUE(reader->channelName(1, name));
    ASSERT_TRUE(reader->channelDataType(1, type));
    ASSERT_TRUE(reader->channelSamplingType(1, sampling));
    ASSERT_TRUE(reader->getChannelStartTime(1, start));
    ASSERT_TRUE(reader->getChannelEndTime(1, end));
    EXPECT_EQ(str(name), "ids");
    EXPECT_EQ(type, qzCacheData::kInt32Array);
    EXPECT_EQ(sampling, qzCacheChannel::kIrregular);
    EXPECT_EQ(start, 100);
    EXPECT_EQ(end, 900);
}

TEST_F(CacheDescriptionTest, ReadingAddsToExistingChannelsAndSkipsKnownNames) {
    writeText(path, document("<cacheType Type=\"OneFile\"/>\n<Channels>\n"
                             "<channel0 " + std::string(kChannelAttributes) + "/>\n"
                             "<channel1 ChannelName=\"new\" ChannelType=\"Double\" "
                             "ChannelInterpretation=\"\" SamplingType=\"Regular\" "
                             "SamplingRate=\"1\" StartTime=\"2\" EndTime=\"3\"/>\n</Channels>"));
    AccessorPtr accessor = newAccessor();
    unsigned int index = 0;
    ASSERT_TRUE(accessor->addChannel(text("pos"), text("mine"), qzCacheData::kFloatArray, index));
    ASSERT_TRUE(accessor->readDescriptionFile(IString("shot", 0), IString(dir.path().c_str(), 0)));
    ASSERT_EQ(accessor->numChannels(), 2u);
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    IString interpretation;
    ASSERT_TRUE(accessor->channelDataType(0, type));
    ASSERT_TRUE(accessor->channelInterpretation(0, interpretation));
    EXPECT_EQ(type, qzCacheData::kFloatArray);
    EXPECT_EQ(str(interpretation), "mine");
    ASSERT_TRUE(accessor->hasChannelByName(text("new"), index));
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(accessor->getTicksPerFrame(), 250);  // no cacheTimePerFrame: unchanged
    EXPECT_EQ(str(accessor->cacheFormat()), "kcc");
}

TEST_F(CacheDescriptionTest, FailedReadChangesOnlyTheNames) {
    writeText(path, document("<cacheType Type=\"Elsewhere\"/>"));
    AccessorPtr accessor = newAccessor();
    accessor->setTimePerFrame(500);
    accessor->setDistribution(qzCacheFileAccessor::kOneFile);
    accessor->setMemoryCache(true);
    EXPECT_FALSE(accessor->readDescriptionFile(IString("shot", 0), IString(dir.path().c_str(), 0)));
    EXPECT_EQ(str(accessor->baseFileName()), "shot");
    EXPECT_EQ(str(accessor->storageLocation()), dir.path());
    EXPECT_EQ(accessor->getTicksPerFrame(), 500);
    EXPECT_EQ(accessor->distribution(), qzCacheFileAccessor::kOneFile);
    EXPECT_TRUE(accessor->memoryCache());
    EXPECT_FALSE(
        accessor->readDescriptionFile(IString("absent", 0), IString(dir.path().c_str(), 0)));
    EXPECT_EQ(accessor->numChannels(), 0u);
}

TEST_F(CacheDescriptionTest, MissingTimePerFrameKeepsTheAccessorsTicks) {
    writeText(path, document("<cacheType Type=\"OneFile\" Format=\"kcc\"/>\n<Channels/>"));
    AccessorPtr accessor = newAccessor();
    accessor->setTimePerFrame(480);
    ASSERT_TRUE(accessor->readDescriptionFile(IString("shot", 0), IString(dir.path().c_str(), 0)));
    EXPECT_EQ(accessor->getTicksPerFrame(), 480);
    qzCacheDescriptionIO record(IString(path.c_str(), 0));
    ASSERT_TRUE(record.readFile());
    EXPECT_FALSE(record.hasTimePerFrame());
}

TEST_F(CacheDescriptionTest, OldRootIsReadAndNewRootWritten) {
    const std::string body = "<cacheType Type=\"OneFile\" Format=\"kcx\"/>\n"
                             "<cacheTimePerFrame TimePerFrame=\"300\"/>\n"
                             "<Channels><channel0 " + std::string(kChannelAttributes) +
                             "/></Channels>";
    qzCacheDescriptionIO old(IString(path.c_str(), 0));
    ASSERT_TRUE(readDocument(document(body, "Ruvak_Cache_File"), old));
    EXPECT_EQ(old.cacheType(), Record::kOneFile);
    EXPECT_EQ(str(old.cacheFormat()), "kcx");
    EXPECT_EQ(old.timePerFrame(), 300);
    ASSERT_EQ(old.channelCount(), 1u);
    EXPECT_EQ(str(old.channel(0)->m_name), "pos");
    ASSERT_TRUE(old.writeFile());
    EXPECT_NE(readText(path).find("<Qordexon_Cache_File>"), std::string::npos);
    EXPECT_EQ(readText(path).find("Ruvak"), std::string::npos);

    EXPECT_FALSE(readDocument(document(body, "Other_Cache_File")));
    EXPECT_FALSE(readDocument(document(body, "qordexon_cache_file")));
}

TEST_F(CacheDescriptionTest, EveryMissingRequiredAttributeFails) {
    ASSERT_TRUE(readDocument(documentWithChannel(kChannelAttributes)));
    const char* const attributes[] = {"ChannelName",  "ChannelType",  "ChannelInterpretation",
                                      "SamplingType", "SamplingRate", "StartTime", "EndTime"};
    for (const char* attribute : attributes) {
        std::string reduced = kChannelAttributes;
        const std::size_t at = reduced.find(std::string(attribute) + "=\"");
        ASSERT_NE(at, std::string::npos);
        reduced.erase(at, reduced.find('"', reduced.find('"', at) + 1) + 1 - at);
        EXPECT_FALSE(readDocument(documentWithChannel(reduced))) << attribute;
    }
    const std::string channels =
        "<Channels><channel0 " + std::string(kChannelAttributes) + "/></Channels>";
    EXPECT_FALSE(readDocument(document("<cacheType Format=\"kcc\"/>")));
    EXPECT_FALSE(readDocument(document("<cacheVersion version=\"2.0\"/>")));
    EXPECT_FALSE(readDocument(document("<time range=\"0-1\"/>")));
    EXPECT_FALSE(readDocument(document("<cacheTimePerFrame/>")));
    EXPECT_TRUE(readDocument(document("<cacheVersion Version=\"2.0\"/>" + channels)));
}

TEST_F(CacheDescriptionTest, CacheTypeNamesAndFormat) {
    qzCacheDescriptionIO none(IString(path.c_str(), 0));
    ASSERT_TRUE(readDocument(document("<other/>"), none));
    EXPECT_EQ(none.cacheType(), Record::kOneFilePerFrame);
    EXPECT_EQ(str(none.cacheFormat()), "kcc");

    qzCacheDescriptionIO noFormat(IString(path.c_str(), 0));
    ASSERT_TRUE(readDocument(document("<cacheType Type=\"OneFile\"/>"), noFormat));
    EXPECT_EQ(noFormat.cacheType(), Record::kOneFile);
    EXPECT_EQ(str(noFormat.cacheFormat()), "kcc");

    // A later element overwrites an earlier one.
    qzCacheDescriptionIO twice(IString(path.c_str(), 0));
    ASSERT_TRUE(readDocument(document("<cacheType Type=\"OneFile\" Format=\"kcx\"/>"
                                      "<cacheType Type=\"OneFilePerFrame\" Format=\"abc\"/>"),
                             twice));
    EXPECT_EQ(twice.cacheType(), Record::kOneFilePerFrame);
    EXPECT_EQ(str(twice.cacheFormat()), "abc");

    for (const char* bad : {"onefile", "OneFile ", "", "OneFilePerFrames", "0"}) {
        EXPECT_FALSE(readDocument(document("<cacheType Type=\"" + std::string(bad) + "\"/>")))
            << bad;
    }
}

TEST_F(CacheDescriptionTest, CommentsAndUnknownElements) {
    const std::string channel = "<channel0 " + std::string(kChannelAttributes) + "/>";
    qzCacheDescriptionIO record(IString(path.c_str(), 0));
    ASSERT_TRUE(readDocument(document("<!-- note --><unknown a=\"1\"><x/></unknown>"
                                      "<?cacheType pi?><Channels>" + channel + "</Channels>"
                                      "<Channels>\n  " + channel + "\n</Channels>"),
                             record));
    EXPECT_EQ(record.channelCount(), 2u);  // channels of several "Channels" accumulate
    EXPECT_FALSE(readDocument(document("<Channels>" + channel + "<!-- c --></Channels>")));
    EXPECT_FALSE(readDocument(document("<Channels><![CDATA[x]]></Channels>")));
    // Whatever its name, an element under "Channels" is a channel.
    qzCacheDescriptionIO renamed(IString(path.c_str(), 0));
    ASSERT_TRUE(readDocument(
        document("<Channels><whatever " + std::string(kChannelAttributes) + "/></Channels>"),
        renamed));
    EXPECT_EQ(renamed.channelCount(), 1u);
}

// The marker of a cache written live, read and written back; damage in it leaves the cache
// readable.
TEST_F(CacheDescriptionTest, LiveWriteMarker) {
    struct Case {
        const char* element;
        bool live;
        const char* write;
        bool beingWritten;
        bool counted;
        std::uint64_t groups;
    };
    const Case cases[] = {
        {"", false, "", false, false, 0},
        {"<cacheWriting/>", true, "", true, false, 0},
        {"<cacheWriting Write=\"ab12\" TimeGroups=\"12\"/>", true, "ab12", true, true, 12},
        {"<cacheWriting Write=\"ab12\" Complete=\"1\"/>", true, "ab12", false, false, 0},
        {"<cacheWriting Complete=\"yes\"/>", true, "", true, false, 0},
        {"<cacheWriting TimeGroups=\"18446744073709551615\"/>", true, "", true, true, UINT64_MAX},
        {"<cacheWriting TimeGroups=\"18446744073709551616\"/>", true, "", true, false, 0},
        {"<cacheWriting TimeGroups=\"12 \"/>", true, "", true, false, 0},
        {"<cacheWriting TimeGroups=\"-1\"/>", true, "", true, false, 0},
        {"<cacheWriting TimeGroups=\"\"/>", true, "", true, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.element);
        qzCacheDescriptionIO record(IString(path.c_str(), 0));
        ASSERT_TRUE(readDocument(document(std::string(c.element) + "<cacheType Type=\"OneFile\"/>"), record));
        for (int pass = 0; pass < 2; ++pass) {
            std::uint64_t groups = 0;
            EXPECT_EQ(record.writtenLive(), c.live);
            EXPECT_EQ(str(record.liveWrite()), c.write);
            EXPECT_EQ(record.beingWritten(), c.beingWritten);
            EXPECT_EQ(record.writtenTimeGroups(groups), c.counted);
            EXPECT_EQ(groups, c.groups);
            // Written and read back, it says the same.
            ASSERT_TRUE(record.writeFile(qzCacheDescriptionIO::Durability::kHandedOver));
            record = qzCacheDescriptionIO(IString(path.c_str(), 0));
            ASSERT_TRUE(record.readFile());
        }
    }
}

TEST_F(CacheDescriptionTest, RangeScansLikePercentDDashPercentD) {
    const struct {
        const char* range;
        int start;
        int end;
    } cases[] = {{"-250-500", -250, 500}, {"250-5000", 250, 5000}, {"-10--5", -10, -5},
                 {" 7- 9", 7, 9},         {"abc", 11, 22},      {"7-x", 7, 22},
                 {"7", 7, 22},            {"3-4junk", 3, 4},    {"99999999999-1", 11, 22}};
    for (const auto& c : cases) {
        qzCacheDescriptionIO record(IString(path.c_str(), 0));
        record.setStartTime(11);
        record.setEndTime(22);
        ASSERT_TRUE(readDocument(document("<time Range=\"" + std::string(c.range) + "\"/>"),
                                 record))
            << c.range;
        EXPECT_TRUE(record.timeRangeSet());
        EXPECT_EQ(record.startTime(), c.start) << c.range;
        EXPECT_EQ(record.endTime(), c.end) << c.range;
    }
}

TEST_F(CacheDescriptionTest, NumbersThatDoNotScanFailTheRead) {
    for (const char* bad : {"", "x", "abc12", "2147483648", "-2147483649", "- 5"}) {
        const std::string value = bad;
        EXPECT_FALSE(readDocument(document("<cacheTimePerFrame TimePerFrame=\"" + value + "\"/>")))
            << bad;
        for (const char* attribute : {"SamplingRate", "StartTime", "EndTime"}) {
            std::string attributes = kChannelAttributes;
            const std::size_t at = attributes.find(std::string(attribute) + "=\"") +
                                   std::string(attribute).size() + 2;
            attributes.replace(at, attributes.find('"', at) - at, value);
            EXPECT_FALSE(readDocument(documentWithChannel(attributes))) << attribute << bad;
        }
    }
    qzCacheDescriptionIO record(IString(path.c_str(), 0));
    ASSERT_TRUE(readDocument(document("<cacheTimePerFrame TimePerFrame=\" -2147483648\"/>"),
                             record));
    EXPECT_EQ(record.timePerFrame(), -2147483647 - 1);
}

TEST_F(CacheDescriptionTest, DataTypeAndSamplingTypeNames) {
    const char* const names[] = {"UnknownData", "Double",    "DoubleArray",     "DoubleVectorArray",
                                 "Int32Array",  "FloatArray", "FloatVectorArray"};
    for (int type = 0; type <= 6; ++type) {
        const auto value = static_cast<Record::DataType>(type);
        EXPECT_STREQ(qzCacheDescriptionIO::dataTypeName(value), names[type]);
        EXPECT_EQ(qzCacheDescriptionIO::dataTypeFromName(IString(names[type], 0)), value);
    }
    EXPECT_STREQ(qzCacheDescriptionIO::dataTypeName(static_cast<Record::DataType>(9)),
                 "UnknownData");
    for (const char* unknown : {"double", "Float", "FloatArray ", "", "Int64Array"}) {
        EXPECT_EQ(qzCacheDescriptionIO::dataTypeFromName(IString(unknown, 0)),
                  Record::kUnknownData)
            << unknown;
    }

    const struct {
        const char* text;
        Record::SamplingType type;
    } sampling[] = {{"Regular", Record::kRegular},
                    {"Irregular", Record::kIrregular},
                    {"regular", Record::kIrregular},
                    {"Regular ", Record::kIrregular},
                    {"", Record::kIrregular}};
    for (const auto& s : sampling) {
        std::string attributes = kChannelAttributes;
        attributes.replace(attributes.find("\"Regular\""), 9, "\"" + std::string(s.text) + "\"");
        attributes.replace(attributes.find("\"FloatVectorArray\""), 18, "\"Float\"");
        qzCacheDescriptionIO record(IString(path.c_str(), 0));
        ASSERT_TRUE(readDocument(documentWithChannel(attributes), record)) << s.text;
        ASSERT_EQ(record.channelCount(), 1u);
        EXPECT_EQ(record.channel(0)->m_samplingType, s.type) << s.text;
        EXPECT_EQ(record.channel(0)->m_dataType, Record::kUnknownData);
    }
}

TEST_F(CacheDescriptionTest, ExtraElementsAndEntities) {
    qzCacheDescriptionIO record(IString(path.c_str(), 0));
    ASSERT_TRUE(readDocument(
        "<?xml version=\"1.0\"?>\n"
        "<!DOCTYPE Qordexon_Cache_File [<!ENTITY who \"the &amp; team\">]>\n"
        "<Qordexon_Cache_File><extra/><extra>a &amp; b &lt;c&gt; &#233;</extra>"
        "<extra>by &who;</extra><extra>x<!-- gone -->y</extra></Qordexon_Cache_File>",
        record));
    ASSERT_EQ(record.descriptionInfoCount(), 4u);
    EXPECT_EQ(str(record.descriptionInfo(0)), "");
    EXPECT_EQ(str(record.descriptionInfo(1)), "a & b <c> \xc3\xa9");
    EXPECT_EQ(str(record.descriptionInfo(2)), "by the & team");
    EXPECT_EQ(str(record.descriptionInfo(3)), "xy");
    EXPECT_EQ(str(record.descriptionInfo(4)), "");
}

TEST_F(CacheDescriptionTest, UnwritableRecordsLeaveTheFileUntouched) {
    writeText(path, "earlier description");
    AccessorPtr accessor = newAccessor();  // distribution never set
    EXPECT_FALSE(accessor->writeDescriptionFile(IString(path.c_str(), 0)));
    EXPECT_EQ(readText(path), "earlier description");

    qzCacheDescriptionIO badSampling(IString(path.c_str(), 0));
    badSampling.setCacheType(Record::kOneFile);
    Channel channel;
    channel.m_name = text("c");
    channel.m_samplingType = static_cast<Record::SamplingType>(2);
    badSampling.addChannel(channel);
    EXPECT_FALSE(badSampling.writeFile());

    // A control character cannot be stored in XML 1.0; writing it would make an unreadable file.
    qzCacheDescriptionIO control(IString(path.c_str(), 0));
    control.setCacheType(Record::kOneFile);
    control.addDescriptionInfo(text("bell \x07"));
    EXPECT_FALSE(control.writeFile());

    EXPECT_EQ(readText(path), "earlier description");
    EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"shot.xml"});
}

TEST_F(CacheDescriptionTest, FailedSaveKeepsTheEarlierDescription) {
    qzCacheDescriptionIO record(IString(dir.file("missing/shot.xml").c_str(), 0));
    record.setCacheType(Record::kOneFile);
    EXPECT_FALSE(record.writeFile());
    EXPECT_FALSE(qztest::fileExists(dir.file("missing")));

    // The target is a directory: the rename fails and the temporary goes away.
    std::filesystem::create_directory(qztest::fsPath(dir.file("taken.xml")));
    qzCacheDescriptionIO onDirectory(IString(dir.file("taken.xml").c_str(), 0));
    onDirectory.setCacheType(Record::kOneFile);
    EXPECT_FALSE(onDirectory.writeFile());
    EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"taken.xml"});

    qzCacheDescriptionIO empty(IString("", 0));
    empty.setCacheType(Record::kOneFile);
    EXPECT_FALSE(empty.writeFile());
}

TEST_F(CacheDescriptionTest, OverwritesAnEarlierDescriptionCompletely) {
    writeText(path, std::string(10000, 'x'));
    qzCacheDescriptionIO record(IString(path.c_str(), 0));
    record.setCacheType(Record::kOneFile);
    ASSERT_TRUE(record.writeFile());
    EXPECT_EQ(readText(path).find("xxxx"), std::string::npos);
    EXPECT_TRUE(qzCacheDescriptionIO(IString(path.c_str(), 0)).readFile());
}

// Hostile documents: each either fails or reads with its size bounded, and never crashes.
TEST_F(CacheDescriptionTest, EntityExpansionBombIsRefusedOrBounded) {
    std::string dtd = "<!DOCTYPE Qordexon_Cache_File [\n<!ENTITY l0 \"lollollollollollol\">\n";
    for (int i = 1; i <= 10; ++i) {
        dtd += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) dtd += "&l" + std::to_string(i - 1) + ";";
        dtd += "\">\n";
    }
    dtd += "]>\n";
    {
        // The same declarations used modestly read fine: the refusals below are for the bomb.
        qzCacheDescriptionIO record(IString(path.c_str(), 0));
        ASSERT_TRUE(readDocument("<?xml version=\"1.0\"?>\n" + dtd +
                                     "<Qordexon_Cache_File><extra>&l1;</extra><Channels><c " +
                                     std::string(kChannelAttributes) +
                                     "/></Channels></Qordexon_Cache_File>",
                                 record));
        ASSERT_EQ(record.descriptionInfoCount(), 1u);
        EXPECT_EQ(str(record.descriptionInfo(0)).size(), 180u);
    }
    for (const std::string& body :
         {std::string("<extra>&l10;</extra>"),
          std::string("<cacheVersion Version=\"&l10;\"/>"),
          "<Channels><c " +
              std::string(kChannelAttributes).replace(std::string(kChannelAttributes).find("pos"),
                                                      3, "&l10;") +
              "/></Channels>"}) {
        qzCacheDescriptionIO record(IString(path.c_str(), 0));
        const std::string content = "<?xml version=\"1.0\"?>\n" + dtd + "<Qordexon_Cache_File>" +
                                    body + "</Qordexon_Cache_File>";
        const bool read = readDocument(content, record);
        if (read) {
            EXPECT_LT(str(record.version()).size(), 100000000u);
            for (unsigned int i = 0; i < record.descriptionInfoCount(); ++i) {
                EXPECT_LT(str(record.descriptionInfo(i)).size(), 100000000u);
            }
        }
        EXPECT_FALSE(read) << body;
    }
}

TEST_F(CacheDescriptionTest, ExternalEntitiesAreNotLoaded) {
    const std::string secret = dir.file("secret.txt");
    writeText(secret, "top secret");
    qzCacheDescriptionIO record(IString(path.c_str(), 0));
    const bool read = readDocument(
        "<?xml version=\"1.0\"?>\n<!DOCTYPE Qordexon_Cache_File [\n"
        "<!ENTITY xxe SYSTEM \"file://" + secret + "\">\n"
        "<!ENTITY net SYSTEM \"http://127.0.0.1:9/x\">]>\n"
        "<Qordexon_Cache_File><extra>[&xxe;][&net;]</extra></Qordexon_Cache_File>",
        record);
    if (read) {
        ASSERT_EQ(record.descriptionInfoCount(), 1u);
        EXPECT_EQ(str(record.descriptionInfo(0)).find("secret"), std::string::npos);
    }
}

TEST_F(CacheDescriptionTest, HugeAttributeDeepNestingAndBadBytes) {
    {
        // Beyond the parser's text limit: refused, not read into memory whole.
        const std::string huge(20 * 1000 * 1000, 'a');
        EXPECT_FALSE(readDocument(document("<cacheVersion Version=\"" + huge + "\"/>")));
        qzCacheDescriptionIO record(IString(path.c_str(), 0));
        const std::string large(1000 * 1000, 'b');
        ASSERT_TRUE(readDocument(document("<cacheVersion Version=\"" + large + "\"/>"), record));
        EXPECT_EQ(str(record.version()), large);
    }
    std::string deep;
    for (int i = 0; i < 10000; ++i) deep += "<d>";
    for (int i = 0; i < 10000; ++i) deep += "</d>";
    EXPECT_FALSE(readDocument(document(deep)));
    EXPECT_FALSE(readDocument(document("<extra>caf\xe9 \xff\xfe</extra>")));
    EXPECT_FALSE(readDocument(document("<cacheType Type=\"OneFile\" Format=\"\xc3\"/>")));
    EXPECT_FALSE(readDocument(""));
    EXPECT_FALSE(readDocument("<Qordexon_Cache_File>"));
    EXPECT_FALSE(readDocument(std::string("<Qordexon_Cache_File>\0</Qordexon_Cache_File>", 43)));
}

TEST_F(CacheDescriptionTest, CutDocumentsFailAtEveryLength) {
    const std::string whole = documentWithChannel(kChannelAttributes);
    ASSERT_TRUE(readDocument(whole));
    // Every cut before the root's end tag is complete leaves the document unfinished.
    const std::size_t end = whole.rfind("</Qordexon_Cache_File>") + 21;
    for (std::size_t length = 0; length < end; ++length) {
        EXPECT_FALSE(readDocument(whole.substr(0, length))) << length;
    }
}

}  // namespace
