/*
 * mimepart.h - one node of a mail's MIME part tree: its header record, its
 * contents as they stand in the mail, and its sub-parts.
 *
 * A part is one of four kinds, told apart by its members alone:
 *   single part          body in m_pData (still transfer-encoded), no sub-parts
 *   multipart            IsMultipart() and a non-empty m_strBoundary; m_pData
 *                        holds the preamble, the sub-parts the body parts
 *   uuencoded container  m_bUUEncoded, no parent; m_pData is the text in front
 *                        of the first encoded block, each sub-part one block
 *   uuencoded block      m_bUUEncoded and a parent; m_pData the encoded lines,
 *                        m_eBlockCoding how they are encoded: uuencode (any
 *                        octal mode), yEnc or BinHex 4.0, the blocks mail
 *                        readers turn into attachments
 * The block test (m_bUUEncoded and a parent) is used by GetName, SetHeader,
 * DecodeData and the writer, so a container that is itself a body part of a
 * multipart is treated as a block there.
 *
 * Tree:     GetPartCount, GetPart (null out of range), GetPartIndex (-1 when
 *           not a direct sub-part), SetPart (replaces and destroys the old
 *           sub-part), AppendPart, GetRootPart, GetData, GetDataLength.
 * Header:   GetHeaderRaw/GetHeader (lines joined by "\n\t"; GetHeader decodes
 *           encoded words), GetContentType, GetContentTransferEncoding,
 *           GetContentDisposition (lower case, cut before ";"), IsMultipart,
 *           IsBase64, GetName, SetHeader, RemoveHeader, DecodeHeaderData.
 * Parser:   Parse, ParseHeaders, ParseData, ParseUUEncoded (mimeparse.cpp).
 *           Parse failures are false results; the conditions that are thrown
 *           (const char* message) are caught by CMimeMessage::LoadMsg.
 * Contents: DecodeData, SaveData, SetData, CreateTextPart, ReplacePart,
 *           SetName, TextCharset (mimedata.cpp).
 * Writer:   GetMailHeaderDump, GetHeaderDump (the record as text, for rules),
 *           GetHeaderText (the header as written), WriteTo, WriteUUEncoded
 *           (mimewrite.cpp); output through a CMimeOutput (mimeoutput.h).
 *
 * Limits (each a named constant below):
 *   MAX_SUBPARTS        sub-parts of one part (body parts or uu blocks); one
 *                       more makes the parse fail.
 *   MAX_NESTING_DEPTH   levels of multipart nesting below the root; a deeper
 *                       body part makes the parse fail instead of letting the
 *                       recursion of the parser exhaust the stack.
 *   MAX_COPY_FACTOR     the contents copied out of one text may not exceed
 *                       this many times its length (2: twice the mail). The
 *                       parser copies each byte at most once, so only a
 *                       fault of its own reaches it; a parse that does
 *                       fails, and the load with it (ERR_LOAD, the mail
 *                       untouched).
 *   MAX_TOTAL_PARTS     parts (body parts and uu blocks, at every level)
 *                       one mail may have; one more makes the parse fail.
 *                       Each part costs some 600 bytes of memory for a few
 *                       bytes of mail, so without it a hostile mail of tiny
 *                       parts could take gigabytes from the host.
 *
 * Places: a part the parser made knows where its text stood in the text it
 * was parsed from (m_nMailStart, m_nMailEnd: offsets into the loaded mail,
 * LF line ends; a block from its opening line to the end of its closing
 * one). Parts the check made (notices) have NO_PLACE. The strict reading
 * pairs its parts with the parser's by these places.
 *
 * Bytes: a mail is bytes. A zero byte anywhere is data like any other: the
 * parser works on ranges and bounded searches, m_nDataLength holds the length
 * of m_pData (which stays zero-terminated behind it as well), the decoders
 * and the writer take that length. Header lines are C strings in the header
 * library: a zero byte inside a header line is read as a blank there.
 *
 * Errors (the whole MIME layer): results are false, null or the negative
 * codes of CMimeMessage::LoadMsg. Exceptions are used only inside the parser
 * and the writer, with the message text (a const char*) as the exception
 * object, and std::bad_alloc from the part's constructor; CMimeMessage's
 * load and save catch every one of them and turn it into their result, so no
 * exception leaves the layer.
 *
 * Memory: m_pData is malloc'ed (codec results are stored unchanged) and
 * released with free; DecodeData hands out malloc'ed blocks. A part owns its
 * header record, contents and sub-parts. The constructor throws std::bad_alloc
 * when it cannot make the header record, so no part ever holds a null record;
 * the parser and CreateTextPart turn that into their own failure results.
 *
 * Threads: a tree belongs to one thread; nothing here locks.
 */
#ifndef MAILWARD_MIMEPART_H
#define MAILWARD_MIMEPART_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "mailhdr/mailhdr.h"
#include "mailhdr/rawblock.h"

class CMimeOutput;
struct MimeParseContext;

// How the lines of an encoded block in text are encoded.
enum class MimeBlockCoding : std::uint8_t { Uuencode, YEnc, BinHex };

class CMimePart {
  public:
    // Sub-parts one part may hold.
    static constexpr std::uint32_t MAX_SUBPARTS = 512;
    // Levels of multipart nesting below the root that the parser accepts.
    static constexpr int MAX_NESTING_DEPTH = 32;
    // Bytes of contents one parse may copy, as a multiple of the text length.
    static constexpr std::size_t MAX_COPY_FACTOR = 2;
    // Parts of one mail at all levels, the root not counted.
    static constexpr std::size_t MAX_TOTAL_PARTS = 10000;
    // The place of a part that did not come from a parsed text.
    static constexpr std::size_t NO_PLACE = static_cast<std::size_t>(-1);

    bool m_bNoHeaders;   // first line held no colon: all text is contents
    mailhdr* m_pHeader;  // header fields; never null
    // The header block as read, beside m_pHeader (empty for a part the
    // check made): what the writer keeps of it (GetHeaderText).
    mailhdr_raw m_rawHeader;
    // Sub-parts in mail order. Room for MAX_SUBPARTS is made as they come
    // (AppendPart) rather than held in every part: most parts are leaves, and
    // a hostile mail of many tiny parts would otherwise cost 4 KiB per part.
    CMimePart** m_apParts;
    std::uint32_t m_nParts;     // entries of m_apParts in use, 0..MAX_SUBPARTS
    std::uint32_t m_nSlots;     // entries m_apParts has room for
    CMimePart* m_pParent;       // part whose array holds this one; null for a root
    char* m_pData;              // contents as in the mail (malloc'ed), or null
    std::size_t m_nDataLength;  // bytes of m_pData (zero bytes included)
    std::string m_strBoundary;  // boundary of a multipart, else empty
    bool m_bUUEncoded;          // uuencoded container or block
    std::string m_strUUName;    // file name from a block's begin line
    // A block's coding, and the lines that opened and closed a yEnc or
    // BinHex block, written back as they came (uuencoded blocks get a begin
    // line of mode 666 and "end").
    MimeBlockCoding m_eBlockCoding = MimeBlockCoding::Uuencode;
    std::string m_strBlockBegin;
    std::string m_strBlockEnd;
    // Where the part's text stood in the parsed text, or NO_PLACE.
    std::size_t m_nMailStart = NO_PLACE;
    std::size_t m_nMailEnd = NO_PLACE;
    // Put in by the check itself (a notice in place of a removed or moved
    // part): the part processors pass it over for the rest of the check.
    bool m_bInserted = false;

    explicit CMimePart(CMimePart* pParent);
    virtual ~CMimePart();
    CMimePart(const CMimePart&) = delete;
    CMimePart& operator=(const CMimePart&) = delete;

    // ---- tree ----
    int GetPartCount() const { return static_cast<int>(m_nParts); }
    CMimePart* GetPart(unsigned int nIndex) const;
    int GetPartIndex(const CMimePart* pPart) const;
    bool SetPart(unsigned int nIndex, CMimePart* pPart);
    // Appends a sub-part and makes this part its parent; false when the part
    // is null, MAX_SUBPARTS are held or memory is short (the part stays the
    // caller's then).
    bool AppendPart(CMimePart* pPart);
    CMimePart* GetRootPart();
    // Destroys every sub-part and forgets the boundary: the part keeps its
    // header and contents and is a single part afterwards.
    void RemoveAllParts();
    // The contents are bytes: a zero byte in them is data, and
    // GetDataLength counts every byte. m_pData is kept zero-terminated
    // behind its length for callers that read it as text.
    const char* GetData() const { return m_pData; }
    std::size_t GetDataLength() const;
    // Makes malloc'ed `pData` (n bytes and a zero behind them, or null) the
    // contents; the old ones are released.
    void AdoptData(char* pData, std::size_t n);
    bool IsUUBlock() const { return m_bUUEncoded && m_pParent != nullptr; }

    // ---- header ----
    std::string GetHeaderRaw(int nFieldId) const;
    std::string GetHeader(int nFieldId) const;
    std::string GetContentType() const;
    std::string GetContentTransferEncoding() const;
    std::string GetContentDisposition() const;
    bool IsMultipart() const;
    bool IsBase64() const;
    std::string GetName() const;
    bool SetHeader(int nFieldId, const char* pszValue);
    void RemoveHeader(int nFieldId);
    // Decoded text of `pszData` (malloc'ed, caller frees), or null.
    static char* DecodeHeaderData(const char* pszData);
    // Position of the first occurrence of `pattern` in `text`, ASCII case
    // ignored, or -1.
    static int FindNoCase(const std::string& text, const char* pattern);

    // ---- parser (mimeparse.cpp) ----
    // Parses the range [pStart, pEnd) of a writable text whose line ends are
    // LF, taken as a text of its own: searches that run to the end of the
    // text stop at pEnd (CMimeMessage parses a loaded mail with its real
    // end). Zero bytes in the range are data. True when this part and its
    // sub-parts parsed.
    bool Parse(char* pStart, char* pEnd);
    char* ParseHeaders(char* pStart, char* pEnd);
    void ParseData(char* pStart, char* pEnd);
    bool ParseUUEncoded(char* pStart, char* pEnd);
    // Splits "name=value" at the start of `text`; false when there is no
    // name or a quoted value is not closed.
    static bool SplitAssignment(const std::string& text, std::string& strName,
                                std::string& strValue);

    // ---- contents (mimedata.cpp) ----
    // Decoded contents (malloc'ed, always zero-terminated, caller frees) and
    // their length; for text without transfer encoding the length counts the
    // terminating zero. Null when memory is short.
    char* DecodeData(std::int64_t& nLength);
    bool SaveData(const char* pszPath);
    // Stores `nLength` bytes of `pszText` (zero bytes included) encoded by
    // this part's transfer encoding; `nLength` -1 means up to the terminating
    // zero.
    char* SetData(const char* pszText, std::int64_t nLength);
    CMimePart* CreateTextPart(const char* pszName, const char* pszText, bool bBlock);
    // The charset a text part declares for `pszText`: "us-ascii" for 7-bit
    // text, "utf-8" for valid UTF-8, else "unknown-8bit" (RFC 1428: 8-bit
    // text of a charset nobody named).
    static const char* TextCharset(const char* pszText);
    CMimePart* ReplacePart(unsigned int nIndex, const char* pszName, const char* pszText);
    void SetName(const char* pszName);

    // ---- writer (mimewrite.cpp) ----
    static std::string GetMailHeaderDump(const mailhdr* pHeader);
    std::string GetHeaderDump() const { return GetMailHeaderDump(m_pHeader); }
    // The header block as the writers put it into the mail (LF line ends, no
    // empty line at its end): the fields as read where the check left them
    // alone, in their places, changed fields in theirs, added ones last
    // (mailhdr/rawblock.h); a part without a block as read is written in
    // the dump's order. Empty when memory runs short.
    std::string GetHeaderText() const;
    bool WriteTo(CMimeOutput& out);
    bool WriteUUEncoded(CMimeOutput& out);

  protected:
    // Releases contents, sub-parts and header fields and gives the part a new
    // empty header record; false when that record cannot be made.
    bool Reset();
    // The parser proper; `ctx` knows where the whole text ends.
    bool ParseIn(MimeParseContext& ctx, char* pStart, char* pEnd, int nDepth);
    // `pbMultipart` (optional) receives IsMultipart() of the header read.
    char* ParseHeadersIn(MimeParseContext& ctx, char* pStart, char* pEnd, bool* pbMultipart);

  private:
    void ParseDataIn(MimeParseContext& ctx, char* pStart, char* pEnd);
    bool ParseUUEncodedIn(MimeParseContext& ctx, char* pStart, char* pEnd);
    // The body of a multipart from `pos` (its preamble, then each body part
    // between its delimiters), and one body part as a new sub-part; false
    // when a limit is reached or a body part fails to parse.
    bool ParseBodyPartsIn(MimeParseContext& ctx, char* pos, char* pEnd, int nDepth);
    bool ParseBodyPartIn(MimeParseContext& ctx, char* pStart, char* pEnd, int nDepth);
    char* FindBlockStart(char* pStart, char* pEnd) const;
    void DestroyParts();
};

#endif
