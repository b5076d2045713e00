// Runs the qzcache binary on caches written here through the public API and checks its output
// and exit statuses.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "qzCacheFileInterface.h"
#include "testSupport.h"
#include "testCache.h"

#if defined(_WIN32)
#include "qzWindows.h"
#else
#include <sys/wait.h>
#endif

namespace {

using nlohmann::json;

using namespace qztest;

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// The tool's output as text, with Windows line ends read as "\n".
std::string readText(const std::string& path) {
    const std::vector<std::uint8_t> bytes = qztest::readFileBytes(path);
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        text.push_back(static_cast<char>(bytes[i]));
    }
    return text;
}

#if defined(_WIN32)
// Runs a command line with its output going into two files, straight through CreateProcessW
// rather than cmd.exe: under a busy wine a start now and then fails, which cmd.exe reports as
// an unknown program (status 9009). A failed start is tried again; a run, never. The exit
// status, or -1 when the program did not start or end in time.
int runCommand(const std::string& commandLine, const std::string& out, const std::string& err) {
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const auto create = [&](const std::string& path) {
        return CreateFileW(qztest::fsPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    const HANDLE outFile = create(out);
    const HANDLE errFile = create(err);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outFile;
    startup.hStdError = errFile;
    std::wstring line = qztest::fsPath(commandLine).wstring();
    PROCESS_INFORMATION process{};
    bool started = false;
    DWORD error = 0;
    for (int attempt = 0; attempt < 3 && !started && outFile != INVALID_HANDLE_VALUE &&
                          errFile != INVALID_HANDLE_VALUE;
         ++attempt) {
        started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &process) != 0;
        if (!started) {
            error = GetLastError();
            Sleep(200);
        }
    }
    for (const HANDLE file : {outFile, errFile}) {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
    if (!started) {
        ADD_FAILURE() << "cannot start " << commandLine << " (error " << error << ")";
        return -1;
    }
    DWORD status = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, status);
        ADD_FAILURE() << commandLine << " did not end within two minutes";
    } else {
        GetExitCodeProcess(process.hProcess, &status);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}
#endif

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (TestCache* cache : {&m_one, &m_frames}) cache->times = {250, 500, 750, 1000, 1250};
        m_one.name = "one";
        m_frames.name = "frames";
        m_frames.layout = kPerFrame;
        m_frames.format = "kcx";
        writeTestCache(m_one);
        writeTestCache(m_frames);
    }

    std::string cache(const std::string& name) const { return m_dir.file(name + ".xml"); }
    static std::string quoted(const std::string& path) { return "\"" + path + "\""; }

    // Runs the tool; a run that does not end within two minutes fails.
    ToolRun run(const std::string& arguments) const {
        const std::string out = m_dir.file("stdout.txt");
        const std::string err = m_dir.file("stderr.txt");
        const std::string command = std::string("\"") + QZCACHE_TOOL + "\" " + arguments;
        ToolRun result;
#if defined(_WIN32)
        result.status = runCommand(command, out, err);
#else
        const int raw = std::system(("timeout 120 " + command + " >\"" + out + "\" 2>\"" + err + "\"").c_str());
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        if (result.status == 124) ADD_FAILURE() << arguments << ": did not end within two minutes";
#endif
        result.out = readText(out);
        result.err = readText(err);
        return result;
    }

    // Errors come as exactly one line on stderr.
    static void expectOneLineError(const ToolRun& result, const std::string& mention) {
        ASSERT_FALSE(result.err.empty());
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
        EXPECT_NE(result.err.find(mention), std::string::npos) << result.err;
    }

    TempDir m_dir;
    TestCache m_one{m_dir.path()};
    TestCache m_frames{m_dir.path()};
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Replaces the first occurrence of `from` with `to` in a file.
void patchFile(const std::string& path, const std::string& from, const std::string& to) {
    const std::vector<std::uint8_t> bytes = readFileBytes(path);
    std::string text(bytes.begin(), bytes.end());
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    writeFileBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

// Scalar k of a channel's sample at `time`, as written.
double written(const TestCache& cache, unsigned int channel, int time, unsigned int k) {
    const std::vector<unsigned char> bytes = sampleBytes(cache.channels[channel], channel, time);
    switch (cache.channels[channel].type) {
    case qzCacheData::kDoubleArray:
    case qzCacheData::kDoubleVectorArray: return reinterpret_cast<const double*>(bytes.data())[k];
    case qzCacheData::kInt32Array: return reinterpret_cast<const std::int32_t*>(bytes.data())[k];
    default: return reinterpret_cast<const float*>(bytes.data())[k];
    }
}

TEST_F(ToolTest, HelpListsEveryCommandAndEachCommandHasHelp) {
    const ToolRun help = run("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* command : {"info", "files", "dump", "verify", "to-pc2", "from-pc2", "to-mdd", "from-mdd",
                                "demo", "view", "stitch", "rebuild"}) {
        EXPECT_TRUE(contains(help.out, command)) << command;
        const ToolRun own = run(std::string(command) + " --help");
        EXPECT_EQ(own.status, 0) << command;
        EXPECT_TRUE(contains(own.out, "Exit status")) << command;
    }
}

// 2: the command line cannot be used; 3: a file cannot be read or written. Where a caller
// would look for it, the one line of error names what was wrong.
TEST_F(ToolTest, RefusalsGiveTheirStatusAndOneLineOfError) {
    const std::string one = quoted(cache("one"));
    const std::string out = " --output " + quoted(m_dir.file("x.xml"));
    writeFileBytes(m_dir.file("garbage.xml"), {'n', 'o', 't', ' ', 'x', 'm', 'l'});
    // A hand-edited range of two billion ticks at one tick per sample.
    std::filesystem::copy_file(fsPath(cache("frames")), fsPath(cache("huge")));
    patchFile(cache("huge"), "SamplingRate=\"250\"", "SamplingRate=\"1\"");
    patchFile(cache("huge"), "EndTime=\"1250\"", "EndTime=\"2000000000\"");
    const struct {
        std::string arguments;
        int status;
        const char* mention;  // in the error; "": not looked at
    } cases[] = {
        {"", 2, ""},
        {"frobnicate", 2, ""},
        {"info", 2, ""},
        {"dump " + one + " points", 2, ""},  // no time
        {"dump " + one + " points --time 250 --frame 1", 2, ""},
        {"dump " + one + " points --frame 1 --interpolation cubic", 2, ""},
        {"dump " + one + " nosuch --frame 1", 2, "nosuch"},
        {"dump " + one + " 5 --frame 1", 2, ""},  // past the last channel
        {"from-pc2 --input a.pc2 --output b.xml --layout spread", 2, ""},
        {"from-mdd --input a.mdd --output b.xml", 2, ""},  // no --fps
        {"to-mdd --cache " + one + " --channel points --output a.mdd --fps 0", 2, ""},
        {"to-pc2 --cache " + one + " --channel floats --output a.pc2", 2, "floats"},
        // view refuses before it listens: a channel that holds no points, a host no URL can carry.
        {"view " + one + " --channel floats", 2, ""},
        {"view " + one + " --channel nosuch", 2, ""},
        {"view " + one + " --host \"a;b\"", 2, ""},
        {"view " + one + " --port 70000", 2, ""},
        {"info " + quoted(m_dir.file("absent.xml")), 3, "absent.xml"},
        {"verify " + quoted(m_dir.file("garbage.xml")), 3, "garbage.xml"},
        {"files " + quoted(cache("huge")), 3, "stored times"},
        {"verify " + quoted(cache("huge")), 3, "samples"},
        {"dump " + one + " points --frame 1.5 --interpolation none", 3, "points"},
        {"from-pc2 --input " + one + out, 3, "one.xml"},
        {"from-mdd --input " + one + out + " --fps 24", 3, "one.xml"},
        {"rebuild " + one, 3, ""},  // it reads: not replaced without --force
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const ToolRun result = run(c.arguments);
        EXPECT_EQ(result.status, c.status) << result.err;
        if (*c.mention) expectOneLineError(result, c.mention);
    }
}

TEST_F(ToolTest, InfoDescribesTheCacheAsTextAndJson) {
    const ToolRun info = run("info " + quoted(cache("one")));
    ASSERT_EQ(info.status, 0) << info.err;
    for (const char* line : {"layout         one-file\n", "cache format   kcc\n", "ticks/frame    250\n",
                             "time range     250 .. 1250 ticks (frames 1 .. 5)\n", "channels       5\n",
                             "[0] points\n", "type kFloatVectorArray, interpretation \"test\", interpolation linear",
                             "type kInt32Array, interpretation \"test\", interpolation previous",
                             "regular every 250 ticks, 250 .. 1250 ticks, 5 stored times, elements at first time: 5",
                             "files          2, "}) {
        EXPECT_TRUE(contains(info.out, line)) << line;
    }
    const ToolRun asJson = run("info " + quoted(cache("frames")) + " --format json");
    ASSERT_EQ(asJson.status, 0) << asJson.err;
    const json parsed = json::parse(asJson.out);
    EXPECT_EQ(parsed["layout"], "per-frame");
    EXPECT_EQ(parsed["cacheFormat"], "kcx");
    EXPECT_EQ(parsed["timeRange"]["endTicks"], 1250);
    ASSERT_EQ(parsed["channels"].size(), 5u);
    EXPECT_EQ(parsed["channels"][3]["name"], "floats");
    EXPECT_EQ(parsed["channels"][3]["storedTimes"], 5);
    EXPECT_EQ(parsed["channels"][4]["elementsAtFirstTime"], 5);
    EXPECT_EQ(parsed["files"]["count"], 6);
    EXPECT_EQ(parsed["files"]["missing"], 0);
}

// A live writer adds a time every few milliseconds while the tool follows; a second, whose
// writer stops without finishing, makes the tool give up after its stall limit.
TEST_F(ToolTest, InfoFollowPrintsEachNewTimeUntilTheWriterFinishes) {
    for (const bool finishes : {true, false}) {
        SCOPED_TRACE(finishes ? "finishing writer" : "stalled writer");
        const TestChannel points = m_one.channels[0];
        qzCacheFileInterface writer;
        unsigned int channel = 0;
        ASSERT_TRUE(writer.initFileWrite(m_dir.path().c_str(), "growing", kPerFrame, "kcc", 250) &&
                    writer.addChannel("points", "position", points.type, channel));
        writer.setLiveWrite(true, 0);
        const auto write = [&](int time) {
            std::vector<unsigned char> sample = sampleBytes(points, 0, time);
            writer.beginWriteAtTime(time);
            writer.addArrayData(channel, time, sample.data(), points.elements);
            writer.endWriteAtTime();
        };
        write(0);
        // The tool's stall limit bounds the wait for its end.
        std::future<ToolRun> follow = std::async(std::launch::async, [&] {
            return run("info --follow --stall " + std::string(finishes ? "30" : "1") + " --format json " +
                       quoted(cache("growing")));
        });
        for (int frame = 1; finishes && frame < 20; ++frame) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            write(frame * 250);
        }
        ASSERT_TRUE(!finishes || writer.endFileWrite());
        const ToolRun result = follow.get();
        std::istringstream lines(result.out);
        std::string line;
        ASSERT_TRUE(std::getline(lines, line));
        EXPECT_EQ(json::parse(line)["complete"], false);
        std::vector<int> times;
        json last;
        while (std::getline(lines, line)) {
            last = json::parse(line);
            if (last.contains("time")) times.push_back(last["time"].get<int>());
        }
        EXPECT_EQ(result.status, finishes ? 0 : 1) << result.err;
        EXPECT_EQ(finishes ? last["complete"] : last["stopped"], finishes ? json(true) : json("stalled"));
        // Each time once, in order, after the first that the description named at the start.
        ASSERT_EQ(times.empty(), !finishes);
        for (std::size_t i = 0; i < times.size(); ++i) {
            EXPECT_EQ(times[i], (20 - static_cast<int>(times.size()) + static_cast<int>(i)) * 250);
        }
    }
}

TEST_F(ToolTest, FilesListsEveryFileInTimeOrderAndFlagsMissingOnes) {
    const ToolRun files = run("files " + quoted(cache("frames")));
    ASSERT_EQ(files.status, 0) << files.err;
    EXPECT_TRUE(contains(files.out, m_dir.file("frames.xml")));
    EXPECT_TRUE(contains(files.out, "6 files, 0 missing"));
    std::filesystem::remove(fsPath(m_dir.file("framesFrame3.kcx")));
    const ToolRun gone = run("files " + quoted(cache("frames")));
    EXPECT_EQ(gone.status, 1);
    EXPECT_TRUE(contains(gone.out, "MISSING  " + m_dir.file("framesFrame3.kcx")));
    expectOneLineError(gone, "1 of 6 files are missing");

    // Past 2000 files the list comes from one walk over the times instead of one per index.
    TestCache long_{m_dir.path()};
    long_.name = "long";
    long_.layout = kPerFrame;
    long_.channels = {{"v", qzCacheData::kFloatArray, 1}};
    long_.times.clear();
    for (int frame = 0; frame < 2003; ++frame) long_.times.push_back(frame * 250);
    writeTestCache(long_);
    const ToolRun listed = run("files " + quoted(cache("long")) + " --format json");
    ASSERT_EQ(listed.status, 0) << listed.err;
    const json list = json::parse(listed.out)["files"];
    ASSERT_EQ(list.size(), 2004u);
    EXPECT_EQ(list[0]["path"], m_dir.file("long.xml"));
    for (int frame = 0; frame < 2003; ++frame) {
        EXPECT_EQ(list[frame + 1]["path"], m_dir.file("longFrame" + std::to_string(frame) + ".kc"));
        EXPECT_EQ(list[frame + 1]["exists"], true);
    }
}

// The values printed are those the library reads: stored, by the interpolation asked for, and
// the last one past the end.
TEST_F(ToolTest, DumpPrintsTheValuesReadInEachFormat) {
    const struct {
        unsigned int channel;
        const char* at;
        int valuesOf;
        bool stored;
    } cases[] = {{2, "--frame 2", 500, true},
                 {3, "--time 600 --interpolation next", 750, false},
                 {4, "--time 600 --interpolation previous", 500, false},
                 {3, "--frame 9", 1250, false}};
    for (const auto& c : cases) {
        const std::string& name = m_one.channels[c.channel].name;
        const ToolRun dump = run("dump " + quoted(cache("one")) + " " + name + " " + c.at + " --format json");
        ASSERT_EQ(dump.status, 0) << name << " " << c.at << dump.err;
        const json parsed = json::parse(dump.out);
        EXPECT_EQ(parsed["stored"], c.stored) << name << " " << c.at;
        ASSERT_EQ(parsed["values"].size(), 5u);
        for (unsigned int k = 0; k < 2; ++k) {
            EXPECT_EQ(static_cast<float>(parsed["values"][k].get<double>()),
                      static_cast<float>(written(m_one, c.channel, c.valuesOf, k))) << name << " " << c.at;
        }
    }
    const ToolRun text = run("dump " + quoted(cache("frames")) + " 0 --frame 1.5");
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_TRUE(contains(text.out, "375 ticks = frame 1.5 (interpolated, interpolation linear)")) << text.out;
    EXPECT_TRUE(contains(text.out, "elements  5\n"));
    const ToolRun csv = run("dump " + quoted(cache("one")) + " weights --time 500 --format csv");
    ASSERT_EQ(csv.status, 0) << csv.err;
    ASSERT_EQ(csv.out.rfind("index,value\n0,", 0), 0u) << csv.out;
    EXPECT_EQ(std::strtod(csv.out.c_str() + 14, nullptr), written(m_one, 2, 500, 0));
    EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 6);
}

// A whole cache verifies with status 0; each damage gives status 1 and names its kind and file.
TEST_F(ToolTest, VerifyPassesWholeCachesAndNamesEachProblemsKind) {
    for (const char* name : {"one", "frames"}) {
        const ToolRun verify = run("verify " + quoted(cache(name)));
        EXPECT_EQ(verify.status, 0) << name << "\n" << verify.out << verify.err;
        EXPECT_TRUE(contains(verify.out, "samples    25 of 25 checked")) << verify.out;
        EXPECT_TRUE(contains(verify.out, "result     whole\n"));
        EXPECT_TRUE(verify.err.empty()) << verify.err;
    }
    const std::string oneData = m_dir.file("one.kc");
    const struct {
        const char* what;
        std::function<void()> damage;
        std::string cacheName;
        std::string kind;
        std::string file;
        bool hasOffset;
    } cases[] = {
        {"frame file deleted", [&] { std::filesystem::remove(fsPath(m_dir.file("framesFrame4.kcx"))); },
         "frames", "data-file-missing", m_dir.file("framesFrame4.kcx"), false},
        {"description type changed", [&] { patchFile(cache("frames"), "\"FloatArray\"", "\"Int32Array\""); },
         "frames", "type-differs", m_dir.file("framesFrame1.kcx"), false},
        {"data file cut short", [&] {
             std::vector<std::uint8_t> data = readFileBytes(oneData);
             data.resize(data.size() - 7);
             writeFileBytes(oneData, data);
         }, "one", "truncated", oneData, true},
        // Damage comes on top of the earlier one: the first record now comes first.
        {"count record patched", [&] {
             patchFile(oneData, std::string("SIZE\0\0\0\4\0\0\0\5", 12), std::string("SIZE\0\0\0\4\0\0\0\6", 12));
         }, "one", "corrupt", oneData, false},
    };
    for (const auto& c : cases) {
        c.damage();
        const ToolRun verify = run("verify " + quoted(cache(c.cacheName)) + " --format json");
        EXPECT_EQ(verify.status, 1) << c.what << verify.out;
        const json parsed = json::parse(verify.out);
        EXPECT_EQ(parsed["whole"], false) << c.what;
        ASSERT_FALSE(parsed["problems"].empty()) << c.what;
        const json& first = parsed["problems"][0];
        EXPECT_EQ(first["kind"], c.kind) << c.what << verify.out;
        EXPECT_EQ(first["file"], c.file) << c.what;
        EXPECT_EQ(first.contains("offset"), c.hasOffset) << c.what;
        expectOneLineError(verify, "not whole");
    }
    const ToolRun text = run("verify " + quoted(cache("one")));
    EXPECT_TRUE(contains(text.out, "truncated " + oneData + " at offset ")) << text.out;
    EXPECT_TRUE(contains(text.out, "result     NOT WHOLE\n"));
}

TEST_F(ToolTest, StitchesCachesAndRebuildsALostDescription) {
    const std::string both = quoted(cache("one")) + " " + quoted(cache("frames"));
    const ToolRun refused = run("stitch --output " + quoted(cache("joined")) + " " + both);
    EXPECT_EQ(refused.status, 3);
    expectOneLineError(refused, "time 250 is stored in both");
    const ToolRun joined = run("stitch --output " + quoted(cache("joined")) + " --overlap last --layout per-frame " + both);
    ASSERT_EQ(joined.status, 0) << joined.err;
    EXPECT_TRUE(contains(joined.out, "5 times from 2 input(s), per-frame layout, format kcc")) << joined.out;
    EXPECT_TRUE(contains(joined.out, "left out 250 .. 1250 (5 times), held by another input")) << joined.out;
    EXPECT_EQ(run("verify " + quoted(cache("joined"))).status, 0);

    std::filesystem::remove(fsPath(cache("frames")));
    const ToolRun rebuilt = run("rebuild " + quoted(cache("frames")));
    ASSERT_EQ(rebuilt.status, 0) << rebuilt.err;
    EXPECT_TRUE(contains(rebuilt.out, "points: kFloatVectorArray, regular, 5 times, 250 .. 1250 ticks")) << rebuilt.out;
    EXPECT_EQ(run("verify " + quoted(cache("frames"))).status, 0);
    // A frame file that no longer reads is left out and listed, with status 1.
    writeFileBytes(m_dir.file("framesFrame5.kcx"), {'F', 'O', 'R', '8'});
    const ToolRun damaged = run("rebuild --force " + quoted(cache("frames")));
    EXPECT_EQ(damaged.status, 1) << damaged.err;
    EXPECT_TRUE(contains(damaged.out, "framesFrame5.kcx")) << damaged.out;
    EXPECT_TRUE(contains(damaged.out, "250 .. 1000 ticks")) << damaged.out;
}

// Out and back in; an export cut off in its last frame gives status 3 and still a whole cache of
// the frames it holds.
TEST_F(ToolTest, ConvertsToPointCachesAndBack) {
    const struct {
        const char* kind;
        const char* fps;  // the MDD commands' rate
        std::size_t header;
        const char* unit;
    } formats[] = {{"pc2", "", 32, "samples"}, {"mdd", " --fps 24", 8 + 4 * 5, "frames"}};
    for (const auto& f : formats) {
        SCOPED_TRACE(f.kind);
        const std::string kind = f.kind;
        const std::string file = m_dir.file("points." + kind);
        const ToolRun out = run("to-" + kind + " --cache " + quoted(cache("frames")) + " --channel points --output " +
                                quoted(file) + f.fps);
        ASSERT_EQ(out.status, 0) << out.err;
        EXPECT_TRUE(contains(out.out, "5 " + std::string(f.unit) + " of 5 points")) << out.out;
        EXPECT_EQ(readFileBytes(file).size(), f.header + 5 * 5 * 12);
        const std::string back = m_dir.file("back" + kind + ".xml");
        const ToolRun made = run("from-" + kind + " --input " + quoted(file) + " --output " + quoted(back) +
                                 " --layout per-frame --format kcx" + f.fps);
        ASSERT_EQ(made.status, 0) << made.err;
        EXPECT_EQ(run("verify " + quoted(back)).status, 0);

        std::vector<std::uint8_t> bytes = readFileBytes(file);
        bytes.resize(bytes.size() - 20);
        writeFileBytes(file, bytes);
        const std::string cutCache = m_dir.file("cut" + kind + ".xml");
        const ToolRun cut = run("from-" + kind + " --input " + quoted(file) + " --output " + quoted(cutCache) + f.fps);
        EXPECT_EQ(cut.status, 3);
        expectOneLineError(cut, "holds 4 of its 5 " + std::string(f.unit));
        const ToolRun salvaged = run("verify " + quoted(cutCache));
        EXPECT_EQ(salvaged.status, 0) << salvaged.out;
        EXPECT_TRUE(contains(salvaged.out, "samples    4 of 4 checked")) << salvaged.out;
    }
}

TEST_F(ToolTest, DemoChecksEverythingAndLeavesVerifiableCaches) {
    const std::string directory = m_dir.file("demo");
    const ToolRun demo = run("demo " + quoted(directory) + " --frames 6 --grid 8");
    ASSERT_EQ(demo.status, 0) << demo.out << demo.err;
    EXPECT_TRUE(contains(demo.out, "a rippling grid of 64 points over 6 frames"));
    EXPECT_TRUE(contains(demo.out, " 0 failed"));
    EXPECT_TRUE(contains(demo.out, "qzcache info " + directory + "/wave_onefile.xml"));
    for (const char* name : {"wave_onefile", "wave_perframe", "wave_from_pc2"}) {
        const ToolRun verify = run("verify " + quoted(directory + "/" + name + ".xml"));
        EXPECT_EQ(verify.status, 0) << name << verify.out;
    }
    EXPECT_TRUE(contains(run("info " + quoted(directory + "/wave_onefile.xml")).out, "values in memory only"));
}

}  // namespace
