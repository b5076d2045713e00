// The XML description of a cache: the document written, what it reads back, the documents it
// accepts and refuses (hostile ones included), and saves that fail without losing the old one.
#include "qzCacheDescriptionIO.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "qzCacheFileAccessor.h"
#include "testSupport.h"

namespace {

using qztest::text;
using Record = qzCacheDescriptionIO;
using Channel = Record::ChannelDescription;

std::string str(const qzString::IString& s) { return s.asUTF8(); }

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

const std::string kChannel =
    "ChannelName=\"pos\" ChannelType=\"FloatVectorArray\" ChannelInterpretation=\"position\" "
    "SamplingType=\"Regular\" SamplingRate=\"250\" StartTime=\"0\" EndTime=\"1000\"";

std::string document(const std::string& body, const std::string& root = "Qordexon_Cache_File") {
    return "<?xml version=\"1.0\"?>\n<" + root + ">\n" + body + "\n</" + root + ">\n";
}

// A complete document whose channel element carries the given attributes.
std::string withChannel(const std::string& attributes) {
    return document("<cacheType Type=\"OneFile\" Format=\"kcc\"/>\n<time Range=\"0-1000\"/>\n"
                    "<cacheTimePerFrame TimePerFrame=\"250\"/>\n<cacheVersion Version=\"2.0\"/>\n"
                    "<Channels><channel0 " + attributes + "/></Channels>");
}

// The channel attributes with one attribute's value replaced, or the attribute removed.
std::string channelWith(const std::string& attribute, const char* value) {
    std::string attributes = kChannel;
    const std::size_t at = attributes.find(attribute + "=\"");
    const std::size_t end = attributes.find('"', at + attribute.size() + 2);
    if (value) return attributes.replace(at + attribute.size() + 2, end - at - attribute.size() - 2, value);
    return attributes.erase(at, end + 1 - at);
}

// An entity that expands tenfold per level, 18 * 10^n characters at level n.
std::string entityLevels() {
    std::string dtd = "<!DOCTYPE Qordexon_Cache_File [\n<!ENTITY l0 \"lollollollollollol\">\n";
    for (int i = 1; i <= 10; ++i) {
        dtd += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) dtd += "&l" + std::to_string(i - 1) + ";";
        dtd += "\">\n";
    }
    return "<?xml version=\"1.0\"?>\n" + dtd + "]>\n";
}

class CacheDescriptionTest : public ::testing::Test {
protected:
    bool readDocument(const std::string& content, Record& record) {
        writeText(path, content);
        record = Record(text(path));
        return record.readFile();
    }
    bool readDocument(const std::string& content) {
        Record record(text(path));
        return readDocument(content, record);
    }

    qztest::TempDir dir;
    const std::string path = dir.file("shot.xml");
};

TEST_F(CacheDescriptionTest, AccessorWritesTheDocumentedLayout) {
    qztest::AccessorRef accessor;
    accessor->setDistribution(qzCacheFileAccessor::kOneFile);
    accessor->addDescriptionInfo(text("made by a test"));
    unsigned int index = 0;
    ASSERT_TRUE(accessor->addChannel(text("pos"), text("position"), qzCacheData::kFloatVectorArray, index));
    ASSERT_TRUE(accessor->addChannel(text("w"), text("weight"), qzCacheData::kDoubleArray, index));
    for (unsigned int c = 0; c < 2; ++c) {
        ASSERT_TRUE(accessor->setChannelStartTime(c, 250) && accessor->setChannelEndTime(c, 5000));
        ASSERT_TRUE(accessor->setChannelSamplingRate(c, 250));
    }
    ASSERT_TRUE(accessor->writeDescriptionFile(text(path)));
    EXPECT_EQ(readText(path),
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
              "</Qordexon_Cache_File>\n");
    EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"shot.xml"});

}

TEST_F(CacheDescriptionTest, RecordRoundTripsEveryField) {
    {
        Record record(text(path));
        record.setCacheType(Record::kOneFile);
        record.setCacheFormat(text("kcx"));
        record.setStartTime(-250);
        record.setEndTime(-5);
        record.setTimeRangeSet(true);
        record.setTimePerFrame(6000);
        record.setVersion(text("2.0"));
        record.addDescriptionInfo(text("first <line> & \"quotes\""));
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
            c.m_name = text("c" + std::to_string(type));
            c.m_dataType = static_cast<Record::DataType>(type);
            c.m_samplingRate = 125 + type;
            c.m_startTime = type;
            c.m_endTime = 1000 * type;
            record.addChannel(c);
        }
        ASSERT_TRUE(record.writeFile());
    }
    const std::string first = readText(path);
    Record back(text(path));
    ASSERT_TRUE(back.readFile());
    ASSERT_EQ(back.channelCount(), 8u);
    EXPECT_EQ(str(back.channel(0)->m_name), "p\xc3\xbcnkte & <more>");
    EXPECT_EQ(str(back.channel(0)->m_interpretation), "ids \"quoted\" 'single'\ttab");
    EXPECT_EQ(back.channel(0)->m_startTime, -2147483647 - 1);
    EXPECT_EQ(back.channel(4)->m_dataType, Record::kDoubleVectorArray);
    EXPECT_EQ(str(back.descriptionInfo(1)), "caf\xc3\xa9 \xe2\x82\xac\nsecond row");
    // What was read writes the same document again: every field was read as it was written.
    ASSERT_TRUE(back.writeFile());
    EXPECT_EQ(readText(path), first);
}

// The marker of a cache written live, read and written back; damage in it leaves the cache
// readable. Each row: the element, then the write named, being written, the groups counted.
TEST_F(CacheDescriptionTest, LiveWriteMarker) {
    const struct {
        const char* element;
        const char* write;
        bool beingWritten;
        bool counted;
        std::uint64_t groups;
    } cases[] = {
        {"", "", false, false, 0},
        {"<cacheWriting Write=\"ab12\" TimeGroups=\"18446744073709551615\"/>", "ab12", true, true, UINT64_MAX},
        {"<cacheWriting Write=\"ab12\" Complete=\"1\"/>", "ab12", false, false, 0},
        {"<cacheWriting Complete=\"yes\"/>", "", true, false, 0},
        {"<cacheWriting TimeGroups=\"18446744073709551616\"/>", "", true, false, 0},
        {"<cacheWriting TimeGroups=\"12 \"/>", "", true, false, 0},
        {"<cacheWriting TimeGroups=\"-1\"/>", "", true, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.element);
        Record record(text(path));
        ASSERT_TRUE(readDocument(document(std::string(c.element) + "<cacheType Type=\"OneFile\"/>"), record));
        for (int pass = 0; pass < 2; ++pass) {  // as read, then written and read back
            std::uint64_t groups = 0;
            EXPECT_EQ(record.writtenLive(), *c.element != 0);
            EXPECT_EQ(str(record.liveWrite()), c.write);
            EXPECT_EQ(record.beingWritten(), c.beingWritten);
            EXPECT_EQ(record.writtenTimeGroups(groups), c.counted);
            EXPECT_EQ(groups, c.groups);
            ASSERT_TRUE(record.writeFile(Record::Durability::kHandedOver));
            record = Record(text(path));
            ASSERT_TRUE(record.readFile());
        }
    }
}

TEST_F(CacheDescriptionTest, AcceptedDocumentsReadAsMeant) {
    const std::string channels = "<Channels><channel0 " + kChannel + "/></Channels>";
    const struct {
        std::string document;
        std::function<void(const Record&)> check;
    } cases[] = {
        {document("<cacheType Type=\"OneFile\" Format=\"kcx\"/><cacheTimePerFrame TimePerFrame=\"300\"/>" + channels,
                  "Ruvak_Cache_File"),
         [](const Record& r) {  // another program's root name
             EXPECT_EQ(r.timePerFrame(), 300);
             EXPECT_EQ(r.channelCount(), 1u);
         }},
        {document("<cacheType Type=\"OneFile\" Format=\"kcx\"/><cacheType Type=\"OneFilePerFrame\" Format=\"abc\"/>"),
         [](const Record& r) {  // a later element overwrites an earlier one
             EXPECT_EQ(r.cacheType(), Record::kOneFilePerFrame);
             EXPECT_EQ(str(r.cacheFormat()), "abc");
         }},
        {document("<!-- note --><unknown a=\"1\"><x/></unknown><?cacheType pi?>" + channels + "<Channels>\n  <any " +
                  kChannel + "/>\n</Channels>"),
         [](const Record& r) { EXPECT_EQ(r.channelCount(), 2u); }},  // any element under "Channels" is a channel
        {withChannel(channelWith("ChannelType", "Float")),
         [](const Record& r) { EXPECT_EQ(r.channel(0)->m_dataType, Record::kUnknownData); }},
        {document("<cacheTimePerFrame TimePerFrame=\" -2147483648\"/>"),
         [](const Record& r) { EXPECT_EQ(r.timePerFrame(), -2147483647 - 1); }},
        {"<?xml version=\"1.0\"?>\n<!DOCTYPE Qordexon_Cache_File [<!ENTITY who \"the &amp; team\">]>\n"
         "<Qordexon_Cache_File><extra/><extra>a &amp; b &lt;c&gt; &#233;</extra><extra>by &who;</extra>"
         "<extra>x<!-- gone -->y</extra></Qordexon_Cache_File>",
         [](const Record& r) {
             ASSERT_EQ(r.descriptionInfoCount(), 4u);
             const std::vector<std::string> lines{str(r.descriptionInfo(1)), str(r.descriptionInfo(2)), str(r.descriptionInfo(3))};
             EXPECT_EQ(lines, (std::vector<std::string>{"a & b <c> \xc3\xa9", "by the & team", "xy"}));
         }},
        // The declarations of the expansion bomb used modestly: the refusal below is for the bomb.
        {entityLevels() + "<Qordexon_Cache_File><extra>&l1;</extra></Qordexon_Cache_File>",
         [](const Record& r) { EXPECT_EQ(str(r.descriptionInfo(0)).size(), 180u); }},
        {document("<cacheVersion Version=\"" + std::string(1000 * 1000, 'b') + "\"/>"),
         [](const Record& r) { EXPECT_EQ(str(r.version()).size(), 1000u * 1000u); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document.substr(0, 160));
        Record record(text(path));
        ASSERT_TRUE(readDocument(c.document, record));
        c.check(record);
    }
    // A time range reads as "%d-%d" would, keeping what does not scan.
    const struct {
        const char* range;
        int start;
        int end;
    } ranges[] = {{"-250-500", -250, 500}, {"-10--5", -10, -5}, {" 7- 9", 7, 9}, {"abc", 11, 22},
                  {"7-x", 7, 22},          {"7", 7, 22},        {"3-4junk", 3, 4}, {"99999999999-1", 11, 22},
                  {"&#9;7-&#10;9", 7, 9}};  // white space is not only the blank
    for (const auto& c : ranges) {
        Record record(text(path));
        record.setStartTime(11);
        record.setEndTime(22);
        writeText(path, document("<time Range=\"" + std::string(c.range) + "\"/>"));
        ASSERT_TRUE(record.readFile()) << c.range;
        EXPECT_TRUE(record.timeRangeSet());
        EXPECT_EQ(record.startTime(), c.start) << c.range;
        EXPECT_EQ(record.endTime(), c.end) << c.range;
    }
}

TEST_F(CacheDescriptionTest, RefusedDocumentsFailTheRead) {
    std::vector<std::string> refused = {
        "", "<Qordexon_Cache_File>", std::string("<Qordexon_Cache_File>\0</Qordexon_Cache_File>", 43),
        document("<cacheType Type=\"OneFile\"/>", "Other_Cache_File"),
        document("<cacheType Type=\"OneFile\"/>", "qordexon_cache_file"),
        document("<cacheType Format=\"kcc\"/>"), document("<cacheVersion version=\"2.0\"/>"),
        document("<time range=\"0-1\"/>"), document("<cacheTimePerFrame/>"),
        document("<Channels><channel0 " + kChannel + "/><!-- c --></Channels>"),
        document("<Channels><![CDATA[x]]></Channels>"),
        document("<extra>caf\xe9 \xff\xfe</extra>"), document("<cacheType Type=\"OneFile\" Format=\"\xc3\"/>"),
        // Beyond the parser's text limit: refused, not read into memory whole.
        document("<cacheVersion Version=\"" + std::string(20 * 1000 * 1000, 'a') + "\"/>"),
    };
    std::string deep;
    for (int i = 0; i < 10000; ++i) deep += "<d>";
    for (int i = 0; i < 10000; ++i) deep += "</d>";
    refused.push_back(document(deep));
    for (const char* type : {"onefile", "OneFile ", "", "OneFilePerFrames", "0"}) {
        refused.push_back(document("<cacheType Type=\"" + std::string(type) + "\"/>"));
    }
    for (const char* attribute : {"ChannelName", "ChannelType", "ChannelInterpretation", "SamplingType",
                                  "SamplingRate", "StartTime", "EndTime"}) {
        refused.push_back(withChannel(channelWith(attribute, nullptr)));
    }
    for (const char* bad : {"", "x", "abc12", "2147483648", "-2147483649", "- 5"}) {
        refused.push_back(document("<cacheTimePerFrame TimePerFrame=\"" + std::string(bad) + "\"/>"));
        for (const char* attribute : {"SamplingRate", "StartTime", "EndTime"}) {
            refused.push_back(withChannel(channelWith(attribute, bad)));
        }
    }
    // The expansion bomb, wherever it is used, is refused rather than expanded.
    const std::string bombed = kChannel;
    for (const std::string& body : {std::string("<extra>&l10;</extra>"),
                                     std::string("<cacheVersion Version=\"&l10;\"/>"),
                                     "<Channels><c " + std::string(bombed).replace(bombed.find("pos"), 3, "&l10;") +
                                         "/></Channels>"}) {
        refused.push_back(entityLevels() + "<Qordexon_Cache_File>" + body + "</Qordexon_Cache_File>");
    }
    // Every cut before the root's end tag is complete leaves the document unfinished.
    const std::string whole = withChannel(kChannel);
    ASSERT_TRUE(readDocument(whole));
    for (std::size_t length = 0; length < whole.rfind("</Qordexon_Cache_File>") + 21; ++length) {
        refused.push_back(whole.substr(0, length));
    }
    for (const std::string& content : refused) {
        EXPECT_FALSE(readDocument(content)) << content.substr(0, 200);
    }
}

// An external entity is never fetched: the secret beside the description does not reach it.
TEST_F(CacheDescriptionTest, ExternalEntitiesAreNotLoaded) {
    const std::string secret = dir.file("secret.txt");
    writeText(secret, "top secret");
    Record record(text(path));
    const bool read = readDocument("<?xml version=\"1.0\"?>\n<!DOCTYPE Qordexon_Cache_File [\n"
                                   "<!ENTITY xxe SYSTEM \"file://" + secret + "\">\n"
                                   "<!ENTITY net SYSTEM \"http://127.0.0.1:9/x\">]>\n"
                                   "<Qordexon_Cache_File><extra>[&xxe;][&net;]</extra></Qordexon_Cache_File>",
                                   record);
    ASSERT_TRUE(read);
    ASSERT_EQ(record.descriptionInfoCount(), 1u);
    EXPECT_EQ(str(record.descriptionInfo(0)), "[][]");
}

// A record that cannot be stored leaves the earlier description as it was and no other file
// (saves that fail half way: writeFailure_test).
TEST_F(CacheDescriptionTest, FailedSavesKeepTheEarlierDescription) {
    writeText(path, "earlier description");
    qztest::AccessorRef accessor;  // distribution never set
    EXPECT_FALSE(accessor->writeDescriptionFile(text(path)));
    Record badSampling(text(path));
    badSampling.setCacheType(Record::kOneFile);
    Channel channel;
    channel.m_name = text("c");
    channel.m_samplingType = static_cast<Record::SamplingType>(2);
    badSampling.addChannel(channel);
    EXPECT_FALSE(badSampling.writeFile());
    // A control character cannot be stored in XML 1.0; writing it would make an unreadable file.
    Record control(text(path));
    control.setCacheType(Record::kOneFile);
    control.addDescriptionInfo(text("bell \x07"));
    EXPECT_FALSE(control.writeFile());
    EXPECT_FALSE(Record(text("")).writeFile());
    EXPECT_EQ(readText(path), "earlier description");
    EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"shot.xml"});
}

}  // namespace
