/*
 * rules.cpp - benchmarks of the rule engine.
 *
 *   BM_CheckHeader/N          a realistic 30-field header (encoded Subject
 *                             and recipient, folded fields, five Received)
 *                             against N header rules of which none matches,
 *                             so every rule is tested: N = 10, 100, 1000.
 *   BM_FindMatchingRule/N     a 100 KB quoted-printable text part against N
 *                             keyword rules (words, wildcards, phrases), none
 *                             matching: N = 10, 100, 1000.
 *   BM_MatchPartPerRule/N     the same walk done rule by rule with MatchPart,
 *                             which decodes the part once per rule: the cost
 *                             one decoding per walk saves.
 *   BM_AttachmentRules/N      40 parts whose names come in every form mail
 *                             clients read (plain, quoted, RFC 2231 with
 *                             charset and continuations, encoded words in
 *                             several charsets, folded) against N attachment
 *                             rules, none matching: the cost of reading every
 *                             name of a part, N = 10, 100.
 * Time per iteration should grow linearly with N (items/s stays level).
 */
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "mailhdr/mailhdr.h"
#include "mime/mimepart.h"
#include "pf/platform.h"
#include "rules/rulehelper.h"

namespace {

constexpr std::size_t PART_BYTES = 100 * 1024;

const char* const HEADER_LINES[] = {
    "Return-Path: <bounce-1234@lists.example.org>",
    "Received: from mx1.example.org (mx1.example.org [192.0.2.10])",
    "\tby mail.example.net (Postfix) with ESMTPS id 4F2A81C0",
    "\tfor <alice@example.net>; Tue, 14 May 2024 09:12:01 +0200 (CEST)",
    "Received: from lists.example.org (lists.example.org [192.0.2.20])",
    "\tby mx1.example.org with ESMTP id 1a2b3c; Tue, 14 May 2024 07:11:59 +0000",
    "Received: by lists.example.org (Postfix, from userid 1001) id 9D8E7F",
    "Received: from [10.0.0.7] (unknown [198.51.100.4]) by lists.example.org",
    "Received: from localhost by lists.example.org with LMTP id x7y8z9",
    "Date: Tue, 14 May 2024 09:11:57 +0200",
    "From: \"Bob Example\" <bob@lists.example.org>",
    "To: =?iso-8859-1?Q?J=FCrgen_M=FCller?= <juergen@example.net>, alice@example.net",
    "Cc: Carol <carol@example.com>, Dave <dave@example.com>",
    "Subject: =?utf-8?B?UmU6IHF1YXJ0ZXJseSByZXBvcnQgYW5kIG1lZXRpbmcgbm90ZXM=?=",
    "Reply-To: list@lists.example.org",
    "Message-Id: <20240514091157.12345@lists.example.org>",
    "In-Reply-To: <20240513160000.999@example.net>",
    "References: <20240513160000.999@example.net>",
    "\t<20240512120000.111@example.com>",
    "Mime-Version: 1.0",
    "Content-Type: multipart/alternative;",
    "\tboundary=\"----=_Part_12345_67890.1715670717\"",
    "X-Priority: 3",
    "X-Mailer: Example Mail 5.2",
    "List-Id: Team list <team.lists.example.org>",
    "List-Unsubscribe: <mailto:leave-team@lists.example.org>",
    "Precedence: list",
    "X-Spam-Status: No, score=-1.2 required=5.0",
    "X-Spam-Flag: NO",
    "Authentication-Results: mx1.example.org; spf=pass smtp.mailfrom=lists.example.org",
    "DKIM-Signature: v=1; a=rsa-sha256; d=lists.example.org; s=mail;",
    "\tbh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=",
    "Thread-Topic: quarterly report",
    "X-Original-To: alice@example.net",
};

// Header rules of the kinds hosts keep, none matching the header above.
std::string HeaderRuleText(int i) {
    switch (i % 8) {
        case 0:
            return "Subject: *cheap meds " + std::to_string(i) + "*";
        case 1:
            return "From: *@spam" + std::to_string(i) + ".example";
        case 2:
            return "To: *promo" + std::to_string(i) + "@*";
        case 3:
            return "X-Mailer: *Bulk Sender " + std::to_string(i) + "*";
        case 4:
            return "*: X-Spam-Flag: YES*" + std::to_string(i);
        case 5:
            return "Received: *from bad" + std::to_string(i) + ".example*";
        case 6:
            return "Subject: *win*;From: lottery" + std::to_string(i) + "@*";
        default:
            return "List-Id: *spam-list-" + std::to_string(i) + "*";
    }
}

std::string KeywordRuleText(int i) {
    switch (i % 5) {
        case 0:
            return "body: viagra" + std::to_string(i);
        case 1:
            return "body: Lottery" + std::to_string(i);
        case 2:
            return "body: cheap*meds" + std::to_string(i);
        case 3:
            return "body: free money " + std::to_string(i);
        default:
            return "body: casino" + std::to_string(i) + "*";
    }
}

// Set "p" with n keyword rules, the engine in the keyword pass.
void FillKeywordRules(CRuleHelper& rules, int n) {
    for (int i = 0; i < n; ++i)
        rules.AddRule("p", nullptr, KeywordRuleText(i).c_str(), 0, 4, nullptr, 0);
    rules.m_nMatchMode = MATCH_KEYWORD;
}

std::unique_ptr<CMimePart> QuotedPrintablePart() {
    static const char* const LINES[] = {
        "Dear colleagues, please find the minutes of our meeting below. We discussed",
        "the budget for the next quarter =E2=80=93 including travel, hardware and the",
        "new office lease. Action items: Bob prepares the draft, Carol checks numbers=",
        "; Dave books the room for Thursday.<br>Regards, Alice =3D team lead",
    };
    std::string text;
    for (std::size_t i = 0; text.size() < PART_BYTES; ++i) {
        text += LINES[i % 4];
        text += '\n';
    }
    auto part = std::make_unique<CMimePart>(nullptr);
    part->SetHeader(MAILHDR_FLD_CONTENT_TYPE, "text/plain; charset=utf-8");
    part->SetHeader(MAILHDR_FLD_CTE, "quoted-printable");
    part->AdoptData(pf::strdup(text.c_str()), text.size());
    return part;
}

void BM_CheckHeader(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    CRuleHelper rules;
    for (int i = 0; i < n; ++i)
        rules.AddRule("h", nullptr, HeaderRuleText(i).c_str(), 0, 4, nullptr, 0);
    mailhdr* hdr = mailhdr_alloc();
    for (const char* line : HEADER_LINES)
        mailhdr_parseline(hdr, line);
    for (auto _ : state) {
        const Rule* r = rules.CheckHeader("h", hdr);
        if (r == nullptr || !r->is_default)
            state.SkipWithError("a rule matched");
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["rules"] = n;
    mailhdr_free(hdr);
}
BENCHMARK(BM_CheckHeader)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_FindMatchingRule(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    CRuleHelper rules;
    FillKeywordRules(rules, n);
    auto part = QuotedPrintablePart();
    RuleSet* set = rules.FindRuleSet("p");
    for (auto _ : state) {
        const Rule* r = rules.FindMatchingRule(part.get(), set);
        if (r != nullptr)
            state.SkipWithError("a rule matched");
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(PART_BYTES));
}
BENCHMARK(BM_FindMatchingRule)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_MatchPartPerRule(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    CRuleHelper rules;
    FillKeywordRules(rules, n);
    auto part = QuotedPrintablePart();
    RuleSet* set = rules.FindRuleSet("p");
    for (auto _ : state) {
        int hits = 0;
        for (const Rule* r = set->rules; r != nullptr; r = r->next)
            hits += rules.MatchPart(r, part.get());
        benchmark::DoNotOptimize(hits);
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_MatchPartPerRule)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

// Content-Type and Content-Disposition values of one part, in the forms
// mail clients read: plain, quoted, RFC 2231 with charset and continuations,
// encoded words of several charsets, folded lines.
const char* const NAME_FORMS[][2] = {
    {"application/pdf; name=report-2024.pdf", "attachment; filename=report-2024.pdf"},
    {"application/pdf; name=\"quarterly report.pdf\"",
     "attachment; filename=\"quarterly report.pdf\""},
    {"application/octet-stream; name*=utf-8''%E6%97%A5%E6%9C%AC%E8%AA%9E.docx",
     "attachment; filename*=iso-8859-1''J%FCrgen%20M%FCller.xlsx"},
    {"application/zip; name*0*=utf-8''very%20long%20name%20; name*1=of%20the; name*2=.zip",
     "attachment; filename*0=\"very long name \"; filename*1=\"of the.zip\""},
    {"image/png; name=\"=?utf-8?B?0JrQsNGA0YLQuNC90LrQsC5wbmc=?=\"",
     "inline; filename=\"=?iso-8859-1?Q?Bild_f=FCr_J=FCrgen.png?=\""},
    {"text/plain; charset=utf-8;\n\tname=\"=?utf-8?Q?notes_?= =?utf-8?Q?for_today.txt?=\"",
     "attachment;\n\tfilename=\"notes for today.txt\""},
};

// Set "a" with n attachment rules that remove, none matching the names above.
void FillAttachmentRules(CRuleHelper& rules, int n) {
    static const char* const EXTENSIONS[] = {"exe", "scr", "com", "pif", "bat",
                                             "cmd", "vbs", "js",  "jar", "lnk"};
    for (int i = 0; i < n; ++i) {
        const std::string text = "attachment: *" + std::to_string(i / 10) + "." +
                                 EXTENSIONS[static_cast<std::size_t>(i) % 10];
        rules.AddRule("a", nullptr, text.c_str(), 0, ACTION_REMOVE, nullptr, 0);
    }
    rules.m_nMatchMode = MATCH_ATTACHMENT;
}

void BM_AttachmentRules(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    CRuleHelper rules;
    FillAttachmentRules(rules, n);
    RuleSet* set = rules.FindRuleSet("a");
    std::vector<std::unique_ptr<CMimePart>> parts;
    for (int i = 0; i < 40; ++i) {
        const auto& form = NAME_FORMS[static_cast<std::size_t>(i) % 6];
        auto part = std::make_unique<CMimePart>(nullptr);
        part->SetHeader(MAILHDR_FLD_CONTENT_TYPE, form[0]);
        part->SetHeader(MAILHDR_FLD_DISPOSITION, form[1]);
        parts.push_back(std::move(part));
    }
    for (auto _ : state) {
        for (const auto& part : parts) {
            const Rule* r = rules.FindMatchingRule(part.get(), set);
            if (r != nullptr)
                state.SkipWithError("a rule matched");
            benchmark::DoNotOptimize(r);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(parts.size()));
}
BENCHMARK(BM_AttachmentRules)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace
