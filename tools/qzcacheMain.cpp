// qzcache: look into, dump, verify, convert, stitch and rebuild qzCacheShared caches, and run
// the demo.
#include <cstdio>
#include <exception>
#include <string>

#include <CLI/CLI.hpp>

#include "qzcacheCommands.h"
#include "qzcacheCommon.h"

namespace {

using namespace qztool;

const char* const kExitStatusText =
    "Exit status: 0 success; 1 the cache is not whole (verify, files; rebuild left records\n"
    "out), a followed writer stalled (info --follow --stall) or a demo check failed; 2 bad\n"
    "arguments; 3 a cache or file could not be read or written, or caches could not be\n"
    "stitched.";

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

// Every command's options and its place on the command line.
struct CommandLine {
    InfoOptions info;
    InfoOptions files;
    DumpOptions dump;
    VerifyOptions verify;
    ToPc2Options toPc2;
    FromPc2Options fromPc2;
    ToMddOptions toMdd;
    FromMddOptions fromMdd;
    StitchOptions stitch;
    RebuildOptions rebuild;
    DemoOptions demo;
    ViewOptions view;
    CLI::App* infoCommand = nullptr;
    CLI::App* filesCommand = nullptr;
    CLI::App* dumpCommand = nullptr;
    CLI::App* verifyCommand = nullptr;
    CLI::App* toPc2Command = nullptr;
    CLI::App* fromPc2Command = nullptr;
    CLI::App* toMddCommand = nullptr;
    CLI::App* fromMddCommand = nullptr;
    CLI::App* stitchCommand = nullptr;
    CLI::App* rebuildCommand = nullptr;
    CLI::App* demoCommand = nullptr;
    CLI::App* viewCommand = nullptr;
    CLI::Option* timeOption = nullptr;
    CLI::Option* frameOption = nullptr;
};

void defineQueries(CLI::App& app, CommandLine& line) {
    line.infoCommand = app.add_subcommand(
        "info", "Layout, format, time range, description lines, channels and files of a cache");
    addCacheArgument(*line.infoCommand, line.info.cache);
    addFormatOption(*line.infoCommand, line.info.format, false);
    CLI::Option* follow = line.infoCommand->add_flag(
        "--follow", line.info.follow,
        "Then print each time a live cache's writer adds, until it finishes or Ctrl-C; waits "
        "for the description to appear (with --format json, one object per line)");
    line.infoCommand
        ->add_option("--stall", line.info.stallSeconds,
                     "With --follow: give up (exit status 1) after this many seconds without a "
                     "new time")
        ->check(CLI::PositiveNumber)
        ->needs(follow);

    line.filesCommand = app.add_subcommand(
        "files", "Every file of a cache with its size and whether it exists");
    addCacheArgument(*line.filesCommand, line.files.cache);
    addFormatOption(*line.filesCommand, line.files.format, false);

    DumpOptions& dump = line.dump;
    CLI::App* command =
        app.add_subcommand("dump", "Values of one channel at a time, interpolated between samples");
    line.dumpCommand = command;
    addCacheArgument(*command, dump.cache);
    command->add_option("CHANNEL", dump.channel, "Channel name or index")->required();
    line.timeOption = command->add_option("--time", dump.time, "Time in ticks");
    line.frameOption =
        command->add_option("--frame", dump.frame, "Time in frames (may be fractional)");
    line.timeOption->excludes(line.frameOption);
    command->add_option("--interpolation", dump.interpolation,
                        "Interpolation between samples (default: the channel's own)")
        ->check(CLI::IsMember({"none", "previous", "next", "linear", "catmull-rom"}));
    addFormatOption(*command, dump.format, true);

    line.verifyCommand = app.add_subcommand(
        "verify", "Check the description and every data file; exit status 1 unless whole");
    addCacheArgument(*line.verifyCommand, line.verify.cache);
    addFormatOption(*line.verifyCommand, line.verify.format, false);
}

// The options both point cache formats take; `unit` names the file in the help.
void addToPointsOptions(CLI::App& to, ToPc2Options& options, const std::string& unit) {
    to.add_option("--cache", options.cache, "Description file of the cache")->required();
    to.add_option("--channel", options.channel, "Channel name or index")->required();
    to.add_option("--output", options.output, unit + " file to write")->required();
    to.add_option("--step", options.step,
                  "Ticks between samples for an irregular channel (default: the ticks per frame)")
        ->check(CLI::PositiveNumber);
}

void addFromPointsOptions(CLI::App& from, FromPc2Options& options, const std::string& unit) {
    from.add_option("--input", options.input, unit + " file to read")->required();
    from.add_option("--output", options.output, "Description file of the new cache")->required();
    from.add_option("--layout", options.layout, "Data file layout")
        ->check(CLI::IsMember({"one-file", "per-frame"}))
        ->capture_default_str();
    from.add_option("--format", options.format, "Data file container: kcc (32-bit) or kcx (64-bit)")
        ->check(CLI::IsMember({"kcc", "kcx"}))
        ->capture_default_str();
    from.add_option("--ticks-per-frame", options.ticksPerFrame, "Ticks in one frame")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
}

void defineConversions(CLI::App& app, CommandLine& line) {
    line.toPc2Command =
        app.add_subcommand("to-pc2", "Write a vector channel of a cache as a PC2 point cache");
    addToPointsOptions(*line.toPc2Command, line.toPc2, "PC2");
    line.fromPc2Command =
        app.add_subcommand("from-pc2", "Make a cache with one vector channel from a PC2 file");
    addFromPointsOptions(*line.fromPc2Command, line.fromPc2, "PC2");

    line.toMddCommand =
        app.add_subcommand("to-mdd", "Write a vector channel of a cache as an MDD point cache");
    addToPointsOptions(*line.toMddCommand, line.toMdd, "MDD");
    line.toMddCommand->add_option("--fps", line.toMdd.framesPerSecond,
                                  "Frames per second: a frame's time in the file is frame / fps")
        ->required();
    line.fromMddCommand =
        app.add_subcommand("from-mdd", "Make a cache with one vector channel from an MDD file");
    addFromPointsOptions(*line.fromMddCommand, line.fromMdd, "MDD");
    line.fromMddCommand->add_option("--fps", line.fromMdd.framesPerSecond,
                                    "Frames per second the file's times in seconds were written at")
        ->required();
}

void defineFarm(CLI::App& app, CommandLine& line) {
    StitchOptions& stitch = line.stitch;
    CLI::App* join = app.add_subcommand(
        "stitch", "Join caches baked in pieces (frame ranges) into one cache");
    line.stitchCommand = join;
    join->add_option("--output", stitch.output, "Description file of the new cache")->required();
    join->add_option("INPUT.xml", stitch.inputs, "Description files of the caches to join")
        ->required();
    join->add_option("--layout", stitch.layout, "Data file layout (default: the first input's)")
        ->check(CLI::IsMember({"one-file", "per-frame"}));
    join->add_option("--format", stitch.format,
                     "Data file container, kcc (32-bit) or kcx (64-bit) (default: the first input's)")
        ->check(CLI::IsMember({"kcc", "kcx"}));
    join->add_option("--overlap", stitch.overlap,
                     "A time in several inputs: an error, or taken from the first or last input given")
        ->check(CLI::IsMember({"error", "first", "last"}))
        ->capture_default_str();
    CLI::Option* link = join->add_flag(
        "--link", stitch.link, "Link per-frame files of the same format instead of copying them");
    join->add_flag("--rewrite", stitch.rewrite,
                   "Rewrite per-frame files record by record instead of copying them")
        ->excludes(link);

    RebuildOptions& rebuild = line.rebuild;
    CLI::App* again = app.add_subcommand(
        "rebuild", "Write the lost or unreadable description of a cache from its data files");
    line.rebuildCommand = again;
    addCacheArgument(*again, rebuild.cache);
    again->add_option("--ticks-per-frame", rebuild.ticksPerFrame,
                      "Ticks in one frame, as the cache was written with")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    again->add_option("--layout", rebuild.layout, "Data file layout (default: from the files found)")
        ->check(CLI::IsMember({"one-file", "per-frame"}));
    again->add_option("--format", rebuild.format, "Data file container (default: from the files found)")
        ->check(CLI::IsMember({"kcc", "kcx"}));
    again->add_flag("--force", rebuild.force, "Replace a description that reads");
}

void defineDemo(CLI::App& app, CommandLine& line) {
    DemoOptions& demo = line.demo;
    line.demoCommand = app.add_subcommand(
        "demo", "Write, read, interpolate, play back, convert and verify a generated cache");
    line.demoCommand->add_option("DIR", demo.directory,
                                 "Directory for the caches (default: a fresh temporary directory)");
    line.demoCommand->add_option("--frames", demo.frames, "Frames to generate")
        ->check(CLI::Range(4, 100000))
        ->capture_default_str();
    line.demoCommand->add_option("--grid", demo.grid, "Points per side of the grid")
        ->check(CLI::Range(2, 2000))
        ->capture_default_str();
}

void defineView(CLI::App& app, CommandLine& line) {
    ViewOptions& view = line.view;
    CLI::App* command = app.add_subcommand(
        "view", "Play a cache in the browser: a local web server until Ctrl-C");
    line.viewCommand = command;
    addCacheArgument(*command, view.cache);
    command->add_option("--channel", view.channel,
                        "Channel of points to open with (default: the first one)");
    command->add_option("--port", view.port, "Port to listen on (0: any free port)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    command->add_option("--host", view.host,
                        "Address to listen on; anything but loopback lets other machines in")
        ->capture_default_str();
    command->add_flag("--open", view.open, "Open the page in the desktop's browser");
}

int dispatch(CommandLine& line) {
    if (line.infoCommand->parsed()) return runInfo(line.info);
    if (line.filesCommand->parsed()) return runFiles(line.files);
    if (line.dumpCommand->parsed()) {
        line.dump.hasTime = line.timeOption->count() > 0;
        line.dump.hasFrame = line.frameOption->count() > 0;
        if (!line.dump.hasTime && !line.dump.hasFrame) {
            std::fprintf(stderr, "qzcache dump: give --time TICKS or --frame FRAME\n");
            return kExitBadArguments;
        }
        return runDump(line.dump);
    }
    if (line.verifyCommand->parsed()) return runVerify(line.verify);
    if (line.toPc2Command->parsed()) return runToPc2(line.toPc2);
    if (line.fromPc2Command->parsed()) return runFromPc2(line.fromPc2);
    if (line.toMddCommand->parsed()) return runToMdd(line.toMdd);
    if (line.fromMddCommand->parsed()) return runFromMdd(line.fromMdd);
    if (line.stitchCommand->parsed()) return runStitch(line.stitch);
    if (line.rebuildCommand->parsed()) return runRebuild(line.rebuild);
    if (line.demoCommand->parsed()) return runDemo(line.demo);
    if (line.viewCommand->parsed()) return runView(line.view);
    return kExitBadArguments;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qzcache: look into, dump, verify, convert, stitch and rebuild qzCacheShared caches",
                 "qzcache"};
    app.footer(kExitStatusText);
    app.require_subcommand(1);
    CommandLine line;
    defineQueries(app, line);
    defineConversions(app, line);
    defineFarm(app, line);
    defineDemo(app, line);
    defineView(app, line);
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
        return dispatch(line);
    } catch (const ToolError& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "qzcache: %s\n", error.what());
        return error.status();
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "qzcache: %s\n", error.what());
        return kExitFileError;
    }
}
