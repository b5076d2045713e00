// The commands of the qzcache tool. Each returns its exit status (qzcacheCommon.h) or throws
// ToolError; output goes to stdout, problems to stderr.
#pragma once

#include <string>
#include <vector>

namespace qztool {

struct InfoOptions {
    std::string cache;
    std::string format = "text";  // text | json
    // info only: after the description, each time a live cache's writer adds, until the
    // writer finishes, Ctrl-C, or `stallSeconds` (0: no limit) pass without a new time.
    bool follow = false;
    int stallSeconds = 0;
};
int runInfo(const InfoOptions& options);
int runFiles(const InfoOptions& options);

struct DumpOptions {
    std::string cache;
    std::string channel;
    bool hasTime = false;
    int time = 0;
    bool hasFrame = false;
    double frame = 0.0;
    std::string interpolation;  // empty: the channel's own
    std::string format = "text";  // text | csv | json
};
int runDump(const DumpOptions& options);

struct VerifyOptions {
    std::string cache;
    std::string format = "text";  // text | json
};
int runVerify(const VerifyOptions& options);

struct ToPc2Options {
    std::string cache;
    std::string channel;
    std::string output;
    int step = 0;  // 0: the ticks per frame, used for irregular channels only
};
int runToPc2(const ToPc2Options& options);

struct FromPc2Options {
    std::string input;
    std::string output;
    std::string layout = "one-file";  // one-file | per-frame
    std::string format = "kcc";       // kcc | kcx
    int ticksPerFrame = 250;
};
int runFromPc2(const FromPc2Options& options);

// MDD files store seconds: the frames per second turn them into frames and ticks.
struct ToMddOptions : ToPc2Options {
    double framesPerSecond = 0.0;
};
int runToMdd(const ToMddOptions& options);

struct FromMddOptions : FromPc2Options {
    double framesPerSecond = 0.0;
};
int runFromMdd(const FromMddOptions& options);

struct StitchOptions {
    std::string output;
    std::vector<std::string> inputs;
    std::string layout;  // one-file | per-frame; empty: the first input's
    std::string format;  // kcc | kcx; empty: the first input's
    std::string overlap = "error";  // error | first | last
    bool link = false;      // link per-frame files instead of copying them
    bool rewrite = false;   // rewrite per-frame files record by record
};
int runStitch(const StitchOptions& options);

struct RebuildOptions {
    std::string cache;
    int ticksPerFrame = 250;
    std::string layout;  // one-file | per-frame; empty: from the files found
    std::string format;  // kcc | kcx; empty: from the files found
    bool force = false;
};
int runRebuild(const RebuildOptions& options);

struct DemoOptions {
    std::string directory;  // empty: a fresh temporary directory
    int frames = 120;
    int grid = 100;  // points per side of the rippling grid
};
int runDemo(const DemoOptions& options);

struct ViewOptions {
    std::string cache;
    std::string channel;  // empty: the first channel of points
    std::string host = "127.0.0.1";
    int port = 8765;      // 0: any free port
    bool open = false;
};
// Serves the cache to the browser until Ctrl-C. Without the viewer built in, throws ToolError
// saying why.
int runView(const ViewOptions& options);

}  // namespace qztool
