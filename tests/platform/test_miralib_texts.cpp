/*
 * test_miralib_texts.cpp - host texts (defaults, replacement, pointers that
 * stay valid) and template filling: variables replaced by their writers'
 * output, what a writer receives, texts that are not expanded again, refused
 * names and limits. The shipped notice template is filled by the pipeline in
 * tests/tools (the notice of a virus mail names the engine).
 */
#include "miralib.h"
#include "pf_scratch.h"
#include "qorcsock.h"
#include "qorcsock_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

class HostTexts : public ::testing::Test {
  protected:
    void TearDown() override {
        for (int id : {63, 65, 67, 68, 69, 70, 5000})
            S_MODULENAME_set(id, nullptr);
    }
};

TEST_F(HostTexts, EnglishDefaultsThatTheHostReplaces) {
    EXPECT_STREQ("removed-attachment.txt", S_MODULENAME(63, "EXE"));
    EXPECT_STREQ("An attachment of this message was moved to quarantine.", S_MODULENAME(65, "EXE"));
    EXPECT_STREQ("An attachment of this message was removed.", S_MODULENAME(67, "EXE"));
    EXPECT_STREQ("An attachment of this message was removed because it contains a virus.",
                 S_MODULENAME(68, "EXE"));
    EXPECT_STREQ("mailward-scan.tmp", S_MODULENAME(69, "EXE"));
    EXPECT_STREQ(".infected", S_MODULENAME(70, nullptr));
    EXPECT_STREQ("", S_MODULENAME(64, "EXE"));
    EXPECT_STREQ("", S_MODULENAME(-1, "EXE"));

    // The host replaces and restores texts; old pointers stay valid.
    const char* before = S_MODULENAME(68, "EXE");
    ASSERT_EQ(0, S_MODULENAME_set(68, "Ein Anhang wurde entfernt (Virus)."));
    EXPECT_STREQ("Ein Anhang wurde entfernt (Virus).", S_MODULENAME(68, "EXE"));
    const char* replaced = S_MODULENAME(68, "EXE");
    ASSERT_EQ(0, S_MODULENAME_set(68, "second"));
    EXPECT_STREQ("Ein Anhang wurde entfernt (Virus).", replaced);
    EXPECT_STREQ("An attachment of this message was removed because it contains a virus.", before);
    ASSERT_EQ(0, S_MODULENAME_set(68, nullptr));
    EXPECT_STREQ(before, S_MODULENAME(68, "EXE"));

    ASSERT_EQ(0, S_MODULENAME_set(5000, "host's own"));
    EXPECT_STREQ("host's own", S_MODULENAME(5000, "EXE"));
    EXPECT_EQ(-1, S_MODULENAME_set(-1, "x"));
    EXPECT_EQ(-1, S_MODULENAME_set(MIRALIB_MAX_TEXT_ID + 1, "x"));
    std::string tooLong(MIRALIB_MAX_HOST_TEXT + 1, 't');
    EXPECT_EQ(-1, S_MODULENAME_set(69, tooLong.c_str()));
    EXPECT_STREQ("mailward-scan.tmp", S_MODULENAME(69, "EXE"));
}

TEST_F(HostTexts, ConcurrentReaderCopiesWholeTextsWhileHostReplacesThem) {
    const std::string a(200, 'a'), b(50, 'b');
    std::atomic<bool> stop{false};
    std::atomic<long> bad{0};
    std::thread reader([&] {
        while (!stop.load()) {
            std::string copy = S_MODULENAME(65, "EXE");
            if (copy != a && copy != b &&
                copy != "An attachment of this message was moved to quarantine.") {
                ++bad;
            }
        }
    });
    for (int i = 0; i < 5000; ++i)
        S_MODULENAME_set(65, (i % 2 ? a : b).c_str());
    stop = true;
    reader.join();
    EXPECT_EQ(0, bad.load());
}

// ---- templates ------------------------------------------------------------

// What each variable's writer writes, by variable name.
using Outputs = std::map<std::string, std::string>;
int calls = 0;

// The writer of every table here: writes what the context holds for the
// variable it is handed (as `a`).
int Write(void* a, void* b, FILE* out, void* context) {
    ++calls;
    EXPECT_NE(nullptr, a);
    EXPECT_EQ(nullptr, b);
    if (a != nullptr && context != nullptr) {
        const Outputs& outputs = *static_cast<const Outputs*>(context);
        auto it = outputs.find(static_cast<TemplateVariable*>(a)->name);
        if (it != outputs.end())
            std::fwrite(it->second.data(), 1, it->second.size(), out);
    }
    return 0;
}

const TemplateVariable TABLE[] = {{"${First}", Write}, {"${Second}", Write}, {"", nullptr}};

class Templates : public ::testing::Test {
  protected:
    void SetUp() override {
        miraconf_reset();
        ASSERT_EQ(0, miraconf_set("TemplateDir", m_scratch.Dir().c_str()));
        calls = 0;
    }
    void TearDown() override { miraconf_reset(); }

    // Fills the template `name`; "<null>" when the fill fails.
    static std::string FillFile(const char* name, const TemplateVariable* table,
                                const Outputs* outputs) {
        char* filled = GiveTextFromReplacedTemplate(table, name, const_cast<Outputs*>(outputs), 0);
        std::string result = filled != nullptr ? filled : "<null>";
        cbcontext_free(filled);
        return result;
    }
    // Fills a template of the given text.
    std::string Fill(const std::string& text, const TemplateVariable* table = TABLE,
                     const Outputs* outputs = nullptr) {
        EXPECT_TRUE(pftest::WriteFile(m_scratch.Path("t.txt"), text));
        return FillFile("t.txt", table, outputs);
    }

    pftest::Scratch m_scratch;
};

TEST_F(Templates, EveryOccurrenceGetsItsWritersOutputOnce) {
    Outputs texts{{"${First}", "Worm.X"}, {"${Second}", "Engine 1.0"}};
    EXPECT_EQ("Virus Worm.X (Worm.X) by Engine 1.0.\nend ${Third}",
              Fill("Virus ${First} (${First}) by ${Second}.\nend ${Third}", TABLE, &texts));
    EXPECT_EQ(2, calls);  // one call per variable, not per occurrence

    calls = 0;
    EXPECT_EQ("no variables here", Fill("no variables here", TABLE, &texts));
    EXPECT_EQ(0, calls);
    EXPECT_EQ("", Fill("", TABLE, &texts));

    // Written texts are not expanded again.
    texts = {{"${First}", "${Second}${First}"}, {"${Second}", "v2"}};
    EXPECT_EQ("[${Second}${First}] v2", Fill("[${First}] ${Second}", TABLE, &texts));

    // A null context, a null writer and no table.
    EXPECT_EQ("a  b", Fill("a ${First} b"));
    const TemplateVariable silent[] = {{"${First}", nullptr}, {nullptr, nullptr}};
    EXPECT_EQ("a  b", Fill("a ${First} b", silent));
    EXPECT_EQ("a ${First} b", Fill("a ${First} b", nullptr));
}

TEST_F(Templates, RefusedNamesMissingFilesAndLimitsGiveNull) {
    LogCapture log;
    ASSERT_TRUE(pftest::WriteFile(m_scratch.Path("ok.txt"), "x"));
    for (const char* bad : {"", ".", "..", "../ok.txt", "sub/ok.txt", "sub\\ok.txt", "C:ok.txt"})
        EXPECT_EQ(nullptr, GiveTextFromReplacedTemplate(TABLE, bad, nullptr, 0)) << bad;
    EXPECT_EQ(nullptr, GiveTextFromReplacedTemplate(TABLE, nullptr, nullptr, 0));
    EXPECT_EQ(nullptr, GiveTextFromReplacedTemplate(TABLE, "absent.txt", nullptr, 0));
    EXPECT_TRUE(log.Contains(QLOG_ERROR, "absent.txt"));

    EXPECT_EQ("<null>", Fill(std::string("nul\0byte", 8)));
    EXPECT_EQ("<null>", Fill(std::string(MIRALIB_MAX_TEMPLATE_SIZE + 1, 'x')));
    EXPECT_NE("<null>", Fill(std::string(MIRALIB_MAX_TEMPLATE_SIZE, 'x')));

    std::vector<std::string> names;
    std::vector<TemplateVariable> many;
    for (int i = 0; i <= MIRALIB_MAX_TEMPLATE_VARIABLES; ++i)
        names.push_back("${V" + std::to_string(i) + "}");
    for (const std::string& n : names)
        many.push_back({n.c_str(), nullptr});
    many.push_back({"", nullptr});
    EXPECT_EQ("<null>", Fill("x", many.data()));
    many[MIRALIB_MAX_TEMPLATE_VARIABLES] = {"", nullptr};
    EXPECT_EQ("x", Fill("x", many.data()));

    Outputs big{{"${First}", std::string(MIRALIB_MAX_WRITER_OUTPUT + 1, 'h')}};
    EXPECT_EQ("<null>", Fill("${First}", TABLE, &big));
    big["${First}"].pop_back();
    EXPECT_EQ(big["${First}"], Fill("${First}", TABLE, &big));
}

}  // namespace
