/*
 * mailhdr.cpp - speed of the header library on a realistic header block:
 * about 3 KB of Received chains, DKIM and ARC signatures, folded address
 * lists and MIME fields, parsed line by line into a fresh record per
 * iteration (made, filled and released, as the part parser does), and the
 * same record written back as header text.
 *
 * Goal: mailhdr_parseline at least 200 MB/s of header text (reported as
 * bytes_per_second).
 *
 * Hostile blocks: 100 KB and 1 MB of one-character continuation lines of
 * one field, and of one unknown field name repeated, parsed by the block
 * parser (the MIME parser's way) at a constant cost per line.
 *
 * Whole mails with huge headers (BM_LoadHugeHeader): 100,000 unknown
 * fields, a To field folded over 100,000 lines, 100,000 Received fields,
 * each loaded by CMimeMessage, stamped and written back as header text
 * (GetHeaderText: what a header rewrite does). Goal: each well under a second (a few tens of
 * milliseconds on the build machine); time that grows with the square of
 * the lines shows up here first.
 */
#include "mailhdr/mailhdr.h"
#include "mailhdr/mailhdr_impl.h"
#include "mime/mimemessage.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

const char kHeader[] =
    "Return-Path: <newsletter-bounces+anna=example.org@lists.example.com>\n"
    "Delivered-To: anna@example.org\n"
    "Received: from mx2.example.org (mx2.example.org [192.0.2.25])\n"
    "\tby mail.example.org (Postfix) with ESMTPS id 4T2kLq0x9Rz1xyz\n"
    "\tfor <anna@example.org>; Tue,  5 Mar 2024 14:07:09 +0100 (CET)\n"
    "Received: from outbound.lists.example.com (outbound.lists.example.com [198.51.100.7])\n"
    "\t(using TLSv1.3 with cipher TLS_AES_256_GCM_SHA384 (256/256 bits)\n"
    "\t key-exchange X25519 server-signature RSA-PSS (2048 bits))\n"
    "\t(No client certificate requested)\n"
    "\tby mx2.example.org (Postfix) with ESMTPS id 9A1B2C3D4E\n"
    "\tfor <anna@example.org>; Tue,  5 Mar 2024 14:07:08 +0100 (CET)\n"
    "Received: from app-17.internal.example.com (app-17.internal.example.com [10.20.30.40])\n"
    "\tby outbound.lists.example.com with ESMTP id 0123456789abcdef;\n"
    "\tTue, 05 Mar 2024 13:07:05 +0000\n"
    "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=lists.example.com;\n"
    "\ts=s2024; t=1709644025; bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=;\n"
    "\th=From:To:Subject:Date:Message-ID:List-Unsubscribe:Content-Type;\n"
    "\tb=dGhpcyBpcyBub3QgYSByZWFsIHNpZ25hdHVyZSBidXQgaXQgaGFzIHRoZSByaWdodCBzaGFw\n"
    "\t ZSBhbmQgbGVuZ3RoIGZvciBhIGJlbmNobWFyayBvZiBoZWFkZXIgcGFyc2luZyBzcGVlZCBv\n"
    "\t biBmb2xkZWQgbGluZXMgd2l0aCBiYXNlNjQgZGF0YQ==\n"
    "ARC-Seal: i=1; a=rsa-sha256; t=1709644028; cv=none; d=example.org; s=arc-2024;\n"
    "\tb=c2VhbCBkYXRhIGZvciB0aGUgYmVuY2htYXJrIG9ubHksIG5vdCBhIHJlYWwgc2lnbmF0dXJl\n"
    "\t IG9mIGFueXRoaW5n\n"
    "ARC-Authentication-Results: i=1; mx2.example.org; dkim=pass header.d=lists.example.com;\n"
    "\tspf=pass smtp.mailfrom=lists.example.com; dmarc=pass header.from=example.com\n"
    "Authentication-Results: mx2.example.org;\n"
    "\tdkim=pass (2048-bit key) header.d=lists.example.com header.i=@lists.example.com;\n"
    "\tspf=pass (mx2.example.org: domain of lists.example.com designates 198.51.100.7)\n"
    "From: \"Example Weekly\" <newsletter@example.com>\n"
    "Reply-To: Example Support <support@example.com>\n"
    "To: Anna Example <anna@example.org>, \"Team, Sales\" <sales@example.org>,\n"
    " bob@example.net, Carol Example <carol@example.net>\n"
    "Cc: archive@example.org\n"
    "Subject: =?UTF-8?Q?Your_weekly_digest:_new_features,_tips_and_?=\n"
    " =?UTF-8?Q?an_invitation_to_our_spring_event?=\n"
    "Date: Tue, 05 Mar 2024 13:07:05 +0000\n"
    "Message-ID: <20240305130705.4f8a9b7c6d5e4f3a@app-17.internal.example.com>\n"
    "In-Reply-To: <20240227120000.1a2b3c4d5e6f7a8b@app-17.internal.example.com>\n"
    "References: <20240220120000.0a1b2c3d4e5f6a7b@app-17.internal.example.com>\n"
    " <20240227120000.1a2b3c4d5e6f7a8b@app-17.internal.example.com>\n"
    "List-Id: Example Weekly <weekly.lists.example.com>\n"
    "List-Unsubscribe: <mailto:unsubscribe@lists.example.com?subject=unsubscribe>,\n"
    " <https://lists.example.com/unsubscribe/0123456789abcdef0123456789abcdef>\n"
    "List-Unsubscribe-Post: List-Unsubscribe=One-Click\n"
    "Precedence: bulk\n"
    "X-Mailer: Example Mailer 5.2.1\n"
    "X-Priority: 3\n"
    "X-Spam-Status: No, score=-2.1 required=5.0 tests=BAYES_00,DKIM_SIGNED,\n"
    "\tDKIM_VALID,DKIM_VALID_AU,HTML_MESSAGE,SPF_PASS autolearn=ham version=3.4.6\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/alternative;\n"
    "\tboundary=\"----=_Part_1234567_890123456.1709644025000\"\n"
    "Content-Transfer-Encoding: 7bit\n";

std::vector<std::string> HeaderLines() {
    std::vector<std::string> lines;
    std::string text = kHeader;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

void BM_ParseHeaderBlock(benchmark::State& state) {
    const std::vector<std::string> lines = HeaderLines();
    for (auto _ : state) {
        mailhdr* hdr = mailhdr_alloc();
        for (const std::string& line : lines) {
            if (mailhdr_parseline(hdr, line.c_str()) != 0)
                state.SkipWithError("line refused");
        }
        benchmark::DoNotOptimize(hdr->flds[1]);
        mailhdr_free(hdr);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(sizeof(kHeader) - 1));
    state.counters["lines"] = static_cast<double>(lines.size());
}
BENCHMARK(BM_ParseHeaderBlock);

// arg 0: continuation lines of one field; arg 1: one unknown name repeated.
void BM_ParseHostileBlock(benchmark::State& state) {
    const std::size_t bytes = static_cast<std::size_t>(state.range(0));
    const char* line = state.range(1) == 0 ? "\tx" : "X-A: b";
    const std::size_t count = bytes / (std::string(line).size() + 1);
    for (auto _ : state) {
        mailhdr* hdr = mailhdr_alloc();
        {
            mailhdr_block_parser parser(hdr);
            parser.parseline("X-A: first");
            for (std::size_t i = 0; i < count; ++i)
                benchmark::DoNotOptimize(parser.parseline(line));
        }
        mailhdr_free(hdr);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_ParseHostileBlock)
    ->Args({100 << 10, 0})
    ->Args({100 << 10, 1})
    ->Args({1 << 20, 0})
    ->Args({1 << 20, 1})
    ->Unit(benchmark::kMillisecond);

// arg: 0 unknown fields, 1 lines of one To field, 2 Received fields.
void BM_LoadHugeHeader(benchmark::State& state) {
    static bool s_init = (mailhdr_init(), true);
    (void)s_init;
    constexpr std::size_t kLines = 100000;
    const char* const kinds[] = {"X-Filler: some value\r\n", "  user@example.org,\r\n",
                                 "Received: from relay.example.org by mx.example.org\r\n"};
    std::string mail = state.range(0) == 1 ? "To: first@example.org,\r\n" : "";
    for (std::size_t i = 0; i < kLines; ++i)
        mail += kinds[state.range(0)];
    mail += "Subject: huge\r\n\r\nbody\r\n";
    for (auto _ : state) {
        CMimeMessage msg;
        if (msg.LoadMsgFromBuffer(mail.data(), mail.size(), true) != 0) {
            state.SkipWithError("load failed");
            break;
        }
        // What a header rewrite writes: the fields as read plus the stamp.
        msg.SetHeader(MAILHDR_FLD_AVSTAMP, "engine");
        benchmark::DoNotOptimize(msg.GetHeaderText().size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(mail.size()));
}
BENCHMARK(BM_LoadHugeHeader)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// A header rule against a To field of 9,000 address lines (the support
// library's address parser takes up to 10,000 addresses and 1 MB of text):
// the field's addresses are parsed once and compared (what a header check
// costs).
void BM_CompareHugeAddressField(benchmark::State& state) {
    std::vector<std::string> lines = {"To: first@example.org"};
    for (int i = 0; i < 9000; ++i)
        lines.push_back("  u" + std::to_string(i) + "@example.org");
    mailhdr* hdr = mailhdr_alloc();
    {
        mailhdr_block_parser parser(hdr);
        for (const std::string& line : lines)
            parser.parseline(line.c_str());
    }
    for (auto _ : state) {
        // Any change of the lines drops the parsed value: parse again.
        mailhdr_fld* to = mailhdr_getfld_byname(hdr, "To");
        mailhdr_parse_fld(to);
        benchmark::DoNotOptimize(mailhdr_fld_eq(to, "*nobody*"));
        mailhdr_impl::fld_drop_parsed(to);
    }
    mailhdr_free(hdr);
}
BENCHMARK(BM_CompareHugeAddressField)->Unit(benchmark::kMillisecond);

void BM_FieldNameLookup(benchmark::State& state) {
    const char* names[] = {"Received",         "DKIM-Signature", "from",
                           "Content-Type",     "X-Spam-Status",  "MESSAGE-ID",
                           "List-Unsubscribe", "Subject"};
    for (auto _ : state) {
        for (const char* name : names)
            benchmark::DoNotOptimize(mailhdr_getfldid(name));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 8);
}
BENCHMARK(BM_FieldNameLookup);

void BM_WriteHeaderText(benchmark::State& state) {
    mailhdr* hdr = mailhdr_alloc();
    for (const std::string& line : HeaderLines())
        mailhdr_parseline(hdr, line.c_str());
    std::string buf;
    int64_t bytes = 0;
    for (auto _ : state) {
        int size = mailhdr_get_headersize(hdr);
        buf.assign(static_cast<std::size_t>(size) + 1, '\0');
        bytes += mailhdr_sprint(hdr, buf.data());
    }
    state.SetBytesProcessed(bytes);
    mailhdr_free(hdr);
}
BENCHMARK(BM_WriteHeaderText);

// The realistic block loaded as a mail, stamped and written back as the
// savers write it (the fields as read, the stamp below them).
void BM_WriteHeaderAsRead(benchmark::State& state) {
    static bool s_init = (mailhdr_init(), true);
    (void)s_init;
    const std::string mail = std::string(kHeader) + "\nbody\n";
    CMimeMessage msg;
    if (msg.LoadMsgFromBuffer(mail.data(), mail.size(), false) != 0) {
        state.SkipWithError("load failed");
        return;
    }
    msg.SetHeader(MAILHDR_FLD_AVSTAMP, "engine");
    int64_t bytes = 0;
    for (auto _ : state)
        bytes += static_cast<int64_t>(msg.GetHeaderText().size());
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_WriteHeaderAsRead);

}  // namespace
