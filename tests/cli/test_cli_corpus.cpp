/*
 * test_cli_corpus.cpp - every mail of the test corpus (real and malformed
 * mails of other projects) through "mailward check" with every job flag on
 * and a spam list: the program ends normally, every mail gets its callback,
 * and every mail that was written loads again in a second check.
 *
 * Run under the ASan build (MAILWARD_SANITIZE=address) this is also the
 * sanitizer run of the whole pipeline over the corpus: every run's stderr
 * is searched for sanitizer reports (cli_test_util.h).
 */
#include "cli_test_util.h"

namespace clitest {
namespace {

// The folders of the corpus that hold mails (the others hold licences).
const char* const kCorpusFolders[] = {"mail-parser", "cpython"};

class CliCorpus : public CliTest {
  protected:
    // Copies the corpus mails below <scratch>/corpus; returns their count.
    std::size_t CopyCorpus() {
        std::size_t n = 0;
        fs::create_directories(Dir() / "corpus");
        for (const char* folder : kCorpusFolders) {
            const fs::path from = fs::path(MAILWARD_CORPUS_DIR) / folder;
            fs::copy(from, Dir() / "corpus" / folder, fs::copy_options::recursive);
            n += FilesBelow(from).size();
        }
        return n;
    }
};

TEST_F(CliCorpus, EveryMailIsCheckedAndEveryWrittenMailLoadsAgain) {
    const std::size_t count = CopyCorpus();
    ASSERT_GE(count, 150u);
    WriteFile(Dir() / "list.txt", "example.com 3\n@dom.ain 4\n");
    const fs::path out = Dir() / "out";

    const RunResult first =
        Run({"check", "--json", "-r", "--flags", "all", "--spam-list", "list.txt", "-o",
             out.string(), "--timeout", "120", (Dir() / "corpus").string()});
    // 2: some malformed mails do not parse; never a crash.
    ASSERT_TRUE(first.status == 1 || first.status == 2) << first.status << "\n" << first.err;
    const std::vector<Json> lines = JsonLines(first.out);
    ASSERT_FALSE(lines.empty()) << first;
    const Json& summary = lines.back();
    std::size_t reports = 0, loaded = 0;
    for (const Json& j : lines) {
        if (j["type"].str != "mail")
            continue;
        ++reports;
        EXPECT_TRUE(j["received"].b) << j["source"].str;
        const auto errors = j["errors"].Strings();
        if (std::find(errors.begin(), errors.end(), "ERR_LOAD") == errors.end())
            ++loaded;
    }
    EXPECT_EQ(reports, count);
    EXPECT_EQ(summary["mails"].Int(), static_cast<long long>(count));
    // Most of the corpus is well-formed enough to be checked.
    EXPECT_GE(loaded, count * 9 / 10);

    // Every mail that was written to the output folder loads again, with
    // the engine and every rule on.
    const std::vector<std::string> written = FilesBelow(out);
    EXPECT_EQ(written.size(), loaded) << "every mail that loaded is written to its target";
    const RunResult second =
        Run({"check", "--json", "-r", "--flags", "all", "--timeout", "120", out.string()});
    std::size_t again = 0;
    for (const Json& j : JsonLines(second.out)) {
        if (j["type"].str != "mail")
            continue;
        ++again;
        EXPECT_TRUE(j["received"].b) << j["source"].str;
        const auto errors = j["errors"].Strings();
        EXPECT_EQ(std::find(errors.begin(), errors.end(), "ERR_LOAD"), errors.end())
            << j["source"].str << " was written but does not load again";
    }
    EXPECT_EQ(again, written.size());
}

TEST_F(CliCorpus, EveryMailCheckedInPlaceWithoutTheEngine) {
    const std::size_t count = CopyCorpus();
    const RunResult r = Run({"check", "-r", "-b", "--flags", "all,-av", "--timeout", "120",
                             (Dir() / "corpus").string()});
    ASSERT_TRUE(r.status == 1 || r.status == 2 || r.status == 0) << r.status << "\n" << r.err;
    EXPECT_TRUE(Contains(r.out, "Mails checked:  " + std::to_string(count) + "\n")) << r.out;
    // One verdict line per mail.
    std::size_t verdicts = 0;
    std::istringstream in(r.out);
    for (std::string l; std::getline(in, l);)
        verdicts += Contains(l, "corpus/") && (Contains(l, ": OK") || Contains(l, ": FILTERED") ||
                                               Contains(l, ": ERROR") || Contains(l, " FOUND"));
    EXPECT_EQ(verdicts, count);
}

// The real mails of the corpus with the example rule set (built into the
// program): the kinds that judge content, archives and attached messages
// must not act on ordinary mail. Counted per kind (by the rule's text),
// each must be 0; the parts each kind looked at are the corpus's parts.
TEST_F(CliCorpus, ExampleRulesActOnNoOrdinaryMail) {
    const std::size_t count = CopyCorpus();
    ASSERT_GE(count, 150u);
    const RunResult run = Run({"check", "--json", "-r", "--flags", "all,-av", "--timeout", "120",
                               (Dir() / "corpus").string()});
    ASSERT_TRUE(run.status == 0 || run.status == 1 || run.status == 2) << run.err;
    std::map<std::string, int> acted = {{"content:", 0},
                                        {"attachment-encrypted:", 0},
                                        {"attachment-unreadable:", 0},
                                        {"attachment-mismatch:", 0},
                                        {"attachment:", 0}};
    std::size_t mails = 0, parts = 0;
    for (const Json& j : JsonLines(run.out)) {
        if (j["type"].str != "mail")
            continue;
        ++mails;
        for (const Json& part : j["parts"].items) {
            ++parts;
            for (const Json& rule : part["rules"].items) {
                for (auto& [kind, n] : acted) {
                    if (rule["text"].str.rfind(kind, 0) == 0) {
                        ++n;
                        ADD_FAILURE() << j["source"].str << ": part " << part["name"].str << " met "
                                      << rule["text"].str;
                    }
                }
            }
        }
    }
    EXPECT_EQ(mails, count);
    EXPECT_GT(parts, 2 * count);  // multipart mails: the kinds saw many parts
    for (const auto& [kind, n] : acted)
        EXPECT_EQ(n, 0) << kind;
}

}  // namespace
}  // namespace clitest
