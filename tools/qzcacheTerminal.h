// Progress reporting on stderr, drawn only when stderr is a terminal.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace qztool {

// Whether the process's standard error stream is a terminal (the tool's only OS call).
bool stderrIsTerminal();

// A one-line progress bar, redrawn in place at most a few times a second; silent when stderr
// is not a terminal, so that logs and pipes stay clean.
class Progress {
public:
    Progress(std::string label, std::size_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void step(std::size_t count = 1);
    // Starts a new phase with its own label and total.
    void reset(const std::string& label, std::size_t total);
    // Clears the line; called by the destructor as well.
    void finish();

private:
    void draw();

    std::string m_label;
    std::size_t m_total;
    std::size_t m_done = 0;
    bool m_enabled;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_lastDraw;
};

}  // namespace qztool
