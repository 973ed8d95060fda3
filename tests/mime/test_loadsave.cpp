// test_loadsave.cpp - load and save of mail files: LoadMsg results and line
// ends, SaveMsg through a temporary file, SaveHeaderChangedMsg with its
// header-length test, and fault injection (a disk that fills up halfway, a
// replace step that fails) proving that the old mail stays byte for byte.
#include "mime_test_util.h"

#include <random>

#include "platform.h"

using namespace mime_test;

namespace {

// Fault injection: writes fail once `nAllowed` bytes have gone out (a disk
// that fills up), and the final replace fails when `bFailReplace` is set.
struct Faults {
    std::size_t nAllowed = static_cast<std::size_t>(-1);
    std::size_t nWritten = 0;
    bool bFailReplace = false;
    int nReplaceCalls = 0;

    static bool Write(std::size_t n, void* user) {
        auto* f = static_cast<Faults*>(user);
        if (f->nWritten + n > f->nAllowed) {
            return false;
        }
        f->nWritten += n;
        return true;
    }
    static bool Replace(const char*, const char*, void* user) {
        auto* f = static_cast<Faults*>(user);
        ++f->nReplaceCalls;
        return !f->bFailReplace;
    }
};

// Runs `fn` with the faults installed as the mime layer's file hooks.
template <typename Fn>
bool WithFaults(Faults& f, Fn fn) {
    MimeFileHooks hooks = {&Faults::Write, &Faults::Replace, &f};
    MimeSetFileHooks(&hooks);
    bool bOk = fn();
    MimeSetFileHooks(nullptr);
    return bOk;
}

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

bool Exists(const std::string& path) {
    return pf::file_exists(path.c_str());
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
    WriteFile(dir.Path("noend.eml"), "Subject: a\r\nFrom: b@c\r\n");
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

TEST(MimeSave, WritesCRLFAndLoadsBackTheSameTree) {
    TempDir dir;
    WriteFile(dir.Path("in.eml"), MULTI);
    CMimeMessage msg;
    ASSERT_EQ(0, msg.LoadMsg(dir.Path("in.eml").c_str(), true));
    EXPECT_STREQ(dir.Path("in.eml").c_str(), msg.m_pszFileName);
    ASSERT_TRUE(msg.SaveMsg(dir.Path("out.eml").c_str()));
    std::string written = ReadFile(dir.Path("out.eml"));
    EXPECT_EQ(CRLF(Written(msg)), written);
    EXPECT_EQ(std::string::npos, written.find("\n\n"));  // every LF has its CR
    CMimeMessage again;
    ASSERT_EQ(0, again.LoadMsg(dir.Path("out.eml").c_str(), true));
    ASSERT_EQ(2, again.GetPartCount());
    EXPECT_EQ("hello", Data(*again.GetPart(0)));
    EXPECT_EQ(Decoded(*msg.GetPart(1)), Decoded(*again.GetPart(1)));
    EXPECT_FALSE(Exists(dir.Path("out.eml.tmp")));
}

TEST(MimeSave, OverwritesAnExistingMailInOneStep) {
    TempDir dir;
    CMimeMessage msg;
    LoadFile(dir, msg, MULTI);
    ASSERT_NE(nullptr, msg.ReplacePart(1, "removed.txt", "The attachment was removed."));
    Faults faults;
    ASSERT_TRUE(WithFaults(faults, [&] { return msg.SaveMsg(dir.Path("m.eml").c_str()); }));
    EXPECT_EQ(1, faults.nReplaceCalls);
    std::string text = ReadFile(dir.Path("m.eml"));
    EXPECT_NE(std::string::npos, text.find("removed.txt"));
    EXPECT_EQ(std::string::npos, text.find("AAECAwQF"));
    EXPECT_EQ(std::vector<std::string>{"m.eml"}, dir.Files());
}

TEST(MimeSave, PathTooLongForItsTemporaryFileIsRefused) {
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, "Subject: s\n\nb"));
    std::string path(PF_MAX_PATH - 3, 'x');
    EXPECT_FALSE(msg.SaveMsg(path.c_str()));
    EXPECT_FALSE(msg.SaveMsg(nullptr));
}

#ifndef _WIN32
TEST(MimeSave, ALinkPlantedAtTheTemporaryNameIsNotFollowed) {
    TempDir dir;
    WriteFile(dir.Path("victim"), "precious");
    std::filesystem::create_symlink(dir.Path("victim"), dir.Path("m.eml.tmp"));
    CMimeMessage msg;
    ASSERT_EQ(0, Load(msg, "Subject: s\n\nb"));
    ASSERT_TRUE(msg.SaveMsg(dir.Path("m.eml").c_str()));
    EXPECT_EQ("precious", ReadFile(dir.Path("victim")));
    EXPECT_EQ("Subject: s\r\n\r\nb\r\n\r\n", ReadFile(dir.Path("m.eml")));
}
#endif

// ---- SaveHeaderChangedMsg ----

TEST(MimeHeaderSave, LongerDumpRewritesHeaderAndKeepsBodyBytes) {
    TempDir dir;
    const std::string body = "body line\r\n\r\n--b--\r\nbinary\x01\xff\r\n";
    CMimeMessage msg;
    LoadFile(dir, msg, "Subject: abcdefgh\r\nX-A: 1\r\n\r\n" + body, false);
    ASSERT_TRUE(msg.SetHeader(MAILHDR_FLD_AVSTAMP, "engine 1.0"));
    ASSERT_TRUE(msg.SaveHeaderChangedMsg(dir.Path("m.eml").c_str()));
    EXPECT_EQ(CRLF(msg.GetHeaderDump()) + "\r\n" + body, ReadFile(dir.Path("m.eml")));
    EXPECT_EQ(std::vector<std::string>{"m.eml"}, dir.Files());
}

TEST(MimeHeaderSave, DumpAsLongAsTheOldBlockPassesOneShorterFails) {
    TempDir dir;
    const std::string file = "Subject: abcdefgh\r\n\r\nbody\r\n";  // old block: 19 characters
    CMimeMessage msg;
    LoadFile(dir, msg, file, false);
    // Unchanged, the dump has LF line ends: 18 characters.
    MimeLog log;
    EXPECT_FALSE(msg.SaveHeaderChangedMsg(dir.Path("m.eml").c_str()));
    EXPECT_TRUE(log.Has("conflict in header len (19/18)"));
    EXPECT_EQ(file, ReadFile(dir.Path("m.eml")));
    EXPECT_EQ(std::vector<std::string>{"m.eml"}, dir.Files());
    // One character more and the dump is as long as the old block.
    ASSERT_TRUE(msg.SetHeader(MAILHDR_FLD_SUBJECT, "abcdefghi"));
    ASSERT_TRUE(msg.SaveHeaderChangedMsg(dir.Path("m.eml").c_str()));
    EXPECT_EQ("Subject: abcdefghi\r\n\r\nbody\r\n", ReadFile(dir.Path("m.eml")));
}

TEST(MimeHeaderSave, LineOf1022CharactersEndsTheOldBlockEarly) {
    TempDir dir;
    const std::string longLine = "X-Long: " + std::string(1022 - 8, 'v');
    ASSERT_EQ(1022u, longLine.size());
    CMimeMessage msg;
    LoadFile(dir, msg, longLine + "\r\nSubject: s\r\n\r\nbody\r\n", false);
    ASSERT_TRUE(msg.SaveHeaderChangedMsg(dir.Path("m.eml").c_str()));
    // The old Subject line is copied behind the new header as if it were body.
    EXPECT_EQ(CRLF(msg.GetHeaderDump()) + "\r\nSubject: s\r\n\r\nbody\r\n",
              ReadFile(dir.Path("m.eml")));
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
    // A file without the empty line.
    EXPECT_FALSE(msg.SaveHeaderChangedMsg(dir.Path("m.eml").c_str()));
    EXPECT_TRUE(log.Has("SaveHeaderChangedMsg: error in reading file " + dir.Path("m.eml")));
    EXPECT_EQ(file, ReadFile(dir.Path("m.eml")));
    EXPECT_EQ(std::vector<std::string>{"m.eml"}, dir.Files());
}

// ---- fault injection ----

// For both saves: a disk that fills up at the first byte, halfway or at the
// last byte, and a replace step that fails, leave the old mail byte for
// byte; after the failed replace the new text stays as the named temporary.
TEST(MimeSaveFaults, DiskFullOrFailedReplaceLeavesTheOldMail) {
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
            return WithFaults(faults, [&] {
                return bHeader ? msg.SaveHeaderChangedMsg(path.c_str()) : msg.SaveMsg(path.c_str());
            });
        };
        // What the save writes when nothing fails.
        CMimeMessage probe;
        load(probe, "probe.eml");
        Faults counted;
        ASSERT_TRUE(save(probe, "probe.eml", counted));
        const std::string written = ReadFile(dir.Path("probe.eml"));
        ASSERT_EQ(written.size(), counted.nWritten);
        std::filesystem::remove(dir.Path("probe.eml"));

        CMimeMessage msg;
        load(msg, "m.eml");
        const std::string tmp = dir.Path("m.eml.tmp");
        for (std::size_t nAllowed : {std::size_t(0), written.size() / 2, written.size() - 1}) {
            Faults faults;
            faults.nAllowed = nAllowed;
            MimeLog log;
            EXPECT_FALSE(save(msg, "m.eml", faults)) << nAllowed;
            EXPECT_EQ(0, faults.nReplaceCalls) << nAllowed;
            EXPECT_EQ(original, ReadFile(dir.Path("m.eml"))) << nAllowed;
            EXPECT_EQ(std::vector<std::string>{"m.eml"}, dir.Files()) << nAllowed;
            if (bHeader) {
                EXPECT_TRUE(log.Has("SaveHeaderChangedMsg: error in write file " + tmp));
            }
        }
        Faults faults;
        faults.bFailReplace = true;
        MimeLog log;
        EXPECT_FALSE(save(msg, "m.eml", faults));
        EXPECT_EQ(original, ReadFile(dir.Path("m.eml")));
        EXPECT_EQ(written, ReadFile(tmp));
        EXPECT_TRUE(log.Has(tmp));
        if (bHeader) {
            EXPECT_TRUE(log.Has("SaveHeaderChangedMsg: Error in CopyFile:"));
        }
    }
}
