/*
 * backup_stamp.cpp - mail backups before a check, the engine stamp and the
 * engine update of the service object.
 *
 * BackupMail(source): with BackupMode 0 nothing (false). Otherwise the mail
 *   and its companion file (".poi" -> ".poc", ".smi" -> ".smc"; any other
 *   extension: the mail itself) are copied into <DataDir>/origmail/ under
 *   their own names plus one suffix unique to this check (".<random>", the
 *   same for both), each created exclusively and never through a link: a
 *   later check of another mail of the same name, in this process or any
 *   other, makes files of its own. DataDir and origmail are made owner-only
 *   when missing and must be the service user's and writable by it alone
 *   (pf::is_private_dir); otherwise no copy is made and the error line says
 *   why. With BackupMode 1 the copies this check made are listed as
 *   temporary. A composed path that does not fit a path buffer is not cut:
 *   that copy is skipped and counts as failed. True whenever backups are on.
 * DeleteTempBackups(): deletes the listed backups when the mail was neither
 *   modified nor met an error, and empties the list in every case. Only
 *   files this check made are listed, so nothing else is ever deleted.
 * SetAVStamp(header): appends an X-VaveRiz4Zan field: "checked by VaveRiz
 *   for <StampLabel>; host=<StampHost or local host name>", then the engine
 *   text wrapped at 75 columns. Earlier stamps stay.
 * InstallUpdateAV(update): forwards to the engine's update.
 */
#include <cstdio>
#include <string>

#include "mailhdr/mailhdr.h"
#include "miralib/miralib.h"
#include "hostlib/host_values.h"
#include "pf/text.h"
#include "pf/platform.h"
#include "qorcsock/qorcsock.h"
#include "service/mailward_service.h"
#include "vaveriz/vaveriz.h"

namespace {

constexpr const char* BACKUP_FOLDER = "origmail";
// Random characters of the suffix that makes a check's backup names its own,
// and suffixes tried before the backup gives up.
constexpr std::size_t BACKUP_SUFFIX_CHARS = 12;
constexpr int BACKUP_NAME_ATTEMPTS = 100;

std::string CompanionExtension(const std::string& ext) {
    if (ext == ".poi")
        return ".poc";
    if (ext == ".smi")
        return ".smc";
    return ext;
}

// Copies `from` into a new file `to` unless `to` does not fit a path buffer.
bool CopyInto(const std::string& from, const std::string& to) {
    if (to.size() >= PF_MAX_PATH || from.size() >= PF_MAX_PATH)
        return false;
    return pf::copy_to_new_file(from.c_str(), to.c_str());
}

// Makes `folder` (owner-only) when missing; true when it is a folder of the
// service's user that nobody else may write into.
bool OwnFolder(const std::string& folder) {
    if (!pf::make_private_dirs(folder.c_str()) || !pf::is_private_dir(folder.c_str())) {
        errmsg("CMailWard::BackupMail() - backup folder %s is not the service's own (%s)",
               folder.c_str(), WINError2str(pf::last_error()));
        return false;
    }
    return true;
}

}  // namespace

bool CMailWard::BackupMail(const char* source) {
    const int mode = miraconf_get_int("BackupMode", 1);
    if (mode == 0 || source == nullptr)
        return false;
    const pf::SplitPath parts = pf::split_path(source);
    const std::string dataDir = ConfigText("DataDir");
    const std::string folder = pf::join_path(dataDir, BACKUP_FOLDER);
    const std::string companionExt = CompanionExtension(parts.ext);
    const std::string companion = parts.drive + parts.dir + parts.name + companionExt;
    // A mail without a companion of its own names itself twice: one copy.
    const bool single = companion == source;

    bool firstOk = false, secondOk = false;
    std::string first, second;
    if (OwnFolder(dataDir) && OwnFolder(folder)) {
        for (int attempt = 0; attempt < BACKUP_NAME_ATTEMPTS; ++attempt) {
            const std::string suffix = "." + pf::random_name(BACKUP_SUFFIX_CHARS);
            first = pf::join_path(folder, parts.name + parts.ext + suffix);
            second = pf::join_path(folder, parts.name + companionExt + suffix);
            firstOk = CopyInto(source, first);
            if (!firstOk && pf::name_taken(first.c_str()))
                continue;  // the name is someone else's: another suffix
            secondOk = single ? firstOk : CopyInto(companion, second);
            if (!single && !secondOk && pf::name_taken(second.c_str())) {
                if (firstOk)
                    pf::delete_file(first.c_str());
                firstOk = false;
                continue;
            }
            break;
        }
    }
    if (firstOk && secondOk)
        debugmsg(g_nMailwardDebug, "CMailWard::BackupMail() - backuped %s", parts.name.c_str());
    else
        errmsg("CMailWard::BackupMail() - error backuping %s", parts.name.c_str());
    if (mode == 1) {
        if (firstOk)
            m_tempBackups.push_back(first);
        if (secondOk && !single)
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
