/*
 * qorcsock_capture.h - a log sink for the support library's tests: while a
 * LogCapture lives, every line logged goes into its list instead of stderr.
 *
 *   LogCapture cap;            installs itself as the sink
 *   cap.Lines()                copy of the lines so far (thread-safe)
 *   cap.Count(level)           number of lines of one level
 *   cap.Contains(level, text)  a line of that level contains `text`
 *   cap.Has(level, text)       a line of that level is exactly `text`
 *   cap.HasPrefix(level, text) a line of that level starts with `text`
 *   cap.ContainsAnyLevel(text) a line of any level contains `text`
 *   LogCapture cap("channel")  also switches that debug channel on while it
 *                              lives
 * The destructor restores the default sink; after that no call reaches the
 * object any more (qorcsock_set_log_sink waits for running sink calls).
 */
#ifndef QORCSOCK_CAPTURE_H
#define QORCSOCK_CAPTURE_H

#include "qorcsock.h"

#include <mutex>
#include <string>
#include <vector>

struct LoggedLine {
    std::string channel;
    int level;
    std::string text;
};

class LogCapture {
  public:
    explicit LogCapture(const char* debugChannel = nullptr) : m_debugChannel(debugChannel) {
        if (m_debugChannel != nullptr)
            debug_enable(m_debugChannel, 1);
        qorcsock_set_log_sink(&LogCapture::Sink, this);
    }
    ~LogCapture() {
        qorcsock_set_log_sink(nullptr, nullptr);
        if (m_debugChannel != nullptr)
            debug_enable(m_debugChannel, 0);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LoggedLine> Lines() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_lines;
    }
    size_t Count(int level) {
        size_t n = 0;
        for (const LoggedLine& line : Lines())
            n += line.level == level ? 1 : 0;
        return n;
    }
    bool Contains(int level, const std::string& text) { return Find(level, text, kInside); }
    bool Has(int level, const std::string& text) { return Find(level, text, kWhole); }
    bool HasPrefix(int level, const std::string& text) { return Find(level, text, kStart); }
    bool ContainsAnyLevel(const std::string& text) { return Find(kAnyLevel, text, kInside); }

  private:
    enum Where { kInside, kWhole, kStart };
    static constexpr int kAnyLevel = -1;

    bool Find(int level, const std::string& text, Where where) {
        for (const LoggedLine& line : Lines()) {
            size_t at = line.text.find(text);  // the first place: 0 for a prefix
            bool hit = where == kWhole   ? line.text == text
                       : where == kStart ? at == 0
                                         : at != std::string::npos;
            if (hit && (level == kAnyLevel || line.level == level))
                return true;
        }
        return false;
    }

    static void Sink(const char* channel, int level, const char* line, void* user) {
        LogCapture* self = static_cast<LogCapture*>(user);
        std::lock_guard<std::mutex> hold(self->m_lock);
        self->m_lines.push_back(LoggedLine{channel, level, line});
    }

    const char* m_debugChannel;
    std::mutex m_lock;
    std::vector<LoggedLine> m_lines;
};

#endif
