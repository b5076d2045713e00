#include "qzcacheVerify.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "qzcacheCommands.h"
#include "qzcacheCommon.h"
#include "qzcacheTerminal.h"

namespace qztool {

namespace {

struct ProgressBar {
    Progress* bar;
    std::uint64_t total = 0;
    std::uint64_t done = 0;
};

void drawProgress(void* context, std::uint64_t done, std::uint64_t total) {
    ProgressBar& progress = *static_cast<ProgressBar*>(context);
    if (total != progress.total) {
        progress.bar->reset("checking", static_cast<std::size_t>(total));
        progress.total = total;
        progress.done = 0;
    }
    if (done > progress.done) progress.bar->step(static_cast<std::size_t>(done - progress.done));
    progress.done = done;
}

bool describesNothing(const qzCacheCheckReport& report) {
    for (const qzCacheProblem& problem : report.problems) {
        if (problem.kind == qzCacheProblem::kDescriptionUnreadable) return true;
    }
    return false;
}

}  // namespace

qzCacheCheckReport checkCache(const std::string& descriptionPath, Progress* progress) {
    qzCacheChecker checker;
    ProgressBar bar{progress};
    if (progress != nullptr) checker.setProgress(drawProgress, &bar);
    return checker.checkCache(descriptionPath.c_str());
}

std::string problemText(const qzCacheProblem& problem) {
    std::string text = std::string(qzCacheProblem::kindName(problem.kind)) + " " + problem.file;
    if (problem.hasOffset) text += " at offset " + std::to_string(problem.offset);
    if (problem.hasTime) text += ", time " + std::to_string(problem.time);
    if (!problem.channel.empty()) text += ", channel \"" + problem.channel + "\"";
    text += ": " + problem.detail;
    if (problem.lostSamples != 0) {
        text += "; " + std::to_string(problem.lostSamples) + " sample(s) lost";
    }
    return text;
}

void printVerifyText(const qzCacheCheckReport& report) {
    std::printf("cache      %s\n", report.description.c_str());
    std::printf("files      %ju of %ju data file(s) checked, %s\n",
                static_cast<std::uintmax_t>(report.filesChecked),
                static_cast<std::uintmax_t>(report.dataFiles),
                sizeText(report.bytesChecked).c_str());
    std::printf("times      %ju time group(s)\n", static_cast<std::uintmax_t>(report.timesChecked));
    std::printf("samples    %ju of %ju checked\n", static_cast<std::uintmax_t>(report.samplesChecked),
                static_cast<std::uintmax_t>(report.samplesExpected));
    if (!report.whole()) {
        std::printf("problems   %ju\n",
                    static_cast<std::uintmax_t>(report.problems.size() + report.problemsLeftOut));
        for (const qzCacheProblem& problem : report.problems) {
            std::printf("  %s\n", problemText(problem).c_str());
        }
        if (report.problemsLeftOut != 0) {
            std::printf("  ... and %ju more not listed\n",
                        static_cast<std::uintmax_t>(report.problemsLeftOut));
        }
    }
    std::printf("result     %s\n", report.whole() ? "whole" : "NOT WHOLE");
}

std::string verifyJson(const qzCacheCheckReport& report) {
    nlohmann::json problems = nlohmann::json::array();
    for (const qzCacheProblem& problem : report.problems) {
        nlohmann::json entry = {{"kind", qzCacheProblem::kindName(problem.kind)},
                                {"file", problem.file},
                                {"detail", problem.detail},
                                {"lostSamples", problem.lostSamples}};
        if (problem.hasOffset) entry["offset"] = problem.offset;
        if (problem.hasTime) entry["time"] = problem.time;
        if (!problem.channel.empty()) entry["channel"] = problem.channel;
        problems.push_back(entry);
    }
    const nlohmann::json result = {{"cache", report.description},
                                   {"whole", report.whole()},
                                   {"dataFiles", report.dataFiles},
                                   {"filesChecked", report.filesChecked},
                                   {"bytesChecked", report.bytesChecked},
                                   {"timesChecked", report.timesChecked},
                                   {"samplesExpected", report.samplesExpected},
                                   {"samplesChecked", report.samplesChecked},
                                   {"problems", problems},
                                   {"problemsLeftOut", report.problemsLeftOut}};
    return result.dump(2);
}

int runVerify(const VerifyOptions& options) {
    qzCacheCheckReport report;
    {
        Progress progress("checking", 0);
        report = checkCache(options.cache, &progress);
    }
    // A description that cannot be used leaves nothing to check: the cache could not be read.
    if (describesNothing(report)) {
        throw ToolError(kExitFileError, options.cache + ": " + report.problems.front().detail);
    }
    if (options.format == "json") {
        std::printf("%s\n", verifyJson(report).c_str());
    } else {
        printVerifyText(report);
    }
    if (!report.whole()) {
        std::fflush(stdout);
        std::fprintf(stderr, "qzcache: %s: the cache is not whole (%ju problem(s); first: %s %s)\n",
                     options.cache.c_str(),
                     static_cast<std::uintmax_t>(report.problems.size() + report.problemsLeftOut),
                     qzCacheProblem::kindName(report.problems.front().kind),
                     report.problems.front().file.c_str());
        return kExitNotWhole;
    }
    return kExitOk;
}

}  // namespace qztool
