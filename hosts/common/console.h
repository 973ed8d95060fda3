/*
 * console.h - everything the tool writes to the terminal: results on
 * stdout, the library's log lines and messages on stderr, and a progress
 * bar on stderr, with one lock so that lines from the library's worker
 * thread never cut into each other or into the bar.
 *
 * LOG LINES (installed as the support library's log sink):
 *   verbosity 0   error and bug lines          "error: <line>"
 *   verbosity 1   also info lines               "info: <line>"
 *   verbosity 2   also debug lines of the channels MAILWARD_Debug,
 *                 MAILWARD_Filter and MAILWARD_AV "debug <channel>: <line>"
 * Info and error lines that arrive while mails are checked are also kept
 * (CaptureBegin/CaptureTake) so that a mail's report can carry them: the
 * worker checks one mail at a time, so the lines between two callbacks are
 * the lines of one mail.
 *
 * PROGRESS BAR: drawn only when stderr is a terminal and at least
 * PROGRESS_MIN_MAILS mails are checked; it is cleared before any other
 * line is written to the terminal and drawn again afterwards, and redrawn
 * at most every PROGRESS_REDRAW_MS.
 */
#ifndef MAILWARD_TOOLS_CONSOLE_H
#define MAILWARD_TOOLS_CONSOLE_H

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

constexpr std::size_t PROGRESS_MIN_MAILS = 20;
constexpr int PROGRESS_REDRAW_MS = 100;
constexpr int PROGRESS_BAR_WIDTH = 30;
// Lines kept for one mail's report; a mail that makes the library log more
// keeps the first ones and a note of how many were dropped.
constexpr std::size_t CAPTURE_MAX_LINES = 200;

// One kept log line: its level (QLOG_INFO, QLOG_ERROR, QLOG_BUG) and text.
struct LogLine {
    int level = 0;
    std::string text;
};

// "info", "error", "bug" or "debug".
const char* LogLevelName(int level);

class Console {
  public:
    static Console& Get();

    void SetVerbosity(int verbosity) { m_verbosity = verbosity; }
    int Verbosity() const { return m_verbosity; }

    // Installs the log sink and switches the debug channels for the
    // verbosity. RemoveLogSink restores the library's default sink.
    void InstallLogSink();
    void RemoveLogSink();

    // A text put in front of every library log line from now on (a
    // checking process's queue id of the message in work); "" for none.
    void SetLineTag(std::string tag);

    void Out(const std::string& text);  // stdout, as given
    void Err(const std::string& line);  // stderr, one line (newline added)

    // Progress of `total` mails; Start decides whether a bar is shown.
    void ProgressStart(std::size_t total);
    void ProgressUpdate(std::size_t done);
    void ProgressEnd();

    void CaptureBegin();
    std::vector<LogLine> CaptureTake();
    void CaptureEnd();

  private:
    Console() = default;
    static void Sink(const char* channel, int level, const char* line, void* user);
    void OnLogLine(const char* channel, int level, const char* line);
    // Callers hold m_lock.
    void ClearBarLocked();
    void DrawBarLocked();

    std::mutex m_lock;
    int m_verbosity = 0;
    std::string m_lineTag;
    bool m_stdoutTty = false;
    bool m_stderrTty = false;

    bool m_barOn = false;
    bool m_barDrawn = false;
    std::size_t m_total = 0;
    std::size_t m_done = 0;
    std::chrono::steady_clock::time_point m_started;
    std::chrono::steady_clock::time_point m_lastDraw;

    bool m_capturing = false;
    std::vector<LogLine> m_captured;
    std::size_t m_dropped = 0;
};

// True when the stream is a terminal (fd 1 or 2).
bool IsTerminal(int fd);

#endif
