/*
 * console.cpp - terminal output, log sink and progress bar of the tool.
 */
#include "common/console.h"

#include <cstdio>

#include "qorcsock/qorcsock.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

const char* const kDebugChannels[] = {"MAILWARD_Debug", "MAILWARD_Filter", "MAILWARD_AV"};
constexpr int DEBUG_VERBOSITY = 2;
constexpr int INFO_VERBOSITY = 1;

}  // namespace

const char* LogLevelName(int level) {
    switch (level) {
        case QLOG_DEBUG:
            return "debug";
        case QLOG_INFO:
            return "info";
        case QLOG_BUG:
            return "bug";
        default:
            return "error";
    }
}

bool IsTerminal(int fd) {
#if defined(_WIN32)
    return _isatty(fd) != 0;
#else
    return isatty(fd) != 0;
#endif
}

Console& Console::Get() {
    static Console console;
    return console;
}

void Console::InstallLogSink() {
    m_stdoutTty = IsTerminal(1);
    m_stderrTty = IsTerminal(2);
    for (const char* channel : kDebugChannels)
        debug_enable(channel, m_verbosity >= DEBUG_VERBOSITY ? 1 : 0);
    qorcsock_set_log_sink(&Console::Sink, this);
}

void Console::RemoveLogSink() {
    qorcsock_set_log_sink(nullptr, nullptr);
}

void Console::Sink(const char* channel, int level, const char* line, void* user) {
    static_cast<Console*>(user)->OnLogLine(channel, level, line);
}

void Console::OnLogLine(const char* channel, int level, const char* line) {
    if (line == nullptr)
        return;
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_capturing && level != QLOG_DEBUG) {
        if (m_captured.size() < CAPTURE_MAX_LINES)
            m_captured.push_back({level, line});
        else
            ++m_dropped;
    }
    const char* tag = nullptr;
    std::string prefix;
    switch (level) {
        case QLOG_DEBUG:
            if (m_verbosity >= DEBUG_VERBOSITY) {
                prefix = std::string("debug ") + (channel != nullptr ? channel : "") + ": ";
                tag = "";
            }
            break;
        case QLOG_INFO:
            if (m_verbosity >= INFO_VERBOSITY)
                tag = "info: ";
            break;
        case QLOG_BUG:
            tag = "bug: ";
            break;
        default:
            tag = "error: ";
            break;
    }
    if (tag == nullptr)
        return;
    ClearBarLocked();
    std::fprintf(stderr, "%s%s%s%s\n", m_lineTag.c_str(), prefix.c_str(), tag, line);
    std::fflush(stderr);
    DrawBarLocked();
}

void Console::SetLineTag(std::string tag) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_lineTag = std::move(tag);
}

void Console::Out(const std::string& text) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_stdoutTty)
        ClearBarLocked();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    if (m_stdoutTty)
        DrawBarLocked();
}

void Console::Err(const std::string& line) {
    std::lock_guard<std::mutex> hold(m_lock);
    ClearBarLocked();
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    DrawBarLocked();
}

void Console::ProgressStart(std::size_t total) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_total = total;
    m_done = 0;
    m_barOn = m_stderrTty && total >= PROGRESS_MIN_MAILS;
    m_started = std::chrono::steady_clock::now();
    m_lastDraw = {};
    DrawBarLocked();
}

void Console::ProgressUpdate(std::size_t done) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_done = done;
    if (!m_barOn)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (done < m_total && now - m_lastDraw < std::chrono::milliseconds(PROGRESS_REDRAW_MS))
        return;
    DrawBarLocked();
}

void Console::ProgressEnd() {
    std::lock_guard<std::mutex> hold(m_lock);
    ClearBarLocked();
    m_barOn = false;
}

void Console::ClearBarLocked() {
    if (!m_barDrawn)
        return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    m_barDrawn = false;
}

void Console::DrawBarLocked() {
    if (!m_barOn || m_total == 0)
        return;
    const auto now = std::chrono::steady_clock::now();
    m_lastDraw = now;
    const int filled = static_cast<int>(m_done * PROGRESS_BAR_WIDTH / m_total);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(PROGRESS_BAR_WIDTH, '.');
    const double seconds = std::chrono::duration<double>(now - m_started).count();
    const double rate = seconds > 0 ? static_cast<double>(m_done) / seconds : 0.0;
    std::fprintf(stderr, "\r\x1b[K[%s] %zu/%zu mails  %.1f/s", bar.c_str(), m_done, m_total, rate);
    std::fflush(stderr);
    m_barDrawn = true;
}

void Console::CaptureBegin() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_capturing = true;
    m_captured.clear();
    m_dropped = 0;
}

std::vector<LogLine> Console::CaptureTake() {
    std::lock_guard<std::mutex> hold(m_lock);
    std::vector<LogLine> out;
    out.swap(m_captured);
    if (m_dropped > 0)
        out.push_back({QLOG_INFO, "(" + std::to_string(m_dropped) + " more lines not kept)"});
    m_dropped = 0;
    return out;
}

void Console::CaptureEnd() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_capturing = false;
    m_captured.clear();
}
