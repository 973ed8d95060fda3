/*
 * qorcsock_capture.h - while a LogCapture lives, every logged line goes into
 * its list instead of stderr (LogCapture("channel") also switches that debug
 * channel on). Lines() copies them; Count, Contains (inside), Has (whole
 * line), HasPrefix look at one level, ContainsAnyLevel at all. The destructor
 * restores the default sink, which waits for running sink calls.
 */
#ifndef QORCSOCK_CAPTURE_H
#define QORCSOCK_CAPTURE_H

#include "qorcsock/qorcsock.h"

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
