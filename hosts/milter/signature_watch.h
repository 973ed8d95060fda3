/*
 * signature_watch.h - notices a new signature database in its folders, the
 * way freshclam puts one there (a file written or moved into the folder,
 * or removed), so that the milter loads a new engine without being told.
 *
 * Start watches each folder of `folders` that exists (inotify: files closed
 * after writing, moved in or out, removed; names starting with '.' and
 * sub-folders are passed over) and, once a change has been followed by
 * `settleMs` without another, calls `onChange` with a text naming the first
 * changed file ("/var/lib/clamav/daily.cld"). A burst of changes (freshclam
 * replacing several files) is one call. The calls come from the watch's own
 * thread, one at a time. A watched folder that is itself removed or moved
 * away is no longer watched (logged through `onChange`'s caller: Watched()
 * tells which folders are). False with the reason when no folder can be
 * watched.
 *
 * Stop (also at destruction) ends the thread; a change that has not
 * settled yet is dropped.
 */
#ifndef MAILWARD_HOSTS_MILTER_SIGNATURE_WATCH_H
#define MAILWARD_HOSTS_MILTER_SIGNATURE_WATCH_H

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Quiet time after a change before the engine is loaded anew.
constexpr int SIGNATURE_SETTLE_MS = 2000;

class SignatureWatch {
  public:
    using Callback = std::function<void(const std::string& changed)>;

    SignatureWatch() = default;
    ~SignatureWatch();
    SignatureWatch(const SignatureWatch&) = delete;
    SignatureWatch& operator=(const SignatureWatch&) = delete;

    bool Start(const std::vector<std::string>& folders, int settleMs, Callback onChange,
               std::string& error);
    void Stop();
    std::vector<std::string> Watched() const;

  private:
    void Run();
    // Reads the events waiting; the first changed file's path, or "".
    std::string ReadEvents();

    int m_inotify = -1;
    int m_stopPipe[2] = {-1, -1};
    int m_settleMs = SIGNATURE_SETTLE_MS;
    Callback m_onChange;
    mutable std::mutex m_lock;
    std::map<int, std::string> m_folders;  // watch descriptor -> folder
    std::thread m_thread;
};

#endif
