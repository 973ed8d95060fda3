/*
 * mimemessage.cpp - loading mail files into a part tree and writing them
 * back (CMimeMessage; contract in mimemessage.h).
 *
 * Loading reads the file with one read into one buffer, drops every CR that
 * stands right before a LF in place (over all of it: a zero byte is data like
 * any other), and runs the parser over that buffer; every part copies its own
 * contents, so the buffer is released at the end.
 *
 * Saving never destroys the mail: both saves go through one rewrite
 * (CMailRewrite): new text goes to a temporary file beside the target and
 * takes the target's place in one step (pf::replace_file: rename on POSIX,
 * MoveFileEx with replace on Windows), so at every moment the mail exists
 * whole in one of the two files.
 *
 * SaveHeaderChangedMsg in steps: the new header block (GetHeaderText, made
 * CR LF), the old block skipped and measured, the length test, the new
 * block and the old body into the rewrite, the commit.
 */
#include "mime/mimemessage.h"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "mime/mimeinternal.h"
#include "mime/mimeoutput.h"
#include "pf/platform.h"

namespace {

// Random characters in a temporary file's name, and names tried before a
// save gives up (each clash is a one-in-62^10 chance).
constexpr std::size_t TEMP_NAME_RANDOM = 10;
constexpr int TEMP_NAME_ATTEMPTS = 100;
constexpr const char* TEMP_SUFFIX = ".tmp";

// "<path>.<random>.tmp" beside the mail, or false when it does not fit a
// path buffer: a cut name could be the mail itself.
bool TempPathFor(const char* pszPath, std::string& strTemp) {
    strTemp = std::string(pszPath) + "." + pf::random_name(TEMP_NAME_RANDOM) + TEMP_SUFFIX;
    return pf::path_fits(strTemp);
}

// A new temporary file under the name TempPathFor gave, made exclusively
// (never over or through anything there, a planted link included). A name
// that is taken is never removed: another random name is tried in its
// place, and `strTemp` names the file made.
std::FILE* CreateTemp(std::string& strTemp) {
    const std::size_t nTail = 1 + TEMP_NAME_RANDOM + std::strlen(TEMP_SUFFIX);
    const std::string strMail = strTemp.substr(0, strTemp.size() - nTail);
    for (int nAttempt = 0; nAttempt < TEMP_NAME_ATTEMPTS; ++nAttempt) {
        if (nAttempt > 0 && !TempPathFor(strMail.c_str(), strTemp)) {
            return nullptr;
        }
        std::FILE* pFile = pf::create_exclusive(strTemp.c_str());
        if (pFile || !pf::name_taken(strTemp.c_str())) {
            return pFile;  // made, or failed for another reason than the name
        }
    }
    return nullptr;
}

// High bit set in each byte of `w` that is a CR. Exact for the lowest such
// byte (borrows may mark bytes above it), which is all the loop below uses.
inline std::uint64_t CRMask(std::uint64_t w) {
    const std::uint64_t x = w ^ 0x0D0D0D0D0D0D0D0DULL;
    return (x - 0x0101010101010101ULL) & ~x & 0x8080808080808080ULL;
}

}  // namespace

// A text without CR is not touched; otherwise the bytes move eight at a time
// up to the next CR (little-endian words; other machines go byte by byte).
char* MimeCompactLineEnds(char* pText, char* pStop, std::size_t& nDropped) {
    nDropped = 0;
    char* pSrc = static_cast<char*>(std::memchr(pText, '\r', pStop - pText));
    if (!pSrc) {
        return pStop;
    }
    char* pDst = pSrc;
    while (pSrc < pStop) {
        if constexpr (std::endian::native == std::endian::little) {
            if (pStop - pSrc >= 9) {
                std::uint64_t w;
                std::memcpy(&w, pSrc, 8);
                std::uint64_t m = CRMask(w);
                if (m == 0) {
                    // pDst <= pSrc: the bytes written were all read into w.
                    std::memcpy(pDst, &w, 8);
                    pDst += 8;
                    pSrc += 8;
                    continue;
                }
                // Only the bytes in front of the first CR move, so the bytes
                // behind it are still there to be read.
                int k = std::countr_zero(m) / 8;
                std::memmove(pDst, pSrc, static_cast<std::size_t>(k));
                pDst += k;
                pSrc += k;
                if (pSrc[1] == '\n') {
                    ++nDropped;
                } else {
                    *pDst++ = '\r';
                }
                ++pSrc;
                continue;
            }
        }
        if (*pSrc == '\r' && pSrc + 1 < pStop && pSrc[1] == '\n') {
            ++nDropped;
        } else {
            *pDst++ = *pSrc;
        }
        ++pSrc;
    }
    return pDst;
}

CMimeMessage::CMimeMessage() : CMimePart(nullptr), m_pszFileName(nullptr), m_bFlushOnSave(true) {}

CMimeMessage::~CMimeMessage() {
    std::free(m_pszFileName);
    m_pszFileName = nullptr;
}

CMimeMessage::ParseResult CMimeMessage::ParseText(char* pText, std::size_t nCount,
                                                  bool bFullParse) {
    std::size_t nDropped = 0;
    char* pTextEnd = MimeCompactLineEnds(pText, pText + nCount, nDropped);
    *pTextEnd = '\0';
    char* pEnd = pTextEnd;

    // A message loaded a second time starts from an empty tree.
    if (!Reset()) {
        return ParseResult::NoMemory;
    }
    MimeParseContext ctx;
    ctx.pTextStart = pText;
    ctx.pTextEnd = pTextEnd;
    ctx.nBudget = MAX_COPY_FACTOR * (nCount + 1);
    try {
        if (bFullParse) {
            if (!ParseIn(ctx, pText, pEnd, 0)) {
                debugmsg(MimeDebug(), "CMimeMessage::LoadMsg() - Parse() failed.");
                return ParseResult::Failed;
            }
            debugmsg(MimeDebug(), "CMimeMessage::LoadMsg() - parsing finished successfully");
        } else {
            // Only the header record (and a multipart's boundary) is wanted;
            // whether the block was ended properly does not matter here.
            ParseHeadersIn(ctx, pText, pEnd, nullptr);
        }
    } catch (...) {
        errmsg("CMimeMessage::LoadMsg() - catched errror while parsing.");
        return ParseResult::Threw;
    }
    return ParseResult::Ok;
}

int CMimeMessage::LoadMsg(const char* pszPath, bool bFullParse) {
    debugmsg(MimeDebug(), "CMimeMessage::LoadMsg() - loading msg %s", pszPath ? pszPath : "");
    // InputFile refuses folders (on POSIX a folder opens as a file).
    pf::InputFile file;
    if (!pszPath || !file.open(pszPath)) {
        return LOAD_NO_FILE;
    }
    // The whole size, never cut to 32 bits: a mail that does not fit this
    // process's memory is refused, not read in part.
    const std::uint64_t nSize = file.size();
    if (nSize >= SIZE_MAX) {
        return LOAD_NO_MEMORY;
    }
    const std::size_t nLength = static_cast<std::size_t>(nSize);
    char* pText = static_cast<char*>(std::malloc(nLength + 1));
    if (!pText) {
        return LOAD_NO_MEMORY;
    }
    // A file that reads shorter than its size (changed meanwhile, or a
    // read error) is not parsed in part.
    const std::size_t nRead = file.read(pText, nLength);
    if (nRead == 0 || nRead != nLength) {
        std::free(pText);
        return LOAD_NO_FILE;
    }

    int nResult = LOAD_OK;
    switch (ParseText(pText, nRead, bFullParse)) {
        case ParseResult::Ok:
            break;
        case ParseResult::Failed:
            nResult = LOAD_PARSE_FAILED;
            break;
        case ParseResult::Threw:
            std::free(pText);
            return LOAD_PARSE_FAILED;
        case ParseResult::NoMemory:
            std::free(pText);
            return LOAD_NO_MEMORY;
    }
    char* pszName = pf::strdup(pszPath);
    if (!pszName) {
        std::free(pText);
        return LOAD_NO_MEMORY;
    }
    std::free(m_pszFileName);
    m_pszFileName = pszName;
    std::free(pText);
    debugmsg(MimeDebug(), "CMimeMessage::LoadMsg() - end");
    return nResult;
}

int CMimeMessage::LoadMsgFromBuffer(const char* pData, std::size_t nLen, bool bFullParse) {
    if (!pData || nLen == 0) {
        return LOAD_NO_FILE;
    }
    char* pText = static_cast<char*>(std::malloc(nLen + 1));
    if (!pText) {
        return LOAD_NO_MEMORY;
    }
    std::memcpy(pText, pData, nLen);
    ParseResult result = ParseText(pText, nLen, bFullParse);
    std::free(pText);
    switch (result) {
        case ParseResult::Ok:
            return LOAD_OK;
        case ParseResult::NoMemory:
            return LOAD_NO_MEMORY;
        default:
            return LOAD_PARSE_FAILED;
    }
}

namespace {

// Closes a C stream when it goes out of scope (a close error is not seen:
// streams whose close matters are closed by hand first).
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// One rewrite of a mail file: the new text goes into a temporary file
// beside it (TempPathFor, CreateTemp), which takes the mail's place in one
// step only when Commit succeeds. A rewrite that ends any other way closes
// and removes its temporary file, so a failure leaves the mail as it was;
// a failed final replace keeps the temporary file (it holds the only copy
// of the new text) and the error lines name it. Error lines start with the
// caller's name.
class CMailRewrite {
  public:
    explicit CMailRewrite(const char* pszCaller) : m_pszCaller(pszCaller) {}
    CMailRewrite(const CMailRewrite&) = delete;
    CMailRewrite& operator=(const CMailRewrite&) = delete;
    ~CMailRewrite() {
        m_pFile.reset();  // closed before it is deleted (Windows deletes no open file)
        if (!m_strTemp.empty()) {
            pf::delete_file(m_strTemp.c_str());
        }
    }

    // Makes the temporary file for the mail at `pszPath`; false (with its
    // error line) when it cannot be made.
    bool Begin(const char* pszPath) {
        m_strPath = pszPath;
        std::string strTemp;
        if (!TempPathFor(pszPath, strTemp)) {
            errmsg("%s: no temporary file possible for %s", m_pszCaller, pszPath);
            return false;
        }
        m_pFile.reset(CreateTemp(strTemp));
        if (!m_pFile) {
            errmsg("%s: error in open %s", m_pszCaller, strTemp.c_str());
            return false;
        }
        m_strTemp = strTemp;
        return true;
    }
    std::FILE* File() const { return m_pFile.get(); }
    const std::string& TempPath() const { return m_strTemp; }

    // Flushes the new text to disk (when `bFlush`: a crash must not leave an
    // empty or partial mail under the mail's name), closes it and puts it in
    // the mail's place.
    bool Commit(bool bFlush) {
        bool bClosed = !bFlush || MimeSyncFile(m_pFile.get());
        bClosed = std::fclose(m_pFile.release()) == 0 && bClosed;
        if (!bClosed) {
            errmsg("%s: error in write file %s", m_pszCaller, m_strTemp.c_str());
            return false;
        }
        if (!MimeReplaceFile(m_strTemp.c_str(), m_strPath.c_str())) {
            errmsg("%s: Error in CopyFile: %s", m_pszCaller, WINError2str(pf::last_error()));
            errmsg("%s: the new mail stays in %s", m_pszCaller, m_strTemp.c_str());
            m_strTemp.clear();
            return false;
        }
        m_strTemp.clear();
        return true;
    }

  private:
    const char* m_pszCaller;
    std::string m_strPath;
    std::string m_strTemp;  // the temporary file while it is to be removed
    FileHandle m_pFile;
};

// `strText` (LF line ends) with CR LF line ends, and one more CR LF: the
// header block as it goes into the file, with the empty line that ends it.
std::string HeaderBlockCrLf(const std::string& strText) {
    std::string strBlock;
    strBlock.reserve(strText.size() + strText.size() / 16 + 2);
    for (char c : strText) {
        if (c == '\n') {
            strBlock += '\r';
        }
        strBlock += c;
    }
    strBlock += "\r\n";
    return strBlock;
}

// Reads the header block of `pSource` up to the first empty line (a line
// that is just LF or CR LF; consumed) and counts its length with LF line
// ends. Character by character: a line of any length stays one line, and a
// CR that does not stand before LF (or a NUL) is data. A file that ends
// before such a line is a mail of header fields alone. False when the file
// cannot be read.
bool SkipOldHeader(std::FILE* pSource, std::size_t& nOldLength) {
    nOldLength = 0;
    std::size_t nLineChars = 0;  // of the current line, its line end not counted
    bool bPendingCR = false;     // the last character was a CR not yet counted
    for (int c = std::getc(pSource); c != EOF; c = std::getc(pSource)) {
        if (c == '\n') {
            if (nLineChars == 0) {
                return true;
            }
            nOldLength += nLineChars + 1;
            nLineChars = 0;
            bPendingCR = false;
            continue;
        }
        if (bPendingCR) {
            ++nLineChars;
        }
        bPendingCR = c == '\r';
        if (!bPendingCR) {
            ++nLineChars;
        }
    }
    // A mail of header fields alone: its header ends with the file.
    nOldLength += nLineChars + (bPendingCR ? 1 : 0);
    return std::ferror(pSource) == 0;
}

// Copies the rest of `pSource` to `pTarget` in blocks of SHC_COPY_BLOCK.
// False when a block is not written whole.
bool CopyRest(std::FILE* pSource, std::FILE* pTarget) {
    char block[CMimeMessage::SHC_COPY_BLOCK];
    for (;;) {
        const std::size_t n = std::fread(block, 1, sizeof block, pSource);
        if (n == 0) {
            return true;
        }
        if (!MimeFileWrite(pTarget, block, n)) {
            return false;
        }
    }
}

}  // namespace

bool CMimeMessage::SaveMsg(const char* pszPath) {
    if (!pszPath) {
        errmsg("SaveMsg: no temporary file possible for %s", "");
        return false;
    }
    CMailRewrite rewrite("SaveMsg");
    if (!rewrite.Begin(pszPath)) {
        return false;
    }
    bool bOk;
    {
        CMimeFileOutput out(rewrite.File(), true);
        bOk = WriteTo(out);
        bOk = out.Finish() && bOk;
    }
    return bOk && rewrite.Commit(m_bFlushOnSave);
}

bool CMimeMessage::NewHeaderBlock(const char* strPath, std::string& strBlock,
                                  std::size_t& nLength) const {
    strBlock.clear();
    nLength = 0;
    try {
        const std::string strText = GetHeaderText();
        if (!strText.empty()) {
            strBlock = HeaderBlockCrLf(strText);
            nLength = strText.size();
        }
    } catch (...) {
        strBlock.clear();
    }
    if (strBlock.empty()) {
        errmsg("SaveHeaderChangedMsg: no hdr or no mod_header_len!!! (%s)", strPath);
        return false;
    }
    return true;
}

bool CMimeMessage::SaveHeaderChangedMsg(const char* strPath) {
    if (!strPath) {
        errmsg("SaveHeaderChangedMsg: wrong parameter: strPath=%s", "");
        return false;
    }
    FileHandle pSource(std::fopen(strPath, "rb"));
    if (!pSource) {
        errmsg("SaveHeaderChangedMsg: error in open %s", strPath);
        return false;
    }
    CMailRewrite rewrite("SaveHeaderChangedMsg");
    if (!rewrite.Begin(strPath)) {
        return false;
    }
    // The body goes through in blocks of SHC_COPY_BLOCK. The streams ask
    // for buffers of SHC_FILE_BUFFER to gather them where the C library
    // takes the size (the Windows one does; glibc keeps its own and hands
    // reads and writes of whole blocks straight to the system).
    std::setvbuf(pSource.get(), nullptr, _IOFBF, SHC_FILE_BUFFER);
    std::setvbuf(rewrite.File(), nullptr, _IOFBF, SHC_FILE_BUFFER);
    std::string strBlock;
    std::size_t nNewLength = 0;
    if (!NewHeaderBlock(strPath, strBlock, nNewLength)) {
        return false;
    }
    // A mail whose first line held no colon has no header block: all of it
    // is body, and the new block goes in front of it.
    std::size_t nOldLength = 0;
    if (!m_bNoHeaders && !SkipOldHeader(pSource.get(), nOldLength)) {
        errmsg("SaveHeaderChangedMsg: error in reading file %s", strPath);
        return false;
    }
    // Both lengths count LF line ends: only a header that shrank fails.
    if (nOldLength > nNewLength) {
        errmsg(
            "SaveHeaderChangedMsg: error in reading file %s: conflict in header len "
            "(%llu/%llu)",
            strPath, static_cast<unsigned long long>(nOldLength),
            static_cast<unsigned long long>(nNewLength));
        return false;
    }
    if (!MimeFileWrite(rewrite.File(), strBlock.data(), strBlock.size()) ||
        !CopyRest(pSource.get(), rewrite.File())) {
        errmsg("SaveHeaderChangedMsg: error in write file %s", rewrite.TempPath().c_str());
        return false;
    }
    // A body that could not be read to its end must not replace the mail.
    if (std::ferror(pSource.get())) {
        errmsg("SaveHeaderChangedMsg: error in reading file %s", strPath);
        return false;
    }
    pSource.reset();
    // One step from the old mail to the new one; when it fails the old file
    // is untouched and the new text stays in the temporary file.
    return rewrite.Commit(m_bFlushOnSave);
}
