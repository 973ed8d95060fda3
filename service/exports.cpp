/*
 * exports.cpp - the exported C interface of mailward.
 *
 * Every export is a plain C function; none lets an exception reach the host.
 * The service object is a process-wide singleton, empty while the library is
 * loaded but not initialised; MAILWARD_init and MAILWARD_exit are its only
 * writers (the host calls them before the first and after the last other
 * export). While no service object exists, every export that needs one
 * answers with its failure value (-1, null, or nothing) and logs nothing.
 * MAILWARD_DecodeHeaderData and MAILWARD_FreeData need no service object.
 *
 * MAILWARD_exit called on the worker thread, from inside the job callback or
 * the spam-list look-up, empties the singleton and returns at once; the
 * worker finishes its job (no further callback) and destroys the service
 * object on its own thread. A later MAILWARD_init on another thread waits
 * for that end first (the old service's end releases the process's engine).
 */
#include <atomic>
#include <cstdlib>
#include <new>

#include "mime/mimepart.h"
#include "mailward.h"
#include "qorcsock/qorcsock.h"
#include "service/mailward_service.h"

namespace {

std::atomic<CMailWard*> g_pMailWard{nullptr};

CMailWard* Service() {
    return g_pMailWard.load(std::memory_order_acquire);
}

void DestroyService() {
    CMailWard* old = g_pMailWard.exchange(nullptr, std::memory_order_acq_rel);
    if (old != nullptr && old->OnOwnThread()) {
        // Called from a host function the worker runs (the job callback or
        // the spam-list look-up): the worker cannot wait for itself. It ends
        // the job without further callbacks and then destroys the object.
        old->ReleaseWhenIdle();
        return;
    }
    try {
        delete old;
    } catch (...) {
    }
}

}  // namespace

extern "C" {

MAILWARD_API int MAILWARD_CALL MAILWARD_init(void) {
    DestroyService();
    // A service let go of from inside its own job may still be ending on
    // its worker; its end releases the process's engine, so it must come
    // before the new service starts (except on that worker itself).
    CWorkerThread::WaitForReleases();
    try {
        auto* service = new CMailWard();
        g_pMailWard.store(service, std::memory_order_release);
        return 0;
    } catch (...) {
        return -1;
    }
}

MAILWARD_API void MAILWARD_CALL MAILWARD_exit(void) {
    DestroyService();
}

MAILWARD_API int MAILWARD_CALL MAILWARD_add_rule(const char* set, const char* name,
                                                 const char* text, uint32_t value, int action,
                                                 const char* dir, int prepend) {
    CMailWard* service = Service();
    if (service == nullptr)
        return -1;
    try {
        return service->Rules().AddRule(set, name, text, value, action, dir, prepend);
    } catch (...) {
        return -1;
    }
}

MAILWARD_API void MAILWARD_CALL MAILWARD_clear_rules(void) {
    CMailWard* service = Service();
    if (service == nullptr)
        return;
    try {
        service->Rules().ClearRules();
    } catch (...) {
    }
}

MAILWARD_API const Rule* MAILWARD_CALL MAILWARD_check_header(const char* set, mailhdr* header) {
    CMailWard* service = Service();
    if (service == nullptr || header == nullptr)
        return nullptr;
    try {
        return service->Rules().CheckHeader(set, header);
    } catch (...) {
        return nullptr;
    }
}

MAILWARD_API int MAILWARD_CALL MAILWARD_check_mail(const char* ruleSet, const char* headerRuleSet,
                                                   const char* source, const char* target,
                                                   int flags, SpamListCheck listCheck,
                                                   uintptr_t listUser, MailJobCallback callback,
                                                   uintptr_t user) {
    CMailWard* service = Service();
    if (service == nullptr)
        return -1;
    try {
        return service->CheckMail(ruleSet, headerRuleSet, source, target, flags, listCheck,
                                  listUser, callback, user);
    } catch (...) {
        return -1;
    }
}

MAILWARD_API void MAILWARD_CALL MAILWARD_set_default_action(const char* set, int action) {
    CMailWard* service = Service();
    if (service == nullptr)
        return;
    try {
        service->Rules().SetDefaultAction(set, action);
    } catch (...) {
    }
}

MAILWARD_API int MAILWARD_CALL MAILWARD_activate_av(int mode, const char* text) {
    CMailWard* service = Service();
    if (service == nullptr)
        return -1;
    try {
        return service->Security().ActivateAV(mode, text);
    } catch (...) {
        return -1;
    }
}

MAILWARD_API int MAILWARD_CALL MAILWARD_install_update_av(int update) {
    CMailWard* service = Service();
    if (service == nullptr)
        return -1;
    try {
        service->InstallUpdateAV(update);
    } catch (...) {
    }
    return 0;
}

MAILWARD_API int MAILWARD_CALL MAILWARD_set_av_stamp(mailhdr* header) {
    CMailWard* service = Service();
    if (service == nullptr || header == nullptr)
        return -1;
    try {
        service->SetAVStamp(header);
    } catch (...) {
    }
    return 0;
}

MAILWARD_API char* MAILWARD_CALL MAILWARD_DecodeHeaderData(const char* data) {
    try {
        return CMimePart::DecodeHeaderData(data);
    } catch (...) {
        return nullptr;
    }
}

MAILWARD_API void MAILWARD_CALL MAILWARD_FreeData(void* data) {
    std::free(data);
}

}  // extern "C"
