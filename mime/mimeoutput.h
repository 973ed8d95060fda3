/*
 * mimeoutput.h - where the writer of the part tree puts its text.
 *
 * CMimeOutput is the "open text file" the writer (CMimePart::WriteTo) is
 * given: it writes zero-terminated strings and byte ranges, and in text mode
 * every LF becomes CR LF, as a text-mode file does on Windows (on POSIX there
 * is no text mode, so the translation is done here for every platform). A
 * failed write throws (a const char* message); the writer turns that into a
 * false result. Output is collected in a buffer of OUTPUT_BUFFER_SIZE bytes
 * and handed on in blocks.
 *
 *   CMimeFileOutput    writes to an open FILE* (not closed here); Finish()
 *                      flushes and reports whether everything reached it.
 *   CMimeStringOutput  appends to a std::string (tests, benchmarks, fuzzing).
 *
 * Fault injection: MimeSetFileHooks installs functions that every block
 * written to a mail file (CMimeFileOutput, and the temporary file of
 * CMimeMessage::SaveHeaderChangedMsg), every flush of such a file to disk
 * and every final replace step pass first; a false result makes that step
 * fail as a full disk or a refused rename would. Tests use it to prove that a failed save leaves
 * the old mail as it was. The hooks are process-wide and meant for tests only: set them while no
 * mail is being written.
 */
#ifndef MAILWARD_MIMEOUTPUT_H
#define MAILWARD_MIMEOUTPUT_H

#include <cstddef>
#include <cstdio>
#include <string>

class CMimeOutput {
  public:
    // Bytes collected before they are handed to WriteBlock.
    static constexpr std::size_t OUTPUT_BUFFER_SIZE = 64 * 1024;

    virtual ~CMimeOutput();
    CMimeOutput(const CMimeOutput&) = delete;
    CMimeOutput& operator=(const CMimeOutput&) = delete;

    void WriteString(const char* psz);
    void Write(const char* pData, std::size_t nLen);
    // Hands the buffered bytes on; throws when that fails.
    void Flush();
    // True once any block could not be written (a write error is not lost
    // when a caller swallows the exception).
    bool Failed() const { return m_bFailed; }

  protected:
    explicit CMimeOutput(bool bTextMode);
    // Writes a block completely or throws.
    virtual void WriteBlock(const char* pData, std::size_t nLen) = 0;

  private:
    void Put(const char* pData, std::size_t nLen);
    void Emit(const char* pData, std::size_t nLen);

    bool m_bTextMode;
    bool m_bFailed = false;
    std::size_t m_nUsed = 0;
    char m_buf[OUTPUT_BUFFER_SIZE];
};

class CMimeFileOutput : public CMimeOutput {
  public:
    CMimeFileOutput(std::FILE* pFile, bool bTextMode) : CMimeOutput(bTextMode), m_pFile(pFile) {}
    // Flushes the buffer and the FILE*; false when any write failed, now or
    // before.
    bool Finish();

  protected:
    void WriteBlock(const char* pData, std::size_t nLen) override;

  private:
    std::FILE* m_pFile;
};

class CMimeStringOutput : public CMimeOutput {
  public:
    explicit CMimeStringOutput(bool bTextMode = true) : CMimeOutput(bTextMode) {}
    // The text written so far (flushes first).
    const std::string& Text();

  protected:
    void WriteBlock(const char* pData, std::size_t nLen) override { m_str.append(pData, nLen); }

  private:
    std::string m_str;
};

// Test seam for the file writes of the mime layer; see the top of this file.
struct MimeFileHooks {
    // Called before `nLen` bytes go to a mail file; false: the write fails.
    bool (*beforeWrite)(std::size_t nLen, void* pUser);
    // Called before `pszFrom` replaces `pszTo`; false: the replace fails.
    bool (*beforeReplace)(const char* pszFrom, const char* pszTo, void* pUser);
    void* pUser;
    // Called before a mail file is flushed to disk; false: the flush fails.
    bool (*beforeSync)(void* pUser) = nullptr;
};
// Installs the hooks (copied); null removes them.
void MimeSetFileHooks(const MimeFileHooks* pHooks);
// Writes `nLen` bytes to `pFile` through the write hook; true when all were
// written.
bool MimeFileWrite(std::FILE* pFile, const void* pData, std::size_t nLen);
// Flushes `pFile` to disk (pf::sync_file) through the sync hook.
bool MimeSyncFile(std::FILE* pFile);
// Replaces `pszTo` by `pszFrom` in one step (pf::replace_file) through the
// replace hook, after giving `pszFrom` the access rights of `pszTo`
// (pf::take_access; a failure there is logged and the replace goes on).
bool MimeReplaceFile(const char* pszFrom, const char* pszTo);

#endif
