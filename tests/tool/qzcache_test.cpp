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
#include "toolCache.h"

#if defined(_WIN32)
#include "qzWindows.h"
#else
#include <sys/wait.h>
#endif

namespace {

using nlohmann::json;

using namespace qztooltest;

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
        writeKnownCache(m_dir.path(), "one", qzCacheFileInterface::kFormatOneFile, "kcc");
        writeKnownCache(m_dir.path(), "frames", qzCacheFileInterface::kFormatOneFilePerFrame,
                        "kcx");
    }

    std::string cache(const std::string& name) const { return m_dir.file(name + ".xml"); }
    std::string quoted(const std::string& path) const { return "\"" + path + "\""; }

    ToolRun run(const std::string& arguments) const {
        const std::string out = m_dir.file("stdout.txt");
        const std::string err = m_dir.file("stderr.txt");
        const std::string command = std::string("\"") + QZCACHE_TOOL + "\" " + arguments;
        ToolRun result;
#if defined(_WIN32)
        result.status = runCommand(command, out, err);
#else
        const int raw = std::system((command + " >\"" + out + "\" 2>\"" + err + "\"").c_str());
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
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

    qztest::TempDir m_dir;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Replaces the first occurrence of `from` with `to` in a file.
void patchFile(const std::string& path, const std::string& from, const std::string& to) {
    const std::vector<std::uint8_t> bytes = qztest::readFileBytes(path);
    std::string text(bytes.begin(), bytes.end());
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    qztest::writeFileBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

// ---------------------------------------------------------------------------------------

TEST_F(ToolTest, HelpListsEveryCommandAndEachCommandHasHelp) {
    const ToolRun help = run("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* command :
         {"info", "files", "dump", "verify", "to-pc2", "from-pc2", "to-mdd", "from-mdd", "demo", "view",
          "stitch", "rebuild"}) {
        EXPECT_TRUE(contains(help.out, command)) << command;
        const ToolRun own = run(std::string(command) + " --help");
        EXPECT_EQ(own.status, 0) << command;
        EXPECT_TRUE(contains(own.out, "Exit status")) << command;
    }
    EXPECT_TRUE(contains(run("dump --help").out, "--interpolation"));
}

TEST_F(ToolTest, BadArgumentsGiveStatusTwo) {
    EXPECT_EQ(run("").status, 2);
    EXPECT_EQ(run("frobnicate").status, 2);
    EXPECT_EQ(run("info").status, 2);
    EXPECT_EQ(run("dump " + quoted(cache("one")) + " pts").status, 2);  // no time
    EXPECT_EQ(run("dump " + quoted(cache("one")) + " pts --time 250 --frame 1").status, 2);
    EXPECT_EQ(run("dump " + quoted(cache("one")) + " pts --frame 1 --interpolation cubic").status,
              2);
    EXPECT_EQ(run("from-pc2 --input a.pc2 --output b.xml --layout spread").status, 2);
    EXPECT_EQ(run("from-mdd --input a.mdd --output b.xml").status, 2);  // no --fps
    EXPECT_EQ(run("to-mdd --cache " + quoted(cache("one")) + " --channel pts --output a.mdd --fps 0").status, 2);
    const ToolRun unknown = run("dump " + quoted(cache("one")) + " nosuch --frame 1");
    EXPECT_EQ(unknown.status, 2);
    expectOneLineError(unknown, "nosuch");
    const ToolRun pastEnd = run("dump " + quoted(cache("one")) + " 3 --frame 1");
    EXPECT_EQ(pastEnd.status, 2);
    // view refuses before it listens: a channel that holds no points, a host no URL can carry.
    EXPECT_EQ(run("view " + quoted(cache("one")) + " --channel vals").status, 2);
    EXPECT_EQ(run("view " + quoted(cache("one")) + " --channel nosuch").status, 2);
    EXPECT_EQ(run("view " + quoted(cache("one")) + " --host \"a;b\"").status, 2);
    EXPECT_EQ(run("view " + quoted(cache("one")) + " --port 70000").status, 2);
}

TEST_F(ToolTest, UnreadableCacheGivesStatusThreeNamingTheFile) {
    const ToolRun missing = run("info " + quoted(m_dir.file("absent.xml")));
    EXPECT_EQ(missing.status, 3);
    expectOneLineError(missing, "absent.xml");

    qztest::writeFileBytes(m_dir.file("garbage.xml"), {'n', 'o', 't', ' ', 'x', 'm', 'l'});
    const ToolRun garbage = run("verify " + quoted(m_dir.file("garbage.xml")));
    EXPECT_EQ(garbage.status, 3);
    expectOneLineError(garbage, "garbage.xml");
}

TEST_F(ToolTest, InfoDescribesLayoutTimesChannelsAndFiles) {
    const ToolRun info = run("info " + quoted(cache("one")));
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_TRUE(contains(info.out, "layout         one-file\n"));
    EXPECT_TRUE(contains(info.out, "cache format   kcc\n"));
    EXPECT_TRUE(contains(info.out, "ticks/frame    250\n"));
    EXPECT_TRUE(contains(info.out, "time range     250 .. 1250 ticks (frames 1 .. 5)\n"));
    EXPECT_TRUE(contains(info.out, "channels       3\n"));
    EXPECT_TRUE(contains(info.out, "[0] pts\n"));
    EXPECT_TRUE(contains(info.out, "type kFloatVectorArray, interpretation \"position\", "
                                   "interpolation linear"));
    EXPECT_TRUE(contains(info.out, "type kInt32Array, interpretation \"id\", interpolation previous"));
    EXPECT_TRUE(contains(info.out, "regular every 250 ticks, 250 .. 1250 ticks, 5 stored times, "
                                   "elements at first time: 4"));
    EXPECT_TRUE(contains(info.out, "files          2, "));

    const ToolRun asJson = run("info " + quoted(cache("frames")) + " --format json");
    ASSERT_EQ(asJson.status, 0) << asJson.err;
    const json parsed = json::parse(asJson.out);
    EXPECT_EQ(parsed["layout"], "per-frame");
    EXPECT_EQ(parsed["cacheFormat"], "kcx");
    EXPECT_EQ(parsed["timeRange"]["endTicks"], 1250);
    ASSERT_EQ(parsed["channels"].size(), 3u);
    EXPECT_EQ(parsed["channels"][1]["name"], "vals");
    EXPECT_EQ(parsed["channels"][1]["storedTimes"], 5);
    EXPECT_EQ(parsed["channels"][2]["elementsAtFirstTime"], kPoints);
    EXPECT_EQ(parsed["files"]["count"], 1 + kFrames);
    EXPECT_EQ(parsed["files"]["missing"], 0);
}

// A live writer adds a time every few milliseconds while the tool follows; a second, whose
// writer stops without finishing, makes the tool give up after its stall limit.
TEST_F(ToolTest, InfoFollowPrintsEachNewTimeUntilTheWriterFinishes) {
    for (const bool finishes : {true, false}) {
        SCOPED_TRACE(finishes ? "finishing writer" : "stalled writer");
        qzCacheFileInterface writer;
        unsigned int channel = 0;
        ASSERT_TRUE(writer.initFileWrite(m_dir.path().c_str(), "growing",
                                         qzCacheFileInterface::kFormatOneFilePerFrame, "kcc", 250) &&
                    writer.addChannel("pts", "position", qzCacheData::kFloatVectorArray, channel));
        writer.setLiveWrite(true, 0);
        std::vector<float> points(3 * kPoints, 1.0f);
        const auto write = [&](int frame) {
            writer.beginWriteAtTime(frame * 250);
            writer.addArrayData(channel, frame * 250, points.data(), kPoints);
            writer.endWriteAtTime();
        };
        write(0);
        // The tool's stall limit bounds the wait for its end.
        const std::string stall = finishes ? "30" : "1";
        std::future<ToolRun> follow = std::async(std::launch::async, [&] {
            return run("info --follow --stall " + stall + " --format json " + quoted(cache("growing")));
        });
        for (int frame = 1; finishes && frame < 20; ++frame) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            write(frame);
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
        if (!finishes) {
            EXPECT_EQ(result.status, 1) << result.err;
            EXPECT_TRUE(times.empty());
            EXPECT_EQ(last["stopped"], "stalled");
            continue;
        }
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(last["complete"], true);
        EXPECT_EQ(last["times"], 20);
        // Each time once, in order, after the first that the description named at the start.
        ASSERT_FALSE(times.empty());
        for (std::size_t i = 0; i < times.size(); ++i) {
            EXPECT_EQ(times[i], (20 - static_cast<int>(times.size()) + static_cast<int>(i)) * 250);
        }
    }
}

TEST_F(ToolTest, FilesListsEveryFileAndFlagsMissingOnes) {
    const ToolRun files = run("files " + quoted(cache("frames")));
    ASSERT_EQ(files.status, 0) << files.err;
    EXPECT_TRUE(contains(files.out, m_dir.file("frames.xml")));
    for (int frame = 1; frame <= kFrames; ++frame) {
        EXPECT_TRUE(contains(files.out, m_dir.file("framesFrame" + std::to_string(frame) + ".kcx")));
    }
    EXPECT_TRUE(contains(files.out, "6 files, 0 missing"));

    std::filesystem::remove(qztest::fsPath(m_dir.file("framesFrame3.kcx")));
    const ToolRun gone = run("files " + quoted(cache("frames")));
    EXPECT_EQ(gone.status, 1);
    EXPECT_TRUE(contains(gone.out, "MISSING  " + m_dir.file("framesFrame3.kcx")));
    expectOneLineError(gone, "1 of 6 files are missing");
}

TEST_F(ToolTest, FilesListsLongCachesInTimeOrder) {
    // Past 2000 files the list comes from one walk over the times instead of one per index.
    qzCacheFileInterface writer;
    ASSERT_TRUE(writer.initFileWrite(m_dir.path().c_str(), "long",
                                     qzCacheFileInterface::kFormatOneFilePerFrame, "kcc", 250));
    unsigned int channel = 0;
    ASSERT_TRUE(writer.addChannel("v", "value", qzCacheData::kFloatArray, channel));
    constexpr int kTimes = 2003;
    for (int frame = 0; frame < kTimes; ++frame) {
        float value = static_cast<float>(frame);
        writer.beginWriteAtTime(frame * 250);
        ASSERT_TRUE(writer.addArrayData(channel, frame * 250, &value, 1));
        writer.endWriteAtTime();
    }
    ASSERT_TRUE(writer.endFileWrite());
    const ToolRun files = run("files " + quoted(cache("long")) + " --format json");
    ASSERT_EQ(files.status, 0) << files.err;
    const json list = json::parse(files.out)["files"];
    ASSERT_EQ(list.size(), static_cast<std::size_t>(kTimes + 1));
    EXPECT_EQ(list[0]["path"], m_dir.file("long.xml"));
    for (int frame = 0; frame < kTimes; ++frame) {
        EXPECT_EQ(list[frame + 1]["path"], m_dir.file("longFrame" + std::to_string(frame) + ".kc"));
        EXPECT_EQ(list[frame + 1]["exists"], true);
    }
}

TEST_F(ToolTest, DescriptionListingTooManyTimesIsRefused) {
    // A hand-edited range of two billion ticks at one tick per sample.
    patchFile(cache("frames"), "SamplingRate=\"250\"", "SamplingRate=\"1\"");
    patchFile(cache("frames"), "EndTime=\"1250\"", "EndTime=\"2000000000\"");
    for (const char* command : {"files", "verify"}) {
        const ToolRun refused = run(std::string(command) + " " + quoted(cache("frames")));
        EXPECT_EQ(refused.status, 3) << command;
        expectOneLineError(refused, command == std::string("files") ? "stored times" : "samples");
    }
}

TEST_F(ToolTest, DumpGivesStoredAndInterpolatedValues) {
    const ToolRun stored = run("dump " + quoted(cache("one")) + " pts --frame 2");
    ASSERT_EQ(stored.status, 0) << stored.err;
    EXPECT_TRUE(contains(stored.out, "time      500 ticks = frame 2 (stored, interpolation linear)"));
    EXPECT_TRUE(contains(stored.out, "elements  4\n"));
    EXPECT_TRUE(contains(stored.out, "\n3: 3 2 1.5\n"));

    const ToolRun linear = run("dump " + quoted(cache("frames")) + " 0 --frame 1.5");
    ASSERT_EQ(linear.status, 0) << linear.err;
    EXPECT_TRUE(contains(linear.out, "375 ticks = frame 1.5 (interpolated, interpolation linear)"));
    EXPECT_TRUE(contains(linear.out, "\n3: 3 1.5 1.125\n"));

    const ToolRun previous = run("dump " + quoted(cache("one")) + " ids --time 600 --interpolation previous --format csv");
    ASSERT_EQ(previous.status, 0) << previous.err;
    EXPECT_EQ(previous.out, "index,value\n0,200\n1,201\n2,202\n3,203\n");

    const ToolRun next = run("dump " + quoted(cache("one")) + " vals --time 600 --interpolation next --format json");
    ASSERT_EQ(next.status, 0) << next.err;
    const json parsed = json::parse(next.out);
    EXPECT_EQ(parsed["stored"], false);
    EXPECT_EQ(parsed["values"], json({30.0, 30.5, 31.0, 31.5}));

    const ToolRun clamped = run("dump " + quoted(cache("one")) + " vals --frame 9 --format csv");
    ASSERT_EQ(clamped.status, 0) << clamped.err;
    EXPECT_EQ(clamped.out, "index,value\n0,50\n1,50.5\n2,51\n3,51.5\n");
    const ToolRun beyond = run("dump " + quoted(cache("one")) + " vals --time 25000");
    EXPECT_TRUE(contains(beyond.out, "25000 ticks = frame 100 (interpolated")) << beyond.out;

    const ToolRun refused = run("dump " + quoted(cache("one")) + " pts --frame 1.5 --interpolation none");
    EXPECT_EQ(refused.status, 3);
    expectOneLineError(refused, "pts");
}

TEST_F(ToolTest, VerifyPassesOnWholeCaches) {
    for (const char* name : {"one", "frames"}) {
        const ToolRun verify = run("verify " + quoted(cache(name)));
        EXPECT_EQ(verify.status, 0) << name << "\n" << verify.out << verify.err;
        EXPECT_TRUE(contains(verify.out, "samples    15 of 15 checked")) << verify.out;
        EXPECT_TRUE(contains(verify.out, "result     whole\n"));
        EXPECT_TRUE(verify.err.empty()) << verify.err;
    }
}

// Each damage gives status 1 and names its kind and file in the JSON report.
TEST_F(ToolTest, VerifyNamesEachProblemsKind) {
    struct Case {
        const char* what;
        std::function<void()> damage;
        std::string cacheName;
        std::string kind;
        std::string file;
        bool hasOffset;
    };
    const std::string oneData = m_dir.file("one.kc");
    auto cutBy = [&](std::size_t bytes) {
        std::vector<std::uint8_t> data = qztest::readFileBytes(oneData);
        data.resize(data.size() - bytes);
        qztest::writeFileBytes(oneData, data);
    };
    const std::vector<Case> cases = {
        {"frame file deleted", [&] { std::filesystem::remove(qztest::fsPath(m_dir.file("framesFrame4.kcx"))); },
         "frames", "data-file-missing", m_dir.file("framesFrame4.kcx"), false},
        {"description type changed", [&] { patchFile(cache("frames"), "\"FloatArray\"", "\"Int32Array\""); },
         "frames", "type-differs", m_dir.file("framesFrame1.kcx"), false},
        {"data file cut short", [&] { cutBy(7); }, "one", "truncated", oneData, true},
        // Damage comes on top of the earlier one: the first record now comes first.
        {"count record patched", [&] {
             patchFile(oneData, std::string("SIZE\0\0\0\4\0\0\0\4", 12), std::string("SIZE\0\0\0\4\0\0\0\5", 12));
         }, "one", "corrupt", oneData, false},
    };
    for (const Case& c : cases) {
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

// The commands are thin shells: their statuses and what they print, over the library's work.
TEST_F(ToolTest, StitchesCachesAndRebuildsALostDescription) {
    const std::string both = quoted(cache("one")) + " " + quoted(cache("frames"));
    const ToolRun refused = run("stitch --output " + quoted(cache("joined")) + " " + both);
    EXPECT_EQ(refused.status, 3);
    expectOneLineError(refused, "time 250 is stored in both");
    const ToolRun joined =
        run("stitch --output " + quoted(cache("joined")) + " --overlap last --layout per-frame " + both);
    ASSERT_EQ(joined.status, 0) << joined.err;
    EXPECT_TRUE(contains(joined.out, "5 times from 2 input(s), per-frame layout, format kcc"));
    EXPECT_TRUE(contains(joined.out, "left out 250 .. 1250 (5 times), held by another input"));
    EXPECT_EQ(run("verify " + quoted(cache("joined"))).status, 0);

    std::filesystem::remove(qztest::fsPath(cache("frames")));
    const ToolRun rebuilt = run("rebuild " + quoted(cache("frames")));
    ASSERT_EQ(rebuilt.status, 0) << rebuilt.err;
    EXPECT_TRUE(contains(rebuilt.out, "pts: kFloatVectorArray, regular, 5 times, 250 .. 1250 ticks"))
        << rebuilt.out;
    EXPECT_EQ(run("verify " + quoted(cache("frames"))).status, 0);
    EXPECT_EQ(run("rebuild " + quoted(cache("frames"))).status, 3);  // it reads: not without --force
    // A frame file that no longer reads is left out and listed, with status 1.
    qztest::writeFileBytes(m_dir.file("framesFrame5.kcx"), {'F', 'O', 'R', '8'});
    const ToolRun damaged = run("rebuild --force " + quoted(cache("frames")));
    EXPECT_EQ(damaged.status, 1) << damaged.err;
    EXPECT_TRUE(contains(damaged.out, "framesFrame5.kcx")) << damaged.out;
    EXPECT_TRUE(contains(damaged.out, "250 .. 1000 ticks")) << damaged.out;
}

TEST_F(ToolTest, ConvertsToPointCachesAndBack) {
    const struct {
        const char* kind;
        const char* fps;  // the MDD commands' rate
        std::size_t header;
        const char* unit;
    } formats[] = {{"pc2", "", 32, "samples"}, {"mdd", " --fps 24", 8 + 4 * kFrames, "frames"}};
    for (const auto& f : formats) {
        SCOPED_TRACE(f.kind);
        const std::string kind = f.kind;
        const std::string file = m_dir.file("pts." + kind);
        const ToolRun out = run("to-" + kind + " --cache " + quoted(cache("frames")) +
                                " --channel pts --output " + quoted(file) + f.fps);
        ASSERT_EQ(out.status, 0) << out.err;
        EXPECT_TRUE(contains(out.out, "5 " + std::string(f.unit) + " of 4 points")) << out.out;
        EXPECT_EQ(qztest::readFileBytes(file).size(), f.header + kFrames * kPoints * 12);

        const std::string back = m_dir.file("back" + kind + ".xml");
        const ToolRun made = run("from-" + kind + " --input " + quoted(file) + " --output " +
                                 quoted(back) + " --layout per-frame --format kcx" + f.fps);
        ASSERT_EQ(made.status, 0) << made.err;
        const ToolRun dump = run("dump " + quoted(back) + " pts --frame 2");
        ASSERT_EQ(dump.status, 0) << dump.err;
        EXPECT_TRUE(contains(dump.out, "(kDoubleVectorArray)"));
        EXPECT_TRUE(contains(dump.out, "\n3: 3 2 1.5\n"));
        EXPECT_EQ(run("verify " + quoted(back)).status, 0);

        const ToolRun notVector = run("to-" + kind + " --cache " + quoted(cache("one")) +
                                      " --channel vals --output " + quoted(m_dir.file("vals." + kind)) + f.fps);
        EXPECT_EQ(notVector.status, 2);
        expectOneLineError(notVector, "vals");

        const ToolRun notPoints = run("from-" + kind + " --input " + quoted(cache("one")) +
                                      " --output " + quoted(m_dir.file("x.xml")) + f.fps);
        EXPECT_EQ(notPoints.status, 3);
        expectOneLineError(notPoints, "one.xml");

        // An export cut off in its last frame: the frames it holds become a whole cache.
        std::vector<std::uint8_t> bytes = qztest::readFileBytes(file);
        bytes.resize(bytes.size() - 20);
        qztest::writeFileBytes(file, bytes);
        const std::string cutCache = m_dir.file("cut" + kind + ".xml");
        const ToolRun cut = run("from-" + kind + " --input " + quoted(file) + " --output " + quoted(cutCache) + f.fps);
        EXPECT_EQ(cut.status, 3);
        expectOneLineError(cut, "holds 4 of its 5 " + std::string(f.unit));
        const ToolRun salvaged = run("verify " + quoted(cutCache));
        EXPECT_EQ(salvaged.status, 0) << salvaged.out;
        EXPECT_TRUE(contains(salvaged.out, "samples    4 of 4 checked")) << salvaged.out;
    }
    // MDD times out of order name the frame.
    std::vector<std::uint8_t> bytes = qztest::readFileBytes(m_dir.file("pts.mdd"));
    std::copy(bytes.begin() + 8, bytes.begin() + 12, bytes.begin() + 12);
    qztest::writeFileBytes(m_dir.file("pts.mdd"), bytes);
    const ToolRun unordered = run("from-mdd --input " + quoted(m_dir.file("pts.mdd")) + " --output " +
                                  quoted(m_dir.file("u.xml")) + " --fps 24");
    EXPECT_EQ(unordered.status, 3);
    expectOneLineError(unordered, "frame 1 is not after that of frame 0");
}

TEST_F(ToolTest, IrregularChannelIsResampledIntoPc2AtTheStep) {
    {
        // The one data file is complete once the writer is gone.
        qzCacheFileInterface writer;
        ASSERT_TRUE(writer.initFileWrite(m_dir.path().c_str(), "odd",
                                         qzCacheFileInterface::kFormatOneFile, "kcc", 250));
        unsigned int channel = 0;
        ASSERT_TRUE(writer.addChannel("p", "position", qzCacheData::kFloatVectorArray, channel));
        for (int time : {250, 500, 1000}) {
            float xyz[6] = {time / 250.0f, 0.0f, 1.0f, -1.0f, time / 125.0f, 2.0f};
            writer.beginWriteAtTime(time);
            ASSERT_TRUE(writer.addArrayData(channel, time, xyz, 2));
            writer.endWriteAtTime();
        }
        ASSERT_TRUE(writer.endFileWrite());
    }
    const ToolRun info = run("info " + quoted(cache("odd")));
    EXPECT_TRUE(contains(info.out, "irregular, 250 .. 1000 ticks, 3 stored times")) << info.out << info.err;

    const std::string pc2 = m_dir.file("odd.pc2");
    const ToolRun out = run("to-pc2 --cache " + quoted(cache("odd")) + " --channel p --output " +
                            quoted(pc2) + " --step 250");
    ASSERT_EQ(out.status, 0) << out.err;
    EXPECT_TRUE(contains(out.out, "4 samples of 2 points")) << out.out;
    const std::vector<std::uint8_t> bytes = qztest::readFileBytes(pc2);
    ASSERT_EQ(bytes.size(), 32u + 4 * 2 * 12);
    // Sample 2 lies at 750, halfway between the stored 500 and 1000.
    float sample[6];
    std::memcpy(sample, bytes.data() + 32 + 2 * 24, sizeof sample);
    EXPECT_EQ(sample[0], 3.0f);
    EXPECT_EQ(sample[4], 6.0f);
    EXPECT_EQ(sample[5], 2.0f);
}

TEST_F(ToolTest, DemoChecksEverythingAndLeavesVerifiableCaches) {
    const std::string directory = m_dir.file("demo");
    const ToolRun demo = run("demo " + quoted(directory) + " --frames 6 --grid 8");
    ASSERT_EQ(demo.status, 0) << demo.out << demo.err;
    EXPECT_TRUE(contains(demo.out, "a rippling grid of 64 points over 6 frames"));
    EXPECT_TRUE(contains(demo.out, " 0 failed"));
    EXPECT_TRUE(contains(demo.out, "MB/s"));
    EXPECT_TRUE(contains(demo.out, "qzcache info " + directory + "/wave_onefile.xml"));
    for (const char* name : {"wave_onefile", "wave_perframe", "wave_from_pc2"}) {
        const ToolRun verify = run("verify " + quoted(directory + "/" + name + ".xml"));
        EXPECT_EQ(verify.status, 0) << name << verify.out;
    }
    const ToolRun info = run("info " + quoted(directory + "/wave_onefile.xml"));
    EXPECT_TRUE(contains(info.out, "[3] energy\n"));
    EXPECT_TRUE(contains(info.out, "values in memory only"));
}

}  // namespace
