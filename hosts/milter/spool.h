/*
 * spool.h - the milter's private spool: one folder only its owner can
 * enter, one file per message made exclusively (O_EXCL, mode 0600).
 *
 * NAMES: "msg-<pid>-<sequence>-<random>.eml" for the message as received;
 * the library writes the checked mail over it (its target is its source,
 * which spares a copy of every message). The random part keeps names of a
 * restarted milter from meeting leftovers of an earlier one even before
 * the clean-up has run.
 *
 * CLEAN-UP: Open removes every "msg-" file it finds (leftovers of a milter
 * that did not stop cleanly); SpoolMessage removes its files when it is
 * destroyed, so a clean stop leaves the folder empty.
 *
 * Open refuses a folder that is not a folder, belongs to another user or
 * can be entered by others (a mode of its own making is set to 0700).
 */
#ifndef MAILWARD_TOOLS_MILTER_SPOOL_H
#define MAILWARD_TOOLS_MILTER_SPOOL_H

#include <atomic>
#include <cstdint>
#include <string>

constexpr const char* SPOOL_PREFIX = "msg-";
constexpr int SPOOL_CREATE_TRIES = 16;

class Spool {
  public:
    // Makes (mode 0700) or checks the folder and removes leftovers.
    bool Open(const std::string& dir, std::string& error);
    const std::string& Dir() const { return m_dir; }
    // Number of leftovers Open removed.
    std::size_t Removed() const { return m_removed; }
    // Creates a new message file; returns its descriptor and path, or -1.
    int Create(std::string& path, std::string& error);
    // Removes every spool file of this folder; the count removed.
    std::size_t RemoveAll();

  private:
    std::string m_dir;
    std::size_t m_removed = 0;
    std::atomic<std::uint64_t> m_sequence{0};
};

// One message in the spool: the file as received, then as checked.
class SpoolMessage {
  public:
    SpoolMessage() = default;
    ~SpoolMessage() { Discard(); }
    SpoolMessage(const SpoolMessage&) = delete;
    SpoolMessage& operator=(const SpoolMessage&) = delete;

    bool Begin(Spool& spool, std::string& error);
    // Appends bytes; false when writing failed (the error is kept).
    bool Write(const char* data, std::size_t size);
    // Closes the file; false when a write or the close failed.
    bool Finish(std::string& error);
    // Removes the file (also done by the destructor).
    void Discard();

    bool Active() const { return !m_path.empty(); }
    const std::string& Path() const { return m_path; }
    std::uint64_t Size() const { return m_size; }

  private:
    std::string m_path;
    int m_fd = -1;
    std::uint64_t m_size = 0;
    int m_errno = 0;
};

// Reads a whole file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& text);

#endif
