/*
 * mime_roundtrip.cpp - libFuzzer target for the part tree.
 *
 * The input is loaded as a mail (full parse, and header block only). When it
 * loads, these must hold (else abort):
 *   - every sub-part points back to its parent, no part holds more than
 *     MAX_SUBPARTS sub-parts, no part lies deeper than MAX_NESTING_DEPTH;
 *   - every part decodes (DecodeData gives a zero-terminated block);
 *   - the tree writes (text mode), and the written text loads again, with
 *     the same limits; its own written form loads once more.
 * Names, content types and header dumps are taken of every part for
 * coverage, and the strict reading (mime/strictread.h) is made of the input.
 * Zero bytes are data: the input is handed on with its length. Log lines
 * are dropped.
 */
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mailhdr/mailhdr.h"
#include "mime/mimemessage.h"
#include "mime/mimeoutput.h"
#include "mime/strictread.h"

namespace {

void Quiet(const char*, int, const char*, void*) {}

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

void Walk(CMimePart& part, int depth) {
    Check(depth <= CMimePart::MAX_NESTING_DEPTH);
    Check(part.m_nParts <= CMimePart::MAX_SUBPARTS);
    std::int64_t n = -1;
    char* p = part.DecodeData(n);
    Check(p != nullptr && n >= 0);
    // Text without transfer encoding counts its terminating zero; decoded
    // blocks are terminated behind their length.
    const std::string cte = part.GetContentTransferEncoding();
    const bool bRaw =
        part.GetData() && !part.IsUUBlock() && cte != "base64" && cte != "quoted-printable";
    Check(bRaw ? (n >= 1 && p[n - 1] == '\0') : p[n] == '\0');
    std::free(p);
    (void)part.GetName();
    (void)part.GetContentType();
    (void)part.GetHeaderDump();
    for (int i = 0; i < part.GetPartCount(); ++i) {
        CMimePart* sub = part.GetPart(static_cast<unsigned>(i));
        Check(sub != nullptr && sub->m_pParent == &part);
        Check(part.GetPartIndex(sub) == i);
        Walk(*sub, depth + 1);
    }
}

std::string Write(CMimeMessage& msg) {
    CMimeStringOutput out(true);
    Check(msg.WriteTo(out));
    return out.Text();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool s_init = [] {
        mailhdr_init();
        qorcsock_set_log_sink(Quiet, nullptr);
        return true;
    }();
    (void)s_init;
    const char* text = reinterpret_cast<const char*>(data);

    StrictReading reading;
    MimeStrictRead(text, size, reading);
    for (const StrictPart& part : reading.parts) {
        Check(part.pHead != nullptr && !part.names.empty());
    }

    CMimeMessage header;
    int r = header.LoadMsgFromBuffer(text, size, false);
    Check(r == 0 || r == CMimeMessage::LOAD_NO_FILE || r == CMimeMessage::LOAD_PARSE_FAILED);

    CMimeMessage first;
    r = first.LoadMsgFromBuffer(text, size, true);
    Check(r == 0 || r == CMimeMessage::LOAD_NO_FILE || r == CMimeMessage::LOAD_PARSE_FAILED);
    if (r != 0) {
        return 0;
    }
    Walk(first, 0);
    const std::string written = Write(first);

    CMimeMessage second;
    if (second.LoadMsgFromBuffer(written.data(), written.size(), true) == 0) {
        Walk(second, 0);
        const std::string again = Write(second);
        CMimeMessage third;
        if (third.LoadMsgFromBuffer(again.data(), again.size(), true) == 0) {
            Walk(third, 0);
        }
    }
    return 0;
}
