/*
 * test_export_frame.cpp - a test host that loads the product library at run
 * time (dlopen / LoadLibrary), as a mail server does, and checks the exported
 * frame: the failure values of every export while no service object exists,
 * the init/exit life cycle, and header decoding without a service.
 */
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "mailward.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

#if defined(_WIN32)
const char* kLibraryName = "mailward.dll";
#else
const char* kLibraryName = MAILWARD_BINARY_DIR "/libmailward.so";
#endif

// The exports, resolved by their plain names.
struct Api {
    void* handle = nullptr;
    decltype(&MAILWARD_init) init = nullptr;
    decltype(&MAILWARD_exit) exit = nullptr;
    decltype(&MAILWARD_add_rule) add_rule = nullptr;
    decltype(&MAILWARD_clear_rules) clear_rules = nullptr;
    decltype(&MAILWARD_check_header) check_header = nullptr;
    decltype(&MAILWARD_check_mail) check_mail = nullptr;
    decltype(&MAILWARD_set_default_action) set_default_action = nullptr;
    decltype(&MAILWARD_activate_av) activate_av = nullptr;
    decltype(&MAILWARD_install_update_av) install_update_av = nullptr;
    decltype(&MAILWARD_set_av_stamp) set_av_stamp = nullptr;
    decltype(&MAILWARD_DecodeHeaderData) decode = nullptr;
    decltype(&MAILWARD_FreeData) free_data = nullptr;
    decltype(&mailhdr_alloc) hdr_alloc = nullptr;
    decltype(&mailhdr_free) hdr_free = nullptr;
    decltype(&mailhdr_parseline) hdr_parseline = nullptr;
};

void* Sym(void* handle, const char* name) {
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
#else
    return dlsym(handle, name);
#endif
}

template <class F>
void Bind(void* handle, F& slot, const char* name) {
    slot = reinterpret_cast<F>(Sym(handle, name));
    ASSERT_NE(slot, nullptr) << "missing export " << name;
}

class ExportFrame : public ::testing::Test {
  protected:
    static Api api;

    static void SetUpTestSuite() {
#if defined(_WIN32)
        api.handle = LoadLibraryA(kLibraryName);
#else
        api.handle = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
#endif
    }
    static void TearDownTestSuite() {
        if (api.handle == nullptr)
            return;
        if (api.exit)
            api.exit();
#if defined(_WIN32)
        FreeLibrary(static_cast<HMODULE>(api.handle));
#else
        dlclose(api.handle);
#endif
        api = Api{};
    }

    void SetUp() override {
        ASSERT_NE(api.handle, nullptr) << "cannot load " << kLibraryName;
        void* h = api.handle;
        Bind(h, api.init, "MAILWARD_init");
        Bind(h, api.exit, "MAILWARD_exit");
        Bind(h, api.add_rule, "MAILWARD_add_rule");
        Bind(h, api.clear_rules, "MAILWARD_clear_rules");
        Bind(h, api.check_header, "MAILWARD_check_header");
        Bind(h, api.check_mail, "MAILWARD_check_mail");
        Bind(h, api.set_default_action, "MAILWARD_set_default_action");
        Bind(h, api.activate_av, "MAILWARD_activate_av");
        Bind(h, api.install_update_av, "MAILWARD_install_update_av");
        Bind(h, api.set_av_stamp, "MAILWARD_set_av_stamp");
        Bind(h, api.decode, "MAILWARD_DecodeHeaderData");
        Bind(h, api.free_data, "MAILWARD_FreeData");
        Bind(h, api.hdr_alloc, "mailhdr_alloc");
        Bind(h, api.hdr_free, "mailhdr_free");
        Bind(h, api.hdr_parseline, "mailhdr_parseline");
    }

    static void MAILWARD_CALL NeverCalled(const CheckReport*, uintptr_t user) {
        ++*reinterpret_cast<int*>(user);
    }

    // Every export that needs a service object answers with its failure value.
    void ExpectFailureValues() {
        int calls = 0;
        EXPECT_EQ(api.add_rule("s", "n", "Subject: x", 1, 9, nullptr, 0), -1);
        EXPECT_EQ(api.check_mail("s", nullptr, "/nonexistent/mail.eml", nullptr, JOB_AV_CHECK,
                                 nullptr, 0, &NeverCalled, reinterpret_cast<uintptr_t>(&calls)),
                  -1);
        mailhdr* hdr = api.hdr_alloc();
        ASSERT_NE(hdr, nullptr);
        ASSERT_EQ(api.hdr_parseline(hdr, "Subject: hello"), 0);
        EXPECT_EQ(api.check_header("s", hdr), nullptr);
        EXPECT_EQ(api.set_av_stamp(hdr), -1);
        api.hdr_free(hdr);
        EXPECT_EQ(api.activate_av(9, nullptr), -1);
        EXPECT_EQ(api.install_update_av(0), -1);
        api.clear_rules();               // does nothing, must not crash
        api.set_default_action("s", 9);  // does nothing, must not crash
        EXPECT_EQ(calls, 0);
    }
};

Api ExportFrame::api;

TEST_F(ExportFrame, FailureValuesBeforeInitAndAfterExit) {
    api.exit();  // exit without init does nothing
    ExpectFailureValues();
    ASSERT_EQ(api.init(), 0);
    api.exit();
    ExpectFailureValues();
    api.exit();
    ExpectFailureValues();
}

TEST_F(ExportFrame, InitTwiceReplacesTheService) {
    EXPECT_EQ(api.init(), 0);
    EXPECT_EQ(api.init(), 0);
    EXPECT_EQ(api.install_update_av(0), 0);
    api.exit();
    EXPECT_EQ(api.install_update_av(0), -1);
}

TEST_F(ExportFrame, CheckMailRefusesMissingArguments) {
    ASSERT_EQ(api.init(), 0);
    int calls = 0;
    auto user = reinterpret_cast<uintptr_t>(&calls);
    EXPECT_EQ(api.check_mail(nullptr, nullptr, "a.eml", nullptr, 0, nullptr, 0, &NeverCalled, user),
              -1);
    EXPECT_EQ(api.check_mail("s", nullptr, nullptr, nullptr, 0, nullptr, 0, &NeverCalled, user),
              -1);
    EXPECT_EQ(api.check_mail("s", nullptr, "a.eml", nullptr, 0, nullptr, 0, nullptr, user), -1);
    api.exit();
    EXPECT_EQ(calls, 0);
}

TEST_F(ExportFrame, DecodeHeaderDataNeedsNoService) {
    EXPECT_EQ(api.decode(nullptr), nullptr);
    // A Q word, plain text, a B word: each word decoded byte for byte.
    char* text = api.decode("=?iso-8859-1?q?Caf=E9?= and =?utf-8?b?w6k=?= ok");
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "Caf\xE9 and \xC3\xA9 ok");
    api.free_data(text);
    // A second word that is never closed: the value comes back whole.
    const char* unclosed = "=?iso-8859-1?q?Caf=E9?= then =?utf-8?b?w6k=";
    text = api.decode(unclosed);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, unclosed);
    api.free_data(text);
}

}  // namespace
