/*
 * backup_stamp.cpp - mail backups before a check, the engine stamp and the
 * engine update of the service object.
 *
 * BackupMail(source): with BackupMode 0 nothing (false). Otherwise the mail
 *   and its companion file (".poi" -> ".poc", ".smi" -> ".smc"; any other
 *   extension: the mail itself) are copied into <DataDir>/origmail/ under
 *   their own names (the folder is made when missing). With BackupMode 1 both
 *   backup paths are listed as temporary whatever the copies did. A composed
 *   path that does not fit a path buffer is not cut: that copy is skipped
 *   and counts as failed. True whenever backups are on.
 * DeleteTempBackups(): deletes the listed backups when the mail was neither
 *   modified nor met an error, and empties the list in every case.
 * SetAVStamp(header): appends an X-VaveRiz4Zan field: "checked by VaveRiz
 *   for <StampLabel>; host=<StampHost or local host name>", then the engine
 *   text wrapped at 75 columns. Earlier stamps stay.
 * InstallUpdateAV(update): forwards to the engine's update.
 */
#include <cstdio>
#include <string>

#include "mailhdr/mailhdr.h"
#include "miralib.h"
#include "processors/host_values.h"
#include "platform.h"
#include "qorcsock.h"
#include "service/mailward_service.h"
#include "vaveriz.h"

namespace {

constexpr const char* BACKUP_FOLDER = "origmail";

std::string CompanionExtension(const std::string& ext) {
    if (ext == ".poi")
        return ".poc";
    if (ext == ".smi")
        return ".smc";
    return ext;
}

// Copies `from` to `to` unless `to` does not fit a path buffer.
bool CopyInto(const std::string& from, const std::string& to) {
    if (to.size() >= PF_MAX_PATH || from.size() >= PF_MAX_PATH)
        return false;
    return pf::copy_file(from.c_str(), to.c_str());
}

}  // namespace

bool CMailWard::BackupMail(const char* source) {
    const int mode = miraconf_get_int("BackupMode", 1);
    if (mode == 0 || source == nullptr)
        return false;
    const pf::SplitPath parts = pf::split_path(source);
    const std::string folder = ConfigText("DataDir") + pf::path_sep() + BACKUP_FOLDER;
    const std::string first = folder + pf::path_sep() + parts.name + parts.ext;
    const std::string companionExt = CompanionExtension(parts.ext);
    const std::string companion = parts.drive + parts.dir + parts.name + companionExt;
    const std::string second = folder + pf::path_sep() + parts.name + companionExt;

    pf::make_dirs(folder.c_str());
    const bool firstOk = CopyInto(source, first);
    // A mail without a companion of its own names itself twice: the second
    // copy would write the same bytes over the first again.
    const bool secondOk =
        companion == source && second == first ? firstOk : CopyInto(companion, second);
    if (firstOk && secondOk)
        debugmsg(g_nMailwardDebug, "CMailWard::BackupMail() - backuped %s", parts.name.c_str());
    else
        errmsg("CMailWard::BackupMail() - error backuping %s", parts.name.c_str());
    if (mode == 1) {
        m_tempBackups.push_back(first);
        m_tempBackups.push_back(second);
    }
    return true;
}

void CMailWard::DeleteTempBackups() {
    if (m_report.modified == 0 && m_report.errors == 0) {
        for (const std::string& path : m_tempBackups)
            pf::delete_file(path.c_str());
    }
    m_tempBackups.clear();
}

void CMailWard::SetAVStamp(mailhdr* header) {
    debugmsg(m_pSecurity->LogChannel(), "CMailWard::SetAVStamp()");
    std::string host = ConfigText("StampHost");
    if (host.empty()) {
        const char* local = csock_hostname_ascii();
        host = local != nullptr ? local : "";
    }
    const std::string engine = EngineVersionText();
    char first[STAMP_LINE_MAX + 1];
    std::snprintf(first, sizeof first, "checked by VaveRiz for %s; host=%s",
                  ConfigText("StampLabel").c_str(), host.c_str());
    stringlist* lines = nullptr;
    stringlist_append_string(&lines, first);
    stringlist* wrapped = stringlist_fmt(engine.c_str(), STAMP_WRAP);
    stringlist_append(&lines, wrapped);
    mailhdr_setfld(header, MAILHDR_FLD_AVSTAMP, lines);
    stringlist_free(&lines);
    stringlist_free(&wrapped);
}

void CMailWard::InstallUpdateAV(int update) {
    if (m_pSecurity)
        debugmsg(m_pSecurity->LogChannel(), "CMailWard::InstallUpdateAV()");
    AV_ActivateUpdate(update);
}
