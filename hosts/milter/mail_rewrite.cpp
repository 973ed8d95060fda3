/*
 * mail_rewrite.cpp - the header and body changes that make the delivered
 * mail the written one.
 */
#include "mail_rewrite.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "header_diff.h"
#include "mta_header.h"

namespace {

constexpr std::size_t REPLACE_CHUNK = 65535;  // the protocol's largest body chunk

// The value as the MTA takes it: LF line breaks, the leading blank only
// when the MTA keeps it.
std::string OutValue(const std::string& value, bool leadingSpace) {
    std::string v = ToLf(value);
    if (!leadingSpace && !v.empty() && v[0] == ' ')
        v.erase(0, 1);
    return v;
}

// The written mail's body from `at`, in CR LF pieces of at most
// REPLACE_CHUNK bytes, handed to `use`; false when it cannot be read or
// `use` says stop.
bool ForEachBodyPiece(std::FILE* f, long at, const std::function<bool(const std::string&)>& use) {
    if (std::fseek(f, at, SEEK_SET) != 0)
        return false;
    CrLfStream crlf;
    std::string piece;
    std::vector<char> buf(REPLACE_CHUNK / 2);
    for (;;) {
        const std::size_t n = std::fread(buf.data(), 1, buf.size(), f);
        if (n == 0)
            return std::ferror(f) == 0;
        crlf.Feed(std::string_view(buf.data(), n), piece);
        if (!use(piece))
            return false;
    }
}

// The header of the written mail, read from the file's start; `bodyAt` is
// where its body starts. False when the file cannot be read.
bool ReadWrittenHeader(std::FILE* file, std::vector<HeaderField>& fields, long& bodyAt) {
    std::string head;
    std::size_t at = std::string::npos;
    std::vector<char> buf(REPLACE_CHUNK);
    while (at == std::string::npos) {
        const std::size_t n = std::fread(buf.data(), 1, buf.size(), file);
        if (n == 0)
            break;
        head.append(buf.data(), n);
        at = BodyOffset(head);
    }
    if (std::ferror(file))
        return false;
    if (at == std::string::npos)
        at = head.size();
    head.resize(at);
    std::string noBody;
    SplitMail(head, fields, noBody);
    bodyAt = static_cast<long>(at);
    return true;
}

// Replaces the body the MTA holds with the written one from `at` when the
// two differ.
bool SendBodyWhenChanged(SMFICTX* ctx, Session& s, std::FILE* file, long at, std::string& error) {
    BodyDigest written;
    std::uint64_t size = 0;
    if (!ForEachBodyPiece(file, at, [&](const std::string& piece) {
            written.Update(piece.data(), piece.size());
            size += piece.size();
            return true;
        })) {
        error = "the checked mail cannot be read";
        return false;
    }
    if (SameBody(size, written, s.bodySize, s.bodyDigest))
        return true;
    if (size == 0 && smfi_replacebody(ctx, nullptr, 0) != MI_SUCCESS) {
        error = "the MTA refused the new body";
        return false;
    }
    if (!ForEachBodyPiece(file, at, [&](const std::string& piece) {
            std::string copy = piece;
            return smfi_replacebody(ctx, reinterpret_cast<unsigned char*>(copy.data()),
                                    static_cast<int>(copy.size())) == MI_SUCCESS;
        })) {
        error = "the MTA refused the new body";
        return false;
    }
    return true;
}

}  // namespace

bool SendHeaderChanges(SMFICTX* ctx, const std::vector<HeaderOp>& ops, bool leadingSpace,
                       std::string& error) {
    for (const HeaderOp& op : ops) {
        std::string value = OutValue(op.value, leadingSpace);
        int rc = MI_SUCCESS;
        char* name = const_cast<char*>(op.name.c_str());
        switch (op.kind) {
            case HeaderOpKind::Change:
                rc = smfi_chgheader(ctx, name, op.index, value.data());
                break;
            case HeaderOpKind::Delete:
                rc = smfi_chgheader(ctx, name, op.index, nullptr);
                break;
            case HeaderOpKind::Insert:
                rc = smfi_insheader(ctx, op.index, name, value.data());
                break;
            case HeaderOpKind::Append:
                rc = smfi_addheader(ctx, name, value.data());
                break;
        }
        if (rc != MI_SUCCESS) {
            error = "the MTA refused a change of " + op.name;
            return false;
        }
    }
    return true;
}

bool ApplyRewrite(SMFICTX* ctx, Session& s, bool leadingSpace,
                  const std::vector<std::string>& dropped, std::string& error) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(s.message.Path().c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
        error = "the checked mail was not written";
        return false;
    }
    std::vector<HeaderField> written;
    long bodyAt = 0;
    if (!ReadWrittenHeader(file.get(), written, bodyAt)) {
        error = "the checked mail cannot be read";
        return false;
    }
    return SendHeaderChanges(ctx, HeaderChanges(s.mta, s.headers, std::move(written), dropped),
                             leadingSpace, error) &&
           SendBodyWhenChanged(ctx, s, file.get(), bodyAt, error);
}
