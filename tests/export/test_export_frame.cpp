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
#include "mailward_exports.h"

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

// Every export of the public header (the generated list), resolved by its
// plain name into the member of that name.
struct Api {
    void* handle = nullptr;
#define MAILWARD_API_SLOT(name) decltype(&::name) name = nullptr;
    MAILWARD_EXPORTS(MAILWARD_API_SLOT)
#undef MAILWARD_API_SLOT
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
        if (api.MAILWARD_exit)
            api.MAILWARD_exit();
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
#define MAILWARD_BIND_SLOT(name) Bind(h, api.name, #name);
        MAILWARD_EXPORTS(MAILWARD_BIND_SLOT)
#undef MAILWARD_BIND_SLOT
    }

    static void MAILWARD_CALL NeverCalled(const CheckReport*, uintptr_t user) {
        ++*reinterpret_cast<int*>(user);
    }

    // Every export that needs a service object answers with its failure value.
    void ExpectFailureValues() {
        int calls = 0;
        EXPECT_EQ(api.MAILWARD_add_rule("s", "n", "Subject: x", 1, 9, nullptr, 0), -1);
        EXPECT_EQ(
            api.MAILWARD_check_mail("s", nullptr, "/nonexistent/mail.eml", nullptr, JOB_AV_CHECK,
                                    nullptr, 0, &NeverCalled, reinterpret_cast<uintptr_t>(&calls)),
            -1);
        mailhdr* hdr = api.mailhdr_alloc();
        ASSERT_NE(hdr, nullptr);
        ASSERT_EQ(api.mailhdr_parseline(hdr, "Subject: hello"), 0);
        EXPECT_EQ(api.MAILWARD_check_header("s", hdr), nullptr);
        EXPECT_EQ(api.MAILWARD_set_av_stamp(hdr), -1);
        api.mailhdr_free(hdr);
        EXPECT_EQ(api.MAILWARD_activate_av(9, nullptr), -1);
        EXPECT_EQ(api.MAILWARD_install_update_av(0), -1);
        api.MAILWARD_clear_rules();               // does nothing, must not crash
        api.MAILWARD_set_default_action("s", 9);  // does nothing, must not crash
        EXPECT_EQ(calls, 0);
    }
};

Api ExportFrame::api;

TEST_F(ExportFrame, FailureValuesBeforeInitAndAfterExit) {
    api.MAILWARD_exit();  // exit without init does nothing
    ExpectFailureValues();
    ASSERT_EQ(api.MAILWARD_init(), 0);
    api.MAILWARD_exit();
    ExpectFailureValues();
    api.MAILWARD_exit();
    ExpectFailureValues();
}

TEST_F(ExportFrame, InitTwiceReplacesTheService) {
    EXPECT_EQ(api.MAILWARD_init(), 0);
    EXPECT_EQ(api.MAILWARD_init(), 0);
    EXPECT_EQ(api.MAILWARD_install_update_av(0), 0);
    api.MAILWARD_exit();
    EXPECT_EQ(api.MAILWARD_install_update_av(0), -1);
}

TEST_F(ExportFrame, CheckMailRefusesMissingArguments) {
    ASSERT_EQ(api.MAILWARD_init(), 0);
    int calls = 0;
    auto user = reinterpret_cast<uintptr_t>(&calls);
    EXPECT_EQ(api.MAILWARD_check_mail(nullptr, nullptr, "a.eml", nullptr, 0, nullptr, 0,
                                      &NeverCalled, user),
              -1);
    EXPECT_EQ(
        api.MAILWARD_check_mail("s", nullptr, nullptr, nullptr, 0, nullptr, 0, &NeverCalled, user),
        -1);
    EXPECT_EQ(api.MAILWARD_check_mail("s", nullptr, "a.eml", nullptr, 0, nullptr, 0, nullptr, user),
              -1);
    api.MAILWARD_exit();
    EXPECT_EQ(calls, 0);
}

TEST_F(ExportFrame, DecodeHeaderDataNeedsNoService) {
    EXPECT_EQ(api.MAILWARD_DecodeHeaderData(nullptr), nullptr);
    // A Q word, plain text, a B word: each word decoded byte for byte.
    char* text = api.MAILWARD_DecodeHeaderData("=?iso-8859-1?q?Caf=E9?= and =?utf-8?b?w6k=?= ok");
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "Caf\xE9 and \xC3\xA9 ok");
    api.MAILWARD_FreeData(text);
    // A second word that is never closed: the value comes back whole.
    const char* unclosed = "=?iso-8859-1?q?Caf=E9?= then =?utf-8?b?w6k=";
    text = api.MAILWARD_DecodeHeaderData(unclosed);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, unclosed);
    api.MAILWARD_FreeData(text);
}

}  // namespace
