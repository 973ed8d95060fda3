/*
 * cmd_header.cpp - the synchronous subcommands:
 *   check-header   the rule of a set that applies to a mail's header
 *                  (MAILWARD_check_header), read from the mail file;
 *   decode-header  encoded words of header texts (MAILWARD_DecodeHeaderData);
 *   rules          the rule book as the library will try it.
 *
 * A mail's header is read up to its first empty line, at most
 * HEADER_READ_MAX bytes; CR LF and LF line ends are both accepted, and a
 * leading mbox "From " line is passed over. Lines the header parser refuses
 * (no colon) are counted and, with -v, shown; the check goes on without
 * them, as a mail server's header check would.
 */
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>

#include "common/cli_options.h"
#include "commands.h"
#include "common/console.h"
#include "common/host_session.h"
#include "json_text.h"
#include "report_output.h"

namespace {

constexpr std::size_t HEADER_READ_MAX = 1024 * 1024;
constexpr std::size_t DECODE_LINE_MAX = 1024 * 1024;

const char* const kCheckHeaderDescription =
    "Prints the rule of a header rule set that applies to each mail's header\n"
    "(the first matching rule, or the set's default rule).";
const char* const kCheckHeaderFooter =
    "Exit status: 0 only default rules, 1 a rule matched, 2 errors.\n";
const char* const kDecodeDescription =
    "Decodes the RFC 2047 encoded words of each header text (\"-\": one text per\n"
    "line of standard input).";
const char* const kRulesDescription =
    "Checks a rules file and lists its sets and rules in the order the\n"
    "library tries them (the embedded example rules without --rules).";
const char* const kRulesFooter = "Exit status: 0 the file is good, 2 it has errors.\n";

// Reads the header block of a mail: its lines without line ends.
bool ReadHeaderLines(const std::string& path, std::vector<std::string>& lines, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot be read";
        return false;
    }
    std::string line;
    std::size_t total = 0;
    while (std::getline(in, line)) {
        total += line.size() + 1;
        if (total > HEADER_READ_MAX) {
            error = "header longer than " + std::to_string(HEADER_READ_MAX) + " bytes";
            return false;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break;
        if (lines.empty() && line.compare(0, 5, "From ") == 0)
            continue;  // mbox separator
        lines.push_back(line);
    }
    return true;
}

std::string RuleText(const Rule* r, const std::string& set) {
    std::string out;
    if (r->is_default != 0) {
        out = "default rule of set '" + set + "'";
    } else {
        out = "rule '" + std::string(r->name != nullptr ? r->name : "") + "' of set '" + set + "'";
    }
    const char* an = ActionName(r->action);
    out += ": action " + std::to_string(r->action);
    if (*an != '\0')
        out += " (" + std::string(an) + ")";
    return out;
}

// The order in which the library tries a set's rules: file order, each
// "prepend" rule put before the ones already there.
std::vector<const RuleEntry*> TryOrder(const RuleBook& book, const std::string& set) {
    std::vector<const RuleEntry*> order;
    for (const RuleEntry& r : book.rules) {
        if (r.set != set)
            continue;
        if (r.prepend)
            order.insert(order.begin(), &r);
        else
            order.push_back(&r);
    }
    return order;
}

std::string ActionLabel(int action) {
    const char* an = ActionName(action);
    return *an != '\0' ? std::string(an) + " (" + std::to_string(action) + ")"
                       : std::to_string(action);
}

}  // namespace

int RunCheckHeader(int argc, char** argv, int first, const std::string& exeDir) {
    Console& console = Console::Get();
    CommonOptions common;
    std::string set = "header", error;
    std::vector<std::string> mails;
    auto app = MakeCommand("check-header", kCheckHeaderDescription, kCheckHeaderFooter);
    app->add_option("-s,--set", set, "the header rule set")
        ->type_name("NAME")
        ->capture_default_str();
    AddCommonOptions(*app, common,
                     OPTION_CONFIG | OPTION_RULES | OPTION_VALUE | OPTION_JSON | OPTION_LIBRARY |
                         OPTION_VERBOSE);
    app->add_option("mails", mails, "mail files")->type_name("MAIL");
    if (const int status = ParseCommand(*app, argc, argv, first); status != PARSE_GO_ON)
        return status;
    if (mails.empty()) {
        console.Err(
            "mailward check-header: no mail given (mailward check-header --help lists its "
            "options)");
        return EXIT_ERRORS;
    }
    HostSession session(exeDir);
    session.InstallLog(common.verbosity);
    if (!session.Configure(common) || !session.LoadLibrary(common) || !session.LoadRules(common))
        return EXIT_ERRORS;
    if (std::string missing = session.MissingSet(set); !missing.empty()) {
        console.Err("mailward check-header: " + missing);
        return EXIT_ERRORS;
    }
    if (!session.StartService(false))
        return EXIT_ERRORS;
    const MailwardApi& api = session.Api();
    int status = EXIT_CLEAN;
    for (const std::string& path : mails) {
        std::vector<std::string> lines;
        if (!ReadHeaderLines(path, lines, error)) {
            console.Err("mailward check-header: " + path + ": " + error);
            status = EXIT_ERRORS;
            continue;
        }
        mailhdr* hdr = api.mailhdr_alloc();
        if (hdr == nullptr) {
            console.Err("mailward check-header: out of memory");
            return EXIT_ERRORS;
        }
        int skipped = 0, number = 0;
        for (const std::string& line : lines) {
            ++number;
            if (api.mailhdr_parseline(hdr, line.c_str()) != 0) {
                ++skipped;
                if (common.verbosity > 0)
                    console.Err(path + ": header line " + std::to_string(number) +
                                " passed over: " + api.mailhdr_parse_errorstr());
            }
        }
        const Rule* rule = api.MAILWARD_check_header(set.c_str(), hdr);
        if (rule == nullptr) {
            console.Err("mailward check-header: " + path + ": the library gave no rule");
            status = EXIT_ERRORS;
        } else {
            if (rule->is_default == 0 && status == EXIT_CLEAN)
                status = EXIT_FOUND;
            if (common.json) {
                JsonObject j;
                j.AddString("type", "header");
                j.AddString("file", path);
                j.AddString("set", set);
                j.AddBool("matched", rule->is_default == 0);
                if (rule->name != nullptr)
                    j.AddString("name", rule->name);
                else
                    j.AddRaw("name", "null");
                j.AddString("text", rule->text != nullptr ? rule->text : "");
                j.AddInt("action", rule->action);
                j.AddString("actionName", ActionName(rule->action));
                j.AddBool("default", rule->is_default != 0);
                j.AddInt("line", rule->user_value);
                j.AddInt("linesPassedOver", skipped);
                console.Out(j.Text() + "\n");
            } else {
                std::string out = path + ": " + RuleText(rule, set) + "\n";
                if (rule->is_default == 0)
                    out += "  text  " + std::string(rule->text != nullptr ? rule->text : "") +
                           "\n  line  " + session.RulesName() + ":" +
                           std::to_string(rule->user_value) + "\n";
                if (skipped > 0)
                    out += "  (" + std::to_string(skipped) +
                           " header lines were passed over; -v shows them)\n";
                console.Out(out);
            }
        }
        api.mailhdr_free(hdr);
    }
    return status;
}

int RunDecodeHeader(int argc, char** argv, int first, const std::string& exeDir) {
    Console& console = Console::Get();
    CommonOptions common;
    std::vector<std::string> operands;
    auto app = MakeCommand("decode-header", kDecodeDescription, "");
    AddCommonOptions(*app, common, OPTION_JSON | OPTION_LIBRARY | OPTION_VERBOSE);
    app->add_option("texts", operands, "header texts, or - for standard input")->type_name("TEXT");
    if (const int status = ParseCommand(*app, argc, argv, first); status != PARSE_GO_ON)
        return status;
    if (operands.empty()) {
        console.Err(
            "mailward decode-header: no text given (mailward decode-header --help lists "
            "its options)");
        return EXIT_ERRORS;
    }
    std::vector<std::string> texts;
    for (const std::string& op : operands) {
        if (op == "-") {
            std::string line;
            while (std::getline(std::cin, line)) {
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                if (line.size() > DECODE_LINE_MAX) {
                    console.Err("mailward decode-header: a line of stdin is longer than " +
                                std::to_string(DECODE_LINE_MAX) + " bytes");
                    return EXIT_ERRORS;
                }
                texts.push_back(line);
            }
        } else {
            texts.push_back(op);
        }
    }
    HostSession session(exeDir);
    session.InstallLog(common.verbosity);
    if (!session.LoadLibrary(common))
        return EXIT_ERRORS;
    const MailwardApi& api = session.Api();
    int status = EXIT_CLEAN;
    for (const std::string& text : texts) {
        char* decoded = api.MAILWARD_DecodeHeaderData(text.c_str());
        if (decoded == nullptr) {
            console.Err("mailward decode-header: the library could not decode '" + text + "'");
            status = EXIT_ERRORS;
            continue;
        }
        if (common.json) {
            JsonObject j;
            j.AddString("text", text);
            j.AddString("decoded", decoded);
            console.Out(j.Text() + "\n");
        } else {
            console.Out(std::string(decoded) + "\n");
        }
        api.MAILWARD_FreeData(decoded);
    }
    return status;
}

int RunRules(int argc, char** argv, int first, const std::string& exeDir) {
    Console& console = Console::Get();
    CommonOptions common;
    auto app = MakeCommand("rules", kRulesDescription, kRulesFooter);
    AddCommonOptions(*app, common, OPTION_RULES | OPTION_JSON | OPTION_LIBRARY | OPTION_VERBOSE);
    if (const int status = ParseCommand(*app, argc, argv, first); status != PARSE_GO_ON)
        return status;
    HostSession session(exeDir);
    session.InstallLog(common.verbosity);
    if (!session.LoadLibrary(common) || !session.LoadRules(common))
        return EXIT_ERRORS;
    const RuleBook& book = session.Book();
    if (common.json) {
        JsonArray sets;
        for (const RuleSetEntry& s : book.sets) {
            JsonArray rules;
            for (const RuleEntry* r : TryOrder(book, s.name)) {
                RuleInfo info;
                info.name = r->name;
                info.text = r->text;
                info.action = r->action;
                if (!r->dir.empty())
                    info.targetDir = r->dir;
                info.userValue = static_cast<std::uint32_t>(r->line);
                rules.AddRaw(RuleJson(info, r->prepend));
            }
            JsonObject sj;
            sj.AddString("name", s.name);
            sj.AddInt("defaultAction", s.defaultAction);
            sj.AddBool("defaultGiven", s.hasDefault);
            sj.AddRaw("rules", rules.Text());
            sets.AddRaw(sj.Text());
        }
        JsonObject j;
        j.AddString("file", session.RulesName());
        j.AddRaw("sets", sets.Text());
        console.Out(j.Text() + "\n");
        return EXIT_CLEAN;
    }
    std::string out = "rules of " + session.RulesName() + ": " + std::to_string(book.sets.size()) +
                      " sets, " + std::to_string(book.rules.size()) +
                      " rules, in the order they are tried\n";
    for (const RuleSetEntry& s : book.sets) {
        out += "\n[set " + s.name + "]  default: " + ActionLabel(s.defaultAction) +
               (s.hasDefault ? "" : " (not given)") + "\n";
        std::vector<std::vector<std::string>> rows = {
            {"#", "rule", "action", "dir", "text", "line"}};
        int n = 0;
        for (const RuleEntry* r : TryOrder(book, s.name))
            rows.push_back({std::to_string(++n), r->name, ActionLabel(r->action),
                            r->dir.empty() ? "-" : r->dir, r->text,
                            std::to_string(r->line) + (r->prepend ? " prepend" : "")});
        out += n == 0 ? "  (no rules)\n" : TextTable(rows, "  ");
    }
    console.Out(out);
    return EXIT_CLEAN;
}
