// Runs the qzcache binary on caches written here through the public API and checks its output
// and exit statuses.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "qzCacheFileInterface.h"
#include "testCache.h"
#include "testSupport.h"

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
        for (TestCache* cache : {&m_one, &m_frames}) {
            cache->times = {250, 500, 750, 1000, 1250};
            writeTestCache(*cache);
        }
    }

    // A cache's description, quoted for the command line.
    std::string cache(const std::string& name) const { return "\"" + m_dir.file(name + ".xml") + "\""; }

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

    // Runs the tool and checks its status and that its output holds each of `mentions`.
    ToolRun expectRun(const std::string& arguments, int status,
                      std::initializer_list<std::string> mentions = {}) const {
        ToolRun result = run(arguments);
        EXPECT_EQ(result.status, status) << arguments << "\n" << result.out << result.err;
        for (const std::string& mention : mentions) {
            EXPECT_NE(result.out.find(mention), std::string::npos) << arguments << ": no " << mention << "\n"
                                                                   << result.out;
        }
        return result;
    }

    // Errors come as exactly one line on stderr.
    static void expectOneLineError(const ToolRun& result, const std::string& mention) {
        ASSERT_FALSE(result.err.empty());
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
        EXPECT_NE(result.err.find(mention), std::string::npos) << result.err;
    }

    TempDir m_dir;
    TestCache m_one{m_dir.path(), "one"};
    TestCache m_frames{m_dir.path(), "frames", kPerFrame, "kcx"};
};

// Replaces the first occurrence of `from` with `to` in a file.
void patchFile(const std::string& path, const std::string& from, const std::string& to) {
    const std::vector<std::uint8_t> bytes = readFileBytes(path);
    std::string text(bytes.begin(), bytes.end());
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    writeFileBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

// 2: the command line cannot be used; 3: a file cannot be read or written. Where a caller
// would look for it, the one line of error names what was wrong.
TEST_F(ToolTest, RefusalsGiveTheirStatusAndOneLineOfError) {
    const std::string one = cache("one");
    const std::string out = " --output " + cache("x");
    writeFileBytes(m_dir.file("garbage.xml"), {'n', 'o', 't', ' ', 'x', 'm', 'l'});
    // A hand-edited range of two billion ticks at one tick per sample.
    std::filesystem::copy_file(fsPath(m_dir.file("frames.xml")), fsPath(m_dir.file("huge.xml")));
    patchFile(m_dir.file("huge.xml"), "SamplingRate=\"250\"", "SamplingRate=\"1\"");
    patchFile(m_dir.file("huge.xml"), "EndTime=\"1250\"", "EndTime=\"2000000000\"");
    const struct {
        std::string arguments;
        int status;
        const char* mention;  // in the error; "": not looked at
    } cases[] = {
        {"", 2, ""},
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
        {"info " + cache("absent"), 3, "absent.xml"},
        {"verify " + cache("garbage"), 3, "garbage.xml"},
        {"files " + cache("huge"), 3, "stored times"},
        {"verify " + cache("huge"), 3, "samples"},
        {"dump " + one + " points --frame 1.5 --interpolation none", 3, "points"},
        {"from-pc2 --input " + one + out, 3, "one.xml"},
        {"stitch --output " + cache("joined") + " " + one + " " + cache("frames"), 3, "time 250 is stored in both"},
        {"rebuild " + one, 3, ""},  // it reads: not replaced without --force
    };
    for (const auto& c : cases) {
        const ToolRun result = expectRun(c.arguments, c.status);
        if (*c.mention) expectOneLineError(result, c.mention);
    }
}

TEST_F(ToolTest, InfoDescribesTheCacheAsTextAndJson) {
    expectRun("info " + cache("one"), 0,
              {"regular every 250 ticks, 250 .. 1250 ticks, 5 stored times, elements at first time: 5"});
    const json parsed = json::parse(expectRun("info " + cache("frames") + " --format json", 0).out);
    const json expected = {{"/layout", "per-frame"}, {"/cacheFormat", "kcx"}, {"/timeRange/endTicks", 1250},
                           {"/channels/3/name", "floats"}, {"/channels/4/elementsAtFirstTime", 5},
                           {"/channels/4/interpolation", "previous"}, {"/files/count", 6}};
    for (const auto& [pointer, value] : expected.items()) EXPECT_EQ(parsed.at(json::json_pointer(pointer)), value) << pointer;
}

// A finished cache ends the follow at once; one whose writer stopped without finishing, after
// the stall limit. (New times under a live writer: the library's refresh and the view's follow.)
TEST_F(ToolTest, InfoFollowEndsWhenTheCacheIsCompleteOrItsWriterStalls) {
    expectRun("info --follow " + cache("one"), 0, {"complete       5 times, 250 .. 1250 ticks"});
    patchFile(m_dir.file("one.xml"), "<cacheType", "<cacheWriting Write=\"ab12\"/><cacheType");
    const std::string out = expectRun("info --follow --stall 1 --format json " + cache("one"), 1).out;
    EXPECT_EQ(json::parse(out.substr(out.find('\n') + 1))["stopped"], "stalled") << out;
}

TEST_F(ToolTest, FilesListsEveryFileInTimeOrderAndFlagsMissingOnes) {
    std::filesystem::remove(fsPath(m_dir.file("framesFrame3.kcx")));
    const ToolRun gone = expectRun("files " + cache("frames"), 1,
                                   {"MISSING  " + m_dir.file("framesFrame3.kcx"), "6 files, 1 missing"});
    expectOneLineError(gone, "1 of 6 files are missing");

    // Past 2000 files the list comes from one walk over the times instead of one per index.
    TestCache many{m_dir.path(), "many", kPerFrame, "kcc", 250, {{"v", qzCacheData::kFloatArray, 1}}, {}};
    for (int frame = 0; frame < 2003; ++frame) many.times.push_back(frame * 250);
    writeTestCache(many);
    const json list = json::parse(expectRun("files " + cache("many") + " --format json", 0).out)["files"];
    ASSERT_EQ(list.size(), 2004u);
    for (int frame : {0, 1, 1000, 2002}) {
        EXPECT_EQ(list[frame + 1]["path"], m_dir.file("manyFrame" + std::to_string(frame) + ".kc")) << frame;
    }
}

// The values printed are those written (the Python tests compare every interpolation with the
// library's reads); the JSON says whether the time was stored.
TEST_F(ToolTest, DumpPrintsTheValuesAsJsonTextAndCsv) {
    const json parsed = json::parse(expectRun("dump " + cache("one") + " weights --time 500 --format json", 0).out);
    EXPECT_EQ(parsed["stored"], true);
    ASSERT_EQ(parsed["values"].size(), 5u);
    EXPECT_EQ(parsed["values"][0].get<double>(), scalarAt(2, 500, 0));
    EXPECT_EQ(json::parse(run("dump " + cache("one") + " ids --time 600 --format json").out)["stored"], false);
    expectRun("dump " + cache("frames") + " 0 --frame 1.5", 0,
              {"375 ticks = frame 1.5 (interpolated, interpolation linear)\nelements  5\n"});
    const ToolRun csv = expectRun("dump " + cache("one") + " ids --time 500 --format csv", 0);
    EXPECT_EQ(csv.out.rfind("index,value\n0,", 0), 0u) << csv.out;
    EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 6);
}

// A whole cache verifies with status 0; a damaged one gives status 1, one line of error and
// the problem's kind, file and offset.
TEST_F(ToolTest, VerifyTellsWholeFromDamaged) {
    EXPECT_EQ(expectRun("verify " + cache("frames"), 0, {"samples    25 of 25 checked\n", "result     whole\n"}).err,
              "");

    const std::string data = m_dir.file("one.kc");
    std::vector<std::uint8_t> bytes = readFileBytes(data);
    bytes.resize(bytes.size() - 7);
    writeFileBytes(data, bytes);
    const ToolRun damaged = expectRun("verify " + cache("one") + " --format json", 1);
    expectOneLineError(damaged, "not whole");
    const json parsed = json::parse(damaged.out);
    EXPECT_EQ(parsed["whole"], false);
    ASSERT_FALSE(parsed["problems"].empty());
    EXPECT_EQ(parsed["problems"][0]["kind"], "truncated");
    EXPECT_EQ(parsed["problems"][0]["file"], data);
    EXPECT_TRUE(parsed["problems"][0].contains("offset"));
    expectRun("verify " + cache("one"), 1, {"truncated " + data + " at offset ", "result     NOT WHOLE\n"});
}

TEST_F(ToolTest, StitchesCachesAndRebuildsALostDescription) {
    expectRun("stitch --output " + cache("joined") + " --overlap last --layout per-frame " + cache("one") + " " +
                  cache("frames"),
              0, {"5 times from 2 input(s), per-frame layout, format kcc",
                  "left out 250 .. 1250 (5 times), held by another input"});
    expectRun("verify " + cache("joined"), 0);

    std::filesystem::remove(fsPath(m_dir.file("frames.xml")));
    expectRun("rebuild " + cache("frames"), 0, {"points: kFloatVectorArray, regular, 5 times, 250 .. 1250 ticks"});
    // A frame file that no longer reads is left out and listed, with status 1.
    writeFileBytes(m_dir.file("framesFrame5.kcx"), {'F', 'O', 'R', '8'});
    expectRun("rebuild --force " + cache("frames"), 1, {"framesFrame5.kcx", "250 .. 1000 ticks"});
}

// Out and back in (files cut short: the library's conversion tests and the Python ones).
TEST_F(ToolTest, ConvertsToPointCachesAndBack) {
    for (const std::string kind : {"pc2", "mdd"}) {
        SCOPED_TRACE(kind);
        const std::string fps = kind == "mdd" ? " --fps 24" : "";
        const std::string unit = kind == "mdd" ? "frames" : "samples";
        const std::string file = m_dir.file("points." + kind);
        expectRun("to-" + kind + " --cache " + cache("frames") + " --channel points --output \"" + file + "\"" + fps, 0,
                  {"5 " + unit + " of 5 points"});
        expectRun("from-" + kind + " --input \"" + file + "\" --output " + cache("back" + kind) +
                      " --layout per-frame --format kcx" + fps,
                  0);
        expectRun("verify " + cache("back" + kind), 0, {"samples    5 of 5 checked"});
    }
}

TEST_F(ToolTest, DemoChecksEverythingAndLeavesVerifiableCaches) {
    const std::string directory = m_dir.file("demo");
    expectRun("demo \"" + directory + "\" --frames 6 --grid 8", 0,
              {"a rippling grid of 64 points over 6 frames", " 0 failed"});
    expectRun("verify \"" + directory + "/wave_from_pc2.xml\"", 0);
    expectRun("info \"" + directory + "/wave_onefile.xml\"", 0, {"values in memory only"});
}

}  // namespace
