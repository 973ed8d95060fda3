/*
 * mailhdr_parseline.cpp - libFuzzer target for the header library.
 *
 * The input is cut into lines at LF (one CR before it dropped) and parsed
 * into a record, as the part parser does. The record is then written, copied
 * and changed, and these must hold (else abort):
 *   - mailhdr_get_headersize equals what mailhdr_sprint appends and what
 *     mailhdr_print writes to a cbuf, and the text is the same;
 *   - a copy writes the same text;
 *   - the text has CR LF line ends only, and one line per field starts
 *     without white space (no value or name ever starts a field);
 *   - the text read back gives as many fields and writes itself again;
 *   - after the filter's changes (subject mark, anti-spam entry, receive
 *     time, values set from the raw input, removal by name) the first two
 *     still hold.
 * Parsing of field values and matching run on every field for coverage.
 */
#include "mailhdr/mailhdr.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Quiet(const char*, int, const char*, void*) {}

void Check(bool ok) {
    if (!ok)
        std::abort();
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line.c_str());  // a NUL ends the line, as in C
        pos = end + 1;
    }
    return lines;
}

int CountFields(const mailhdr* hdr) {
    int n = 0;
    for (const mailhdr_fld* head : hdr->flds) {
        for (const mailhdr_fld* f = head; f != nullptr; f = f->next)
            n += f->lines != nullptr;
    }
    return n;
}

// The text, checked against the size and the cbuf form.
std::string Text(const mailhdr* hdr) {
    int size = mailhdr_get_headersize(hdr);
    Check(size >= 0);
    std::string buf(static_cast<std::size_t>(size) + 1, '\0');
    Check(mailhdr_sprint(hdr, buf.data()) == size);
    buf.resize(static_cast<std::size_t>(size));
    cbuf* out = cbuf_alloc(0, -1, 4096, 0);
    Check(out != nullptr);
    Check(mailhdr_print(hdr, out) == size);
    Check(std::string(cbuf_data(out), cbuf_length(out)) == buf);
    cbuf_free(out);
    return buf;
}

// Checks that the text holds only CR LF line ends and that exactly one
// line per field with lines starts without white space: no value or name
// began a field of its own.
void CheckFieldStarts(const std::string& text, const mailhdr* hdr) {
    int starts = 0;
    bool line_start = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r')
            Check(i + 1 < text.size() && text[i + 1] == '\n');
        if (c == '\n')
            Check(i > 0 && text[i - 1] == '\r');
        if (line_start && c != ' ' && c != '\t')
            ++starts;
        line_start = c == '\n';
    }
    Check(starts == CountFields(hdr));
}

// `stable`: the record holds only what lines gave, so the text read back
// must give the same fields and write itself again. Values set with folds
// are written in the library's own way (and may hold more folds than one
// field may take when read), so there only the field starts are checked.
void CheckRoundTrip(const mailhdr* hdr, bool stable) {
    const std::string text = Text(hdr);
    CheckFieldStarts(text, hdr);
    mailhdr* copy = mailhdr_copy(hdr);
    Check(copy != nullptr);
    Check(Text(copy) == text);
    mailhdr_free(copy);
    if (!stable)
        return;

    mailhdr* reread = mailhdr_alloc();
    Check(reread != nullptr);
    for (const std::string& line : SplitLines(text)) {
        Check(mailhdr_parseline(reread, line.c_str()) == 0);
    }
    Check(CountFields(reread) == CountFields(hdr));
    Check(Text(reread) == text);
    mailhdr_free(reread);
}

int Touch(void* pattern, mailhdr_fld* fld) {
    mailhdr_parse_fld(fld);
    return mailhdr_fld_eq(fld, static_cast<const char*>(pattern));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (qorcsock_set_log_sink(Quiet, nullptr), true);
    (void)quiet;
    const std::vector<std::string> lines =
        SplitLines(std::string(reinterpret_cast<const char*>(data), size));
    mailhdr* hdr = mailhdr_alloc();
    if (hdr == nullptr)
        return 0;
    for (const std::string& line : lines) {
        int result = mailhdr_parseline(hdr, line.c_str());
        Check(result <= 0 && result >= -3);
    }
    CheckRoundTrip(hdr, true);

    const std::string first = lines.empty() ? std::string() : lines.front();
    const std::string last = lines.empty() ? std::string() : lines.back();
    mailhdr_foreach_fld(hdr, const_cast<char*>(last.c_str()), Touch);

    // The filter's changes, with texts from the input (CR and LF included).
    std::string raw(reinterpret_cast<const char*>(data), size);
    mailhdr_marksubject(hdr, last.c_str());
    stringlist* entries = nullptr;
    stringlist_append_string(&entries, first.c_str());
    mailhdr_add_antispam(hdr, entries, static_cast<int>(size & 1), "Virus:");
    stringlist_free(&entries);
    mailhdr_set_rectime(hdr, static_cast<int>(size));
    mailhdr_setfld_string(hdr, MAILHDR_FLD_CONTENT_TYPE, raw.c_str());
    mailhdr_setfld_string(hdr, static_cast<int>(size % MAILHDR_FLD_OTHER), raw.c_str());
    mailhdr_delfld_byname(hdr, first.substr(0, first.find(':')).c_str());
    CheckRoundTrip(hdr, false);

    mailhdr_free(hdr);
    return 0;
}
