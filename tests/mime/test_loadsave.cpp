// test_loadsave.cpp - load and save of mail files: LoadMsg results and line
// ends, SaveMsg through a temporary file, SaveHeaderChangedMsg with its
// header-length test, the flush before the replace, the mode a rewritten
// mail keeps, and fault injection (a disk that fills up halfway, a flush or
// a replace that fails) proving that the old mail stays byte for byte.
#include "mime_test_util.h"

#include <sys/stat.h>

#include <algorithm>
#include <random>

#include "pf/platform.h"

using namespace mime_test;

namespace {

const std::string MULTI =
    "From: a@example.com\r\nSubject: test\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n"
    "\r\n--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n--b\r\nContent-Type: "
    "application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\nAAECAwQF\r\n--b--\r\n";

std::string BigBody() {
    std::string s;
    for (int i = 0; i < 20000; ++i) {
        s += "line " + std::to_string(i) + " of a long body\r\n";
    }
    return s;
}

// Writes `text` to the mail file m.eml of `dir` and loads it into `msg`.
void LoadFile(const TempDir& dir, CMimeMessage& msg, const std::string& text, bool full = true) {
    WriteFile(dir.Path("m.eml"), text);
    ASSERT_EQ(0, msg.LoadMsg(dir.Path("m.eml").c_str(), full));
}

}  // namespace

// ---- LoadMsg ----

TEST(MimeLoad, MissingAndEmptyFilesGiveMinusTwo) {
    TempDir dir;
    CMimeMessage msg;
    EXPECT_EQ(CMimeMessage::LOAD_NO_FILE, msg.LoadMsg(dir.Path("missing.eml").c_str(), true));
    WriteFile(dir.Path("empty.eml"), "");
    EXPECT_EQ(CMimeMessage::LOAD_NO_FILE, msg.LoadMsg(dir.Path("empty.eml").c_str(), true));
    EXPECT_EQ(CMimeMessage::LOAD_NO_FILE, msg.LoadMsg(nullptr, true));
    EXPECT_EQ(CMimeMessage::LOAD_NO_FILE, msg.LoadMsg(dir.Path("").c_str(), true));
    EXPECT_EQ(nullptr, msg.m_pszFileName);
}

TEST(MimeLoad, EveryCRLFIsReducedWhereverItStands) {
    // Random runs of letters, blanks, CR and LF, so that CR LF pairs and lone
    // CRs fall on every offset of the eight-byte words the loader moves.
    std::mt19937 rng(7);
    const char alphabet[] = {'a', 'b', ' ', '\r', '\n', '\r', '\n'};
    for (int round = 0; round < 200; ++round) {
        std::string text = "no header line";
        std::size_t n = rng() % 300;
        for (std::size_t i = 0; i < n; ++i) {
            text += alphabet[rng() % sizeof alphabet];
        }
        std::string expected;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
                expected += text[i];
            }
        }
        if (!expected.empty() && expected.back() == '\n') {
            expected.pop_back();  // the one trailing LF the contents drop
        }
        CMimeMessage msg;
        ASSERT_EQ(0, Load(msg, text));
        ASSERT_TRUE(msg.m_bNoHeaders);
        ASSERT_EQ(expected, Data(msg)) << "round " << round;
    }
}

TEST(MimeLoad, FailedParseKeepsTheNameAndAThrowDoesNot) {
    TempDir dir;
    WriteFile(dir.Path("noend.eml"), "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b");
    CMimeMessage msg;
    EXPECT_EQ(CMimeMessage::LOAD_PARSE_FAILED, msg.LoadMsg(dir.Path("noend.eml").c_str(), true));
    EXPECT_STREQ(dir.Path("noend.eml").c_str(), msg.m_pszFileName);

    WriteFile(dir.Path("throw.eml"),
              "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
              "Content-Type: multipart/mixed; boundary=c\r\nX-A: 1\r\n--b--\r\n");
    MimeLog log;
    CMimeMessage thrower;
    EXPECT_EQ(CMimeMessage::LOAD_PARSE_FAILED,
              thrower.LoadMsg(dir.Path("throw.eml").c_str(), true));
    EXPECT_TRUE(log.Has("CMimeMessage::LoadMsg() - catched errror while parsing."));
    EXPECT_EQ(nullptr, thrower.m_pszFileName);
}

// ---- SaveMsg ----

// That the tree survives a save and a new load is the corpus test's.
TEST(MimeSave, WritesCRLF) {
    TempDir dir;
    CMimeMessage msg;
    LoadFile(dir, msg, MULTI);
    EXPECT_STREQ(dir.Path("m.eml").c_str(), msg.m_pszFileName);
    ASSERT_TRUE(msg.SaveMsg(dir.Path("out.eml").c_str()));
    EXPECT_EQ(CRLF(Written(msg)), ReadFile(dir.Path("out.eml")));
}

TEST(MimeSave, PathTooLongForItsTemporaryFileIsRefused) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, "Subject: s\n\nb"));
    std::string path(PF_MAX_PATH - 3, 'x');
    EXPECT_FALSE(msg.SaveMsg(path.c_str()));
    EXPECT_FALSE(msg.SaveMsg(nullptr));
}

#ifndef _WIN32
// What lies under the old fixed temporary name "<mail>.tmp" (another queued
// mail, a link planted there) is neither removed nor written through by
// either save; the only new file is the mail itself.
TEST(MimeSave, FilesUnderTheOldTemporaryNameAreNeverTouched) {
    using Save = bool (CMimeMessage::*)(const char*);
    for (Save save : {&CMimeMessage::SaveMsg, &CMimeMessage::SaveHeaderChangedMsg}) {
        for (const bool bLink : {false, true}) {
            SCOPED_TRACE(bLink ? "link" : "another mail");
            TempDir dir;
            WriteFile(dir.Path("victim"), "precious");
            if (bLink)
                std::filesystem::create_symlink(dir.Path("victim"), dir.Path("m.eml.tmp"));
            else
                WriteFile(dir.Path("m.eml.tmp"), "queued mail");
            CMimeMessage msg;
            LoadFile(dir, msg, "Subject: s\n\nb");
            ASSERT_TRUE((msg.*save)(dir.Path("m.eml").c_str()));
            EXPECT_EQ("precious", ReadFile(dir.Path("victim")));
            EXPECT_EQ(bLink ? "precious" : "queued mail", ReadFile(dir.Path("m.eml.tmp")));
            EXPECT_EQ(3u, dir.Files().size());
            EXPECT_NE(std::string::npos, ReadFile(dir.Path("m.eml")).find("Subject: s\r\n"));
        }
    }
}
#endif

// ---- SaveHeaderChangedMsg ----

// The header is no longer written in field-table order: the fields stay as
// read and in their places, the added stamp goes below them, and the body is
// copied byte for byte.
TEST(MimeHeaderSave, AddedFieldGoesBelowTheFieldsAsReadNotIntoTableOrder) {
    TempDir dir;
    const std::string body = "body line\r\n\r\n--b--\r\nbinary\x01\xff\r\n";
    CMimeMessage msg;
    LoadFile(dir, msg, "subject:  abcdefgh\r\nX-A:\t1\r\n\r\n" + body, false);
    ASSERT_TRUE(msg.SetHeader(MAILHDR_FLD_AVSTAMP, "engine 1.0"));
    ASSERT_TRUE(msg.SaveHeaderChangedMsg(dir.Path("m.eml").c_str()));
    EXPECT_EQ("subject:  abcdefgh\r\nX-A:\t1\r\nX-VaveRiz4Zan: engine 1.0\r\n\r\n" + body,
              ReadFile(dir.Path("m.eml")));
    EXPECT_EQ(std::vector<std::string>{"m.eml"}, dir.Files());
}

// A mail whose first line is no header line has no header block: the new
// block goes in front of all of it, instead of taking its first paragraph
// for an old header.
TEST(MimeHeaderSave, MailWithoutAHeaderKeepsAllOfItsText) {
    TempDir dir;
    const std::string text = "no header here\r\nx\r\n\r\nsecond paragraph\r\n";
    CMimeMessage msg;
    LoadFile(dir, msg, text, false);
    ASSERT_TRUE(msg.m_bNoHeaders);
    ASSERT_TRUE(msg.SetHeader(MAILHDR_FLD_AVSTAMP, "e"));
    ASSERT_TRUE(msg.SaveHeaderChangedMsg(dir.Path("m.eml").c_str()));
    EXPECT_EQ("X-VaveRiz4Zan: e\r\n\r\n" + text, ReadFile(dir.Path("m.eml")));
}

// Both lengths count LF line ends: an unchanged header is rewritten as it
// was, one that grew passes, one that shrank by a character fails and
// leaves the mail alone.
TEST(MimeHeaderSave, OnlyAHeaderThatShrankFailsTheLengthTest) {
    TempDir dir;
    const std::string file = "Subject: abcdefgh\r\nX-A: 1\r\n\r\nbody\r\n";
    struct Case {
        const char* subject;  // null: unchanged
        bool saved;
    };
    for (const Case& c : {Case{nullptr, true}, Case{"abcdefghi", true}, Case{"abcdefg", false}}) {
        SCOPED_TRACE(c.subject ? c.subject : "unchanged");
        CMimeMessage msg;
        LoadFile(dir, msg, file, false);
        if (c.subject) {
            ASSERT_TRUE(msg.SetHeader(MAILHDR_FLD_SUBJECT, c.subject));
        }
        MimeLog log;
        EXPECT_EQ(c.saved, msg.SaveHeaderChangedMsg(dir.Path("m.eml").c_str()));
        const std::string subject = c.subject ? c.subject : "abcdefgh";
        EXPECT_EQ(c.saved ? "Subject: " + subject + "\r\nX-A: 1\r\n\r\nbody\r\n" : file,
                  ReadFile(dir.Path("m.eml")));
        EXPECT_EQ(!c.saved, log.Has("conflict in header len (25/24)"));
        EXPECT_EQ(std::vector<std::string>{"m.eml"}, dir.Files());
        if (!c.subject) {
            EXPECT_EQ(file, ReadFile(dir.Path("m.eml")));  // rewritten byte for byte
        }
    }
}

// The old header block ends only at a line that is just LF or CR LF: lines
// of 1022 or 2044 characters (the old reader's piece size), a line "\r\r\n"
// or a CR inside a line end nothing, and no old header line reaches the
// body of the rewritten mail.
TEST(MimeHeaderSave, OldBlockEndsOnlyAtARealEmptyLine) {
    const std::string pad1022 = "X-Long: " + std::string(1022 - 8, 'v');
    const std::string pad2044 = "X-Long: " + std::string(2044 - 8, 'w');
    const std::string lines[] = {pad1022, pad2044, pad1022 + "\r", "X-CR: a\rb", "\r"};
    for (const std::string& line : lines) {
        SCOPED_TRACE(line.size());
        TempDir dir;
        CMimeMessage msg;
        LoadFile(dir, msg, "From: a@b\r\n" + line + "\r\nSubject: s\r\n\r\nbody\r\n", false);
        ASSERT_TRUE(msg.SetHeader(MAILHDR_FLD_SUBJECT, "[marked] s"));
        ASSERT_TRUE(msg.SaveHeaderChangedMsg(dir.Path("m.eml").c_str()));
        EXPECT_EQ("From: a@b\r\n" + line + "\r\nSubject: [marked] s\r\n\r\nbody\r\n",
                  ReadFile(dir.Path("m.eml")));
    }
}

TEST(MimeHeaderSave, RefusalsLeaveTheMailAlone) {
    TempDir dir;
    const std::string file = "Subject: a\r\nX-A: 1\r\n";
    CMimeMessage msg;
    LoadFile(dir, msg, file, false);
    MimeLog log;
    CMimeMessage empty;
    EXPECT_FALSE(empty.SaveHeaderChangedMsg(dir.Path("m.eml").c_str()));
    EXPECT_TRUE(log.Has("SaveHeaderChangedMsg: no hdr or no mod_header_len!!!"));
    ASSERT_TRUE(msg.SetHeader(MAILHDR_FLD_AVSTAMP, "a long engine stamp value"));
    EXPECT_FALSE(msg.SaveHeaderChangedMsg(nullptr));
    EXPECT_TRUE(log.Has("SaveHeaderChangedMsg: wrong parameter: strPath="));
    EXPECT_FALSE(msg.SaveHeaderChangedMsg(dir.Path("missing.eml").c_str()));
    EXPECT_TRUE(log.Has("SaveHeaderChangedMsg: error in open " + dir.Path("missing.eml")));
    EXPECT_EQ(file, ReadFile(dir.Path("m.eml")));
    EXPECT_EQ(std::vector<std::string>{"m.eml"}, dir.Files());
}

TEST(MimeHeaderSave, AMailOfHeaderFieldsAloneKeepsThemAndGetsTheNewField) {
    TempDir dir;
    for (const std::string file : {"Subject: a\r\nX-A: 1\r\n", "Subject: a\r\nX-A: 1"}) {
        SCOPED_TRACE(file);
        CMimeMessage msg;
        LoadFile(dir, msg, file, false);
        ASSERT_TRUE(msg.SetHeader(MAILHDR_FLD_AVSTAMP, "a long engine stamp value"));
        ASSERT_TRUE(msg.SaveHeaderChangedMsg(dir.Path("m.eml").c_str()));
        const std::string saved = ReadFile(dir.Path("m.eml"));
        EXPECT_EQ(0u, saved.find("Subject: a\r\nX-A: 1")) << saved;
        EXPECT_NE(std::string::npos, saved.find("a long engine stamp value\r\n")) << saved;
        EXPECT_EQ(std::vector<std::string>{"m.eml"}, dir.Files());
    }
}

// ---- flush, mode and fault injection ----

// For both saves: the save that succeeds flushes once and replaces the mail
// in one step; told not to flush, it writes the same bytes unflushed. A disk
// that fills up at the first byte, halfway or at the last byte, and a flush
// that fails, leave the old mail byte for byte and no temporary file; after a
// failed replace the new text stays as the named temporary.
TEST(MimeSaveFaults, DiskFullFailedFlushOrReplaceLeavesTheOldMail) {
    const std::string original = MULTI + BigBody();
    for (const bool bHeader : {false, true}) {
        SCOPED_TRACE(bHeader ? "SaveHeaderChangedMsg" : "SaveMsg");
        TempDir dir;
        auto load = [&](CMimeMessage& msg, const std::string& file) {
            WriteFile(dir.Path(file), original);
            ASSERT_EQ(0, msg.LoadMsg(dir.Path(file).c_str(), !bHeader));
            ASSERT_TRUE(msg.SetHeader(MAILHDR_FLD_AVSTAMP, "engine 1.0"));
        };
        auto save = [&](CMimeMessage& msg, const std::string& file, Faults& faults) {
            const std::string path = dir.Path(file);
            return faults.Run([&] {
                return bHeader ? msg.SaveHeaderChangedMsg(path.c_str()) : msg.SaveMsg(path.c_str());
            });
        };
        std::string written;
        for (const bool bFlush : {true, false}) {
            CMimeMessage probe;
            load(probe, "probe.eml");
            probe.m_bFlushOnSave = bFlush;
            Faults counted;
            ASSERT_TRUE(save(probe, "probe.eml", counted));
            EXPECT_EQ(bFlush ? 1 : 0, counted.nSyncCalls);
            EXPECT_EQ(1, counted.nReplaceCalls);
            EXPECT_EQ(std::vector<std::string>{"probe.eml"}, dir.Files());
            const std::string text = ReadFile(dir.Path("probe.eml"));
            ASSERT_EQ(text.size(), counted.nWritten);
            EXPECT_NE(std::string::npos, text.find("engine 1.0\r\n"));
            EXPECT_TRUE(written.empty() || written == text);
            written = text;
        }
        std::filesystem::remove(dir.Path("probe.eml"));

        CMimeMessage msg;
        load(msg, "m.eml");
        // Temporary files are "m.eml.<random>.tmp".
        const std::string tmp = dir.Path("m.eml.");
        std::vector<Faults> cases(4);
        cases[0].nAllowed = 0;
        cases[1].nAllowed = written.size() / 2;
        cases[2].nAllowed = written.size() - 1;
        cases[3].bFailSync = true;
        for (Faults& faults : cases) {
            SCOPED_TRACE(faults.bFailSync ? "failed flush"
                                          : "write fails after " + std::to_string(faults.nAllowed));
            MimeLog log;
            EXPECT_FALSE(save(msg, "m.eml", faults));
            EXPECT_EQ(0, faults.nReplaceCalls);
            EXPECT_EQ(faults.bFailSync ? 1 : 0, faults.nSyncCalls);
            EXPECT_EQ(original, ReadFile(dir.Path("m.eml")));
            EXPECT_EQ(std::vector<std::string>{"m.eml"}, dir.Files());
            if (bHeader && !faults.bFailSync) {
                EXPECT_TRUE(log.Has("SaveHeaderChangedMsg: error in write file " + tmp));
            }
        }
        Faults faults;
        faults.bFailReplace = true;
        MimeLog log;
        EXPECT_FALSE(save(msg, "m.eml", faults));
        EXPECT_EQ(original, ReadFile(dir.Path("m.eml")));
        std::vector<std::string> files = dir.Files();
        std::sort(files.begin(), files.end());
        ASSERT_EQ(2u, files.size());
        EXPECT_EQ(written, ReadFile(dir.Path(files[1])));
        EXPECT_TRUE(log.Has(dir.Path(files[1])));
        if (bHeader) {
            EXPECT_TRUE(log.Has("SaveHeaderChangedMsg: Error in CopyFile:"));
        }
    }
}

// The temporary file is made owner-only; the mail it becomes must keep the
// rights the host gave the old mail, and a new mail gets a new file's.
TEST(MimeSaveAccess, RewrittenMailKeepsItsModeAndANewOneGetsANewFilesMode) {
    TempDir dir;
    auto modeOf = [](const std::string& p) {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 0777 : 01000u;
    };
    const std::string path = dir.Path("m.eml");
    using Save = bool (CMimeMessage::*)(const char*);
    for (Save save : {&CMimeMessage::SaveMsg, &CMimeMessage::SaveHeaderChangedMsg}) {
        CMimeMessage msg;
        LoadFile(dir, msg, MULTI, save == &CMimeMessage::SaveMsg);
        ASSERT_TRUE(msg.SetHeader(MAILHDR_FLD_AVSTAMP, "engine 1.0"));
        ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
        ASSERT_TRUE((msg.*save)(path.c_str()));
        EXPECT_EQ(modeOf(path), 0640u);
    }
    CMimeMessage msg;
    LoadFile(dir, msg, MULTI);
    const mode_t saved = ::umask(022);
    ASSERT_TRUE(msg.SaveMsg(dir.Path("new.eml").c_str()));
    ::umask(saved);
    EXPECT_EQ(modeOf(dir.Path("new.eml")), 0644u);
}
