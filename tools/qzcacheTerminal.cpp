#include "qzcacheTerminal.h"

#include <cstdio>
#include <utility>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace qztool {

bool stderrIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

Progress::Progress(std::string label, std::size_t total)
    : m_label(std::move(label)), m_total(total), m_enabled(stderrIsTerminal()) {}

Progress::~Progress() { finish(); }

void Progress::reset(const std::string& label, std::size_t total) {
    m_label = label;
    m_total = total;
    m_done = 0;
    draw();
}

void Progress::step(std::size_t count) {
    m_done += count;
    const auto now = std::chrono::steady_clock::now();
    if (!m_drawn || now - m_lastDraw > std::chrono::milliseconds(100) || m_done >= m_total) {
        draw();
    }
}

void Progress::draw() {
    if (!m_enabled) {
        return;
    }
    constexpr int kWidth = 30;
    const std::size_t done = m_done < m_total ? m_done : m_total;
    const int filled = m_total == 0 ? kWidth : static_cast<int>(done * kWidth / m_total);
    const int percent = m_total == 0 ? 100 : static_cast<int>(done * 100 / m_total);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kWidth - filled), '.');
    std::fprintf(stderr, "\r\033[K%s [%s] %3d%%", m_label.c_str(), bar.c_str(), percent);
    std::fflush(stderr);
    m_drawn = true;
    m_lastDraw = std::chrono::steady_clock::now();
}

void Progress::finish() {
    if (m_enabled && m_drawn) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        m_drawn = false;
    }
}

}  // namespace qztool
