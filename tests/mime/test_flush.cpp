// test_flush.cpp - what a rewritten mail file gets besides its text: both
// saves flush the new file once before it replaces the mail, a flush that
// fails leaves the old mail as it was, a message told not to flush writes the
// same bytes without flushing, and the new file keeps the old one's mode.
#include "mime_test_util.h"

#include "mime/mimeoutput.h"

#include <sys/stat.h>

using namespace mime_test;

namespace {

struct SyncProbe {
    int nCalls = 0;
    bool bFail = false;
    static bool Sync(void* user) {
        auto* p = static_cast<SyncProbe*>(user);
        ++p->nCalls;
        return !p->bFail;
    }
};

// Runs `fn` with the probe installed as the mime layer's flush hook.
template <typename Fn>
bool WithProbe(SyncProbe& probe, Fn fn) {
    MimeFileHooks hooks{};
    hooks.beforeSync = &SyncProbe::Sync;
    hooks.pUser = &probe;
    MimeSetFileHooks(&hooks);
    const bool bOk = fn();
    MimeSetFileHooks(nullptr);
    return bOk;
}

const std::string MAIL =
    "From: a@example.com\r\nSubject: test\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n"
    "\r\n--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n--b--\r\n";

// Loads MAIL from `path` and marks its subject, so that both saves have a
// header to write.
void LoadAndMark(CMimeMessage& msg, const std::string& path) {
    WriteFile(path, MAIL);
    ASSERT_EQ(CMimeMessage::LOAD_OK, msg.LoadMsg(path.c_str(), true));
    ASSERT_EQ(0, mailhdr_marksubject(msg.m_pHeader, "[X]"));
}

}  // namespace

TEST(MimeFlush, EachSaveFlushesOnceOrFailsLeavingTheMail) {
    TempDir dir;
    const std::string path = dir.Path("m.eml");
    using Save = bool (CMimeMessage::*)(const char*);
    for (Save save : {&CMimeMessage::SaveMsg, &CMimeMessage::SaveHeaderChangedMsg}) {
        SCOPED_TRACE(save == &CMimeMessage::SaveMsg ? "SaveMsg" : "SaveHeaderChangedMsg");
        CMimeMessage msg;
        LoadAndMark(msg, path);

        SyncProbe failing{0, true};
        EXPECT_FALSE(WithProbe(failing, [&] { return (msg.*save)(path.c_str()); }));
        EXPECT_EQ(1, failing.nCalls);
        EXPECT_EQ(MAIL, ReadFile(path));
        EXPECT_EQ(std::vector<std::string>{"m.eml"}, dir.Files());

        SyncProbe probe;
        EXPECT_TRUE(WithProbe(probe, [&] { return (msg.*save)(path.c_str()); }));
        EXPECT_EQ(1, probe.nCalls);
        EXPECT_NE(std::string::npos, ReadFile(path).find("Subject: [X] test\r\n"));
    }
}

TEST(MimeFlush, WithoutFlushTheSameBytesAreWritten) {
    TempDir dir;
    using Save = bool (CMimeMessage::*)(const char*);
    for (Save save : {&CMimeMessage::SaveMsg, &CMimeMessage::SaveHeaderChangedMsg}) {
        std::string written[2];
        for (bool bFlush : {true, false}) {
            const std::string path = dir.Path(bFlush ? "flushed.eml" : "unflushed.eml");
            CMimeMessage msg;
            LoadAndMark(msg, path);
            msg.m_bFlushOnSave = bFlush;
            SyncProbe probe;
            ASSERT_TRUE(WithProbe(probe, [&] { return (msg.*save)(path.c_str()); }));
            EXPECT_EQ(bFlush ? 1 : 0, probe.nCalls);
            written[bFlush ? 0 : 1] = ReadFile(path);
        }
        EXPECT_EQ(written[0], written[1]);
        EXPECT_NE(MAIL, written[0]);
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
        LoadAndMark(msg, path);
        ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
        ASSERT_TRUE((msg.*save)(path.c_str()));
        EXPECT_EQ(modeOf(path), 0640u);
    }
    CMimeMessage msg;
    LoadAndMark(msg, path);
    const mode_t saved = ::umask(022);
    ASSERT_TRUE(msg.SaveMsg(dir.Path("new.eml").c_str()));
    ::umask(saved);
    EXPECT_EQ(modeOf(dir.Path("new.eml")), 0644u);
}
