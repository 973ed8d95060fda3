/*
 * cmd_quarantine.cpp - "mailward quarantine": the held mails of both
 * programs (quarantine_store.h) listed, shown, given back and deleted.
 *
 *   mailward quarantine list               one line per entry, oldest first
 *   mailward quarantine show ID            the index record and the header
 *   mailward quarantine release ID [--to ADDR]... [--keep]
 *   mailward quarantine delete ID
 *   mailward quarantine expire DAYS        entries older than DAYS days
 *
 * The configuration is read as "mailward config check" reads it (without
 * -c the installed service's file when it exists), so the folder is the one
 * the milter writes: Quarantine.Dir, default <DataDir>/quarantine.
 *
 * LIST columns, separated by a TAB: id, time (UTC), sender ("<>" for the
 * null sender), recipients (comma between), verdict, reasons (comma
 * between), size in bytes. A damaged entry is named on stderr and makes the
 * status 2; the others are listed all the same.
 *
 * RELEASE hands the original, unchanged, to the MTA's sendmail program
 * (Quarantine.Sendmail, default /usr/sbin/sendmail) as "PROGRAM -i -f
 * SENDER -- RECIPIENT..." with the mail on its input: to the recipients of
 * the entry, or to the --to addresses instead. The entry is deleted once
 * the program has ended with status 0 (kept with --keep); a program that
 * fails leaves it in place and the status is 2. Postfix does not pass mail
 * that comes through sendmail to its smtpd_milters (non_smtpd_milters is
 * empty by default), so a released mail is not held again.
 *
 * LOG: every release, delete and expire writes one line with the entry's
 * id on stdout and, on POSIX, to syslog (facility mail, "mailward").
 *
 * Exit status: 0 done, 2 an unknown id, bad input or a failure.
 */
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include "commands.h"
#include "common/cli_options.h"
#include "common/console.h"
#include "common/host_config.h"
#include "common/host_session.h"
#include "common/quarantine_store.h"
#include "common/text.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#endif

namespace {

constexpr std::size_t SHOW_HEADER_MAX = 256 * 1024;
constexpr long long MAX_EXPIRE_DAYS = 100000;
constexpr std::int64_t SECONDS_PER_DAY = 24 * 3600;
constexpr int EXEC_FAILED = 127;

const char* const kDescription =
    "The quarantine of both programs (Quarantine.Dir, default <DataDir>/quarantine):\n"
    "held mails kept as they arrived, listed, shown, released and deleted.";
const char* const kFooter =
    "Without -c: " SERVICE_CONFIG
    " when it exists.\n"
    "list: id, time, sender, recipients, verdict, reasons, size; TAB between.\n"
    "release: the original, unchanged, through \"SENDMAIL -i -f SENDER -- RCPT...\"\n"
    "(Quarantine.Sendmail, default /usr/sbin/sendmail); deleted once it is handed\n"
    "over (--keep keeps it). Every release, delete and expire is logged with the id.\n"
    "Exit status: 0 done, 2 an unknown id, bad input or a failure.\n";

std::string Sender(const QuarantineRecord& r) {
    return r.sender.empty() ? "<>" : r.sender;
}

void LogAction(const std::string& line) {
    Console::Get().Out(line + "\n");
#if !defined(_WIN32)
    openlog("mailward", LOG_PID, LOG_MAIL);
    syslog(LOG_INFO, "quarantine: %s", line.c_str());
    closelog();
#endif
}

int Fail(const std::string& why) {
    Console::Get().Err("mailward quarantine: " + why);
    return EXIT_ERRORS;
}

int List(const QuarantineStore& store) {
    const QuarantineListing listing = store.List();
    std::string out;
    for (const QuarantineRecord& r : listing.entries)
        out += r.id + "\t" + QuarantineTimeText(r.time) + "\t" + Sender(r) + "\t" +
               kit::join(r.recipients, ",") + "\t" + r.verdict + "\t" + kit::join(r.reasons, ",") +
               "\t" + std::to_string(r.size) + "\n";
    Console::Get().Out(out);
    for (const std::string& d : listing.damaged)
        Fail("damaged entry: " + d);
    return listing.damaged.empty() ? EXIT_CLEAN : EXIT_ERRORS;
}

// The mail's header as stored, with LF line ends, at most SHOW_HEADER_MAX.
std::string HeaderOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string header, line;
    while (header.size() < SHOW_HEADER_MAX && std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break;
        header += line + "\n";
    }
    return header;
}

int Show(const QuarantineStore& store, const std::string& id) {
    QuarantineRecord r;
    std::string error;
    if (!store.Read(id, r, error))
        return Fail(error);
    std::string out = "Id: " + r.id + "\nKind: " + QuarantineKindName(r.kind) +
                      "\nTime: " + QuarantineTimeText(r.time) + "\nQueue-Id: " + r.queueId +
                      "\nSender: " + Sender(r) + "\n";
    for (const std::string& rcpt : r.recipients)
        out += "Recipient: " + rcpt + "\n";
    out += "Subject: " + r.subject + "\nVerdict: " + r.verdict + "\n";
    for (const std::string& reason : r.reasons)
        out += "Reason: " + reason + "\n";
    out += "Size: " + std::to_string(r.size) + "\nOrigin: " + r.origin + "\n";
    if (r.kind == QuarantineKind::Attachment)
        out += "Parent: " + r.parent + "\nName: " + r.name + "\n";
    out += "File: " + store.MailPath(r.id) + "\n";
    if (r.kind == QuarantineKind::Message)
        out += "\n" + HeaderOf(store.MailPath(r.id));
    Console::Get().Out(out);
    return EXIT_CLEAN;
}

// An address as it may go to sendmail: one line, something in it.
bool PlainAddress(const std::string& a) {
    if (a.empty() || a.front() == '-')
        return false;
    for (char c : a) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f)
            return false;
    }
    return true;
}

// Runs `program` with the mail on its input; false with the reason.
bool Submit(const std::string& program, const std::string& sender,
            const std::vector<std::string>& recipients, const std::string& mail,
            std::string& error) {
#if defined(_WIN32)
    (void)program, (void)sender, (void)recipients, (void)mail;
    error = "release through sendmail is not available on Windows";
    return false;
#else
    std::vector<std::string> args = {program, "-i", "-f", sender.empty() ? "<>" : sender, "--"};
    args.insert(args.end(), recipients.begin(), recipients.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int in = ::open(mail.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        error = "cannot read " + mail;
        return false;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in, STDIN_FILENO);
        ::execv(program.c_str(), argv.data());
        std::fprintf(stderr, "mailward quarantine: cannot run %s\n", program.c_str());
        ::_exit(EXEC_FAILED);
    }
    ::close(in);
    if (pid < 0) {
        error = "cannot start " + program;
        return false;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = "lost " + program;
            return false;
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = program + (WIFEXITED(status)
                               ? " ended with status " + std::to_string(WEXITSTATUS(status))
                               : std::string(" was killed"));
        return false;
    }
    return true;
#endif
}

int Release(QuarantineStore& store, const std::string& id, const std::vector<std::string>& to,
            bool keep) {
    QuarantineRecord r;
    std::string error;
    if (!store.Read(id, r, error))
        return Fail(error);
    if (r.kind != QuarantineKind::Message)
        return Fail(id + " is an attachment, not a mail: only mails are released");
    const std::vector<std::string>& recipients = to.empty() ? r.recipients : to;
    if (recipients.empty())
        return Fail(id + " names no recipient: give one with --to");
    for (const std::string& a : recipients) {
        if (!PlainAddress(a))
            return Fail("'" + a + "' is not an address sendmail takes");
    }
    if (!r.sender.empty() && !PlainAddress(r.sender))
        return Fail(id + ": its sender '" + r.sender + "' is not an address sendmail takes");
    const std::string program = ConfigValue("Quarantine.Sendmail").empty()
                                    ? std::string("/usr/sbin/sendmail")
                                    : ConfigValue("Quarantine.Sendmail");
    if (!Submit(program, r.sender, recipients, store.MailPath(id), error)) {
        LogAction("release of " + id + " failed, kept: " + error);
        return EXIT_ERRORS;
    }
    std::string line = "released " + id + " from " + Sender(r) + " to " +
                       kit::join(recipients, ",") + " through " + program;
    if (!keep) {
        if (!store.Remove(id, error)) {
            LogAction(line + "; not deleted: " + error);
            return EXIT_ERRORS;
        }
        line += "; deleted";
    }
    LogAction(line);
    return EXIT_CLEAN;
}

int Delete(QuarantineStore& store, const std::string& id) {
    std::string error;
    if (!store.Remove(id, error))
        return Fail(error);
    LogAction("deleted " + id);
    return EXIT_CLEAN;
}

int Expire(QuarantineStore& store, long long days) {
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    std::vector<std::string> errors;
    const std::vector<std::string> removed =
        store.Expire(now - static_cast<std::int64_t>(days) * SECONDS_PER_DAY, now, errors);
    for (const std::string& id : removed)
        LogAction("expired " + id);
    for (const std::string& e : errors)
        Fail(e);
    Console::Get().Out("expired " + std::to_string(removed.size()) + " entries older than " +
                       std::to_string(days) + " days\n");
    return errors.empty() ? EXIT_CLEAN : EXIT_ERRORS;
}

}  // namespace

int RunQuarantine(int argc, char** argv, int first, const std::string& exeDir) {
    CommonOptions common;
    std::string id;
    std::vector<std::string> to;
    bool keep = false;
    long long days = 0;
    auto app = MakeCommand("quarantine", kDescription, kFooter);
    app->require_subcommand(1, 1);
    app->fallthrough();
    AddCommonOptions(*app, common, OPTION_CONFIG | OPTION_VALUE | OPTION_VERBOSE);
    CLI::App* list = app->add_subcommand("list", "one line per entry, oldest first");
    CLI::App* show = app->add_subcommand("show", "the index record and the mail's header");
    show->add_option("id", id, "the entry")->required()->type_name("ID");
    CLI::App* release =
        app->add_subcommand("release", "hand the original to the MTA's sendmail program");
    release->add_option("id", id, "the entry")->required()->type_name("ID");
    release->add_option("--to", to, "send to this address instead of the recipients (repeatable)")
        ->type_name("ADDR")
        ->allow_extra_args(false);
    release->add_flag("--keep", keep, "keep the entry once released");
    CLI::App* del = app->add_subcommand("delete", "remove the entry");
    del->add_option("id", id, "the entry")->required()->type_name("ID");
    CLI::App* expire = app->add_subcommand("expire", "remove the entries older than DAYS days");
    expire->add_option("days", days, "age in days (0: every entry)")
        ->required()
        ->type_name("DAYS")
        ->check(CLI::Range(0LL, MAX_EXPIRE_DAYS));
    if (const int status = ParseCommand(*app, argc, argv, first); status != PARSE_GO_ON)
        return status;
    common.configFile = DefaultServiceConfig(common.configFile);

    HostSession session(exeDir);
    session.InstallLog(common.verbosity);
    if (!session.Configure(common))
        return EXIT_ERRORS;
    QuarantineStore store;
    std::string error;
    if (!store.Open(QuarantineDirFor(ConfigValue("Quarantine.Dir"), session.Config().dataDir),
                    error))
        return Fail(error);
    if (list->parsed())
        return List(store);
    if (show->parsed())
        return Show(store, id);
    if (release->parsed())
        return Release(store, id, to, keep);
    if (del->parsed())
        return Delete(store, id);
    return Expire(store, days);
}
