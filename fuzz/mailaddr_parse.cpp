/*
 * mailaddr_parse.cpp - libFuzzer target for the address-list parser of the
 * support library.
 *
 * The input up to its first NUL is parsed. A refusal must come with a
 * reason. For each record of a parsed list these must hold (else abort):
 *   - display is set, and address is set whenever local is;
 *   - address is local, or local "@" domain when there is a domain;
 *   - a non-empty address parses again to one record with the same local
 *     part, domain and address (what the parser writes, it reads);
 *   - every record with a local part matches the pattern "*@*" (a missing
 *     domain counts as ""), and the pattern "*" exactly when it has no
 *     domain.
 */
#include "qorcsock/qorcsock.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Quiet(const char*, int, const char*, void*) {}

void Check(bool ok) {
    if (!ok)
        std::abort();
}

bool Same(const char* a, const char* b) {
    return (a == nullptr && b == nullptr) ||
           (a != nullptr && b != nullptr && std::strcmp(a, b) == 0);
}

void CheckRecord(const mailaddr* a, const mailaddr* anyAt, const mailaddr* anyLocal) {
    Check(a->display != nullptr);
    if (a->local == nullptr) {
        Check(a->address == nullptr && a->domain == nullptr && a->group != nullptr);
        return;
    }
    Check(a->address != nullptr);
    std::string expect = a->local;
    if (a->domain != nullptr)
        expect += std::string("@") + a->domain;
    Check(expect == a->address);
    if (*a->address != '\0') {
        mailaddr* again = mailaddr_parse(a->address);
        Check(again != nullptr && again->next == nullptr);
        Check(Same(again->local, a->local) && Same(again->domain, a->domain) &&
              Same(again->address, a->address));
        mailaddr_free(&again);
    }
    Check(mailaddr_match(a, anyAt) == 2);
    Check((mailaddr_match(a, anyLocal) == 2) == (a->domain == nullptr));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (qorcsock_set_log_sink(Quiet, nullptr), true);
    (void)quiet;
    std::string text(reinterpret_cast<const char*>(data), size);
    mailaddr* list = mailaddr_parse(text.c_str());
    if (list == nullptr) {
        Check(std::strcmp(mailaddr_parse_errorstr(), "no error") != 0);
        return 0;
    }
    mailaddr* anyAt = mailaddr_parse("*@*");
    mailaddr* anyLocal = mailaddr_parse("*");
    Check(anyAt != nullptr && anyLocal != nullptr);
    for (const mailaddr* a = list; a != nullptr; a = a->next)
        CheckRecord(a, anyAt, anyLocal);
    mailaddr_free(&anyAt);
    mailaddr_free(&anyLocal);
    mailaddr_free(&list);
    return 0;
}
