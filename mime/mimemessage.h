/*
 * mimemessage.h - the root of a mail's part tree, tied to mail files.
 *
 *   LoadMsg(path, full)    reads the whole file with one read, turns CR LF
 *                          into LF in place and parses it (fully, or only its
 *                          header block). Results: LOAD_OK 0, LOAD_NO_MEMORY
 *                          -1, LOAD_NO_FILE -2 (not opened, not a regular
 *                          file, not read whole, empty),
 *                          LOAD_PARSE_FAILED -3 (the tree then holds what was
 *                          parsed; discard the message). Never throws.
 *   LoadMsgFromBuffer      the same over bytes in memory (copied first); the
 *                          file name is left as it was.
 *   SaveMsg(path)          writes the whole tree with CR LF line ends. The
 *                          text goes to a temporary file first, which replaces
 *                          the file in one step only when all of it was
 *                          written; on any failure the old file is as it was.
 *   SaveHeaderChangedMsg   rewrites only the header block of the file at the
 *                          path (GetHeaderText: fields the check left alone
 *                          as read and in place, added ones at the end) and
 *                          copies the body byte for byte, through a temporary
 *                          file replaced in one step; the old header block
 *                          may not be longer than the new one (both counted
 *                          with LF line ends), else it fails.
 *
 * Flushing: by default the temporary file is flushed to disk (fdatasync /
 * FlushFileBuffers) before it replaces the mail, so that a crash of the
 * machine never leaves an empty or partial mail under the mail's name.
 * m_bFlushOnSave false leaves that to the system's own write-back, for hosts
 * that accept the risk for the speed (the flush is most of the time of a
 * rewrite on a slow disk).
 *
 * Temporary files: "<path>.<random>.tmp" beside the mail, made exclusively
 * (owner-only) under a name no file has: a taken name (another mail's file,
 * a planted link) is never removed or followed, another random name is
 * tried instead; just before it replaces the mail it takes the mail's access
 * rights (a new mail: those of a new file in its folder). A path whose temporary name would not fit
 * a path buffer (pf::path_fits) is refused: cutting it could name the mail itself. When the final
 * replace fails, the temporary file stays and the error line names it; every other failure removes
 * it.
 *
 * Limits: SHC_COPY_BLOCK (body copy block), SHC_FILE_BUFFER (stream
 * buffers of the copy); the parser's limits are in mimepart.h. The old
 * header block of SaveHeaderChangedMsg ends only at a line that is just LF
 * or CR LF, however long the lines before it are; its length, counted with
 * LF line ends like the new header's dump, may not exceed the dump's.
 * Sizes are 64-bit: a file is read whole or not at all (a file larger than
 * memory fails with LOAD_NO_MEMORY; the service refuses mails above its
 * MaxMailSize before they are loaded).
 *
 * Two operations on the same mail file must not run at once (the later
 * replace wins). A message belongs to one thread.
 */
#ifndef MAILWARD_MIMEMESSAGE_H
#define MAILWARD_MIMEMESSAGE_H

#include <cstddef>
#include <string>

#include "mime/mimepart.h"

class CMimeMessage : public CMimePart {
  public:
    static constexpr int LOAD_OK = 0;
    static constexpr int LOAD_NO_MEMORY = -1;
    static constexpr int LOAD_NO_FILE = -2;
    static constexpr int LOAD_PARSE_FAILED = -3;
    // Bytes of body copied per block by SaveHeaderChangedMsg.
    static constexpr std::size_t SHC_COPY_BLOCK = 16383;
    // Stream buffer of the source and the temporary file while copying.
    static constexpr std::size_t SHC_FILE_BUFFER = 1024 * 1024;

    char* m_pszFileName;  // path of the last load that stored it, or null
    bool m_bFlushOnSave;  // saves flush the new file to disk before the replace

    CMimeMessage();
    ~CMimeMessage() override;

    int LoadMsg(const char* pszPath, bool bFullParse);
    int LoadMsgFromBuffer(const char* pData, std::size_t nLen, bool bFullParse);
    bool SaveMsg(const char* pszPath);
    bool SaveHeaderChangedMsg(const char* strPath);

  private:
    // The header block SaveHeaderChangedMsg writes (CR LF line ends and the
    // empty line) and its length counted with LF line ends; false (and the
    // error line) when there is none.
    bool NewHeaderBlock(const char* strPath, std::string& strBlock, std::size_t& nLength) const;
    enum class ParseResult { Ok, Failed, Threw, NoMemory };
    // Normalises and parses `nCount` bytes at `pText` (which has room for
    // one more byte).
    ParseResult ParseText(char* pText, std::size_t nCount, bool bFullParse);
};

#endif
