// qzcache: look into, dump, verify and convert qzCacheShared caches, and run the demo.
#include <cstdio>
#include <exception>
#include <string>

#include <CLI/CLI.hpp>

#include "qzcacheCommands.h"
#include "qzcacheCommon.h"

namespace {

const char* const kExitStatusText =
    "Exit status: 0 success; 1 the cache is not whole (verify, files) or a demo check failed;\n"
    "2 bad arguments; 3 a cache or file could not be read or written.";

void addFormatOption(CLI::App& command, std::string& format, bool csv) {
    if (csv) {
        command.add_option("--format", format, "Output format")
            ->check(CLI::IsMember({"text", "csv", "json"}))
            ->capture_default_str();
    } else {
        command.add_option("--format", format, "Output format")
            ->check(CLI::IsMember({"text", "json"}))
            ->capture_default_str();
    }
}

CLI::Option* addCacheArgument(CLI::App& command, std::string& cache) {
    return command.add_option("CACHE.xml", cache, "Description file of the cache")->required();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace qztool;
    CLI::App app{"qzcache: look into, dump, verify and convert qzCacheShared caches", "qzcache"};
    app.footer(kExitStatusText);
    app.require_subcommand(1);

    InfoOptions info;
    CLI::App* infoCommand = app.add_subcommand(
        "info", "Layout, format, time range, description lines, channels and files of a cache");
    addCacheArgument(*infoCommand, info.cache);
    addFormatOption(*infoCommand, info.format, false);

    InfoOptions files;
    CLI::App* filesCommand = app.add_subcommand(
        "files", "Every file of a cache with its size and whether it exists");
    addCacheArgument(*filesCommand, files.cache);
    addFormatOption(*filesCommand, files.format, false);

    DumpOptions dump;
    CLI::App* dumpCommand =
        app.add_subcommand("dump", "Values of one channel at a time, interpolated between samples");
    addCacheArgument(*dumpCommand, dump.cache);
    dumpCommand->add_option("CHANNEL", dump.channel, "Channel name or index")->required();
    CLI::Option* timeOption = dumpCommand->add_option("--time", dump.time, "Time in ticks");
    CLI::Option* frameOption =
        dumpCommand->add_option("--frame", dump.frame, "Time in frames (may be fractional)");
    timeOption->excludes(frameOption);
    dumpCommand->add_option("--interpolation", dump.interpolation,
                            "Interpolation between samples (default: the channel's own)")
        ->check(CLI::IsMember({"none", "previous", "next", "linear", "catmull-rom"}));
    addFormatOption(*dumpCommand, dump.format, true);

    VerifyOptions verify;
    CLI::App* verifyCommand = app.add_subcommand(
        "verify", "Read every sample and check every data file; exit status 1 unless whole");
    addCacheArgument(*verifyCommand, verify.cache);
    addFormatOption(*verifyCommand, verify.format, false);

    ToPc2Options toPc2;
    CLI::App* toPc2Command =
        app.add_subcommand("to-pc2", "Write a vector channel of a cache as a PC2 point cache");
    toPc2Command->add_option("--cache", toPc2.cache, "Description file of the cache")->required();
    toPc2Command->add_option("--channel", toPc2.channel, "Channel name or index")->required();
    toPc2Command->add_option("--output", toPc2.output, "PC2 file to write")->required();
    toPc2Command->add_option("--step", toPc2.step,
                             "Ticks between samples for an irregular channel "
                             "(default: the ticks per frame)")
        ->check(CLI::PositiveNumber);

    FromPc2Options fromPc2;
    CLI::App* fromPc2Command =
        app.add_subcommand("from-pc2", "Make a cache with one vector channel from a PC2 file");
    fromPc2Command->add_option("--input", fromPc2.input, "PC2 file to read")->required();
    fromPc2Command->add_option("--output", fromPc2.output, "Description file of the new cache")
        ->required();
    fromPc2Command->add_option("--layout", fromPc2.layout, "Data file layout")
        ->check(CLI::IsMember({"one-file", "per-frame"}))
        ->capture_default_str();
    fromPc2Command->add_option("--format", fromPc2.format,
                               "Data file container: kcc (32-bit) or kcx (64-bit)")
        ->check(CLI::IsMember({"kcc", "kcx"}))
        ->capture_default_str();
    fromPc2Command->add_option("--ticks-per-frame", fromPc2.ticksPerFrame, "Ticks in one frame")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();

    DemoOptions demo;
    CLI::App* demoCommand = app.add_subcommand(
        "demo", "Write, read, interpolate, play back, convert and verify a generated cache");
    demoCommand->add_option("DIR", demo.directory,
                            "Directory for the caches (default: a fresh temporary directory)");
    demoCommand->add_option("--frames", demo.frames, "Frames to generate")
        ->check(CLI::Range(4, 100000))
        ->capture_default_str();
    demoCommand->add_option("--grid", demo.grid, "Points per side of the grid")
        ->check(CLI::Range(2, 2000))
        ->capture_default_str();

    for (CLI::App* command : app.get_subcommands({})) {
        command->footer(kExitStatusText);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? kExitOk : kExitBadArguments;
    }

    try {
        if (infoCommand->parsed()) return runInfo(info);
        if (filesCommand->parsed()) return runFiles(files);
        if (dumpCommand->parsed()) {
            dump.hasTime = timeOption->count() > 0;
            dump.hasFrame = frameOption->count() > 0;
            if (!dump.hasTime && !dump.hasFrame) {
                std::fprintf(stderr, "qzcache dump: give --time TICKS or --frame FRAME\n");
                return kExitBadArguments;
            }
            return runDump(dump);
        }
        if (verifyCommand->parsed()) return runVerify(verify);
        if (toPc2Command->parsed()) return runToPc2(toPc2);
        if (fromPc2Command->parsed()) return runFromPc2(fromPc2);
        if (demoCommand->parsed()) return runDemo(demo);
    } catch (const ToolError& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "qzcache: %s\n", error.what());
        return error.status();
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "qzcache: %s\n", error.what());
        return kExitFileError;
    }
    return kExitBadArguments;
}
