/*
 * security_processor.cpp - virus scan of each part (see
 * security_processor.h).
 */
#include "processors/security_processor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hostlib/host_values.h"
#include "pf/text.h"
#include "pf/platform.h"
#include "qorcsock/qorcsock.h"
#include "vaveriz/vaveriz.h"

namespace {

// Name of the private folder below TempDir, before its random letters.
constexpr const char* SCAN_FOLDER_PREFIX = "mailward-";

// Writes the decoded contents of `part` to a new file at `path`, in place of
// a file left there.
bool WriteScanFile(CMimePart* part, const std::string& path) {
    std::FILE* f = pf::create_replacing(path.c_str());
    if (f == nullptr)
        return false;
    std::int64_t length = 0;
    char* data = part->DecodeData(length);
    bool ok = data != nullptr && length >= 0;
    if (ok && length > 0)
        ok = std::fwrite(data, 1, static_cast<std::size_t>(length), f) ==
             static_cast<std::size_t>(length);
    std::free(data);
    if (std::fclose(f) != 0)
        ok = false;
    if (!ok)
        pf::delete_file(path.c_str());
    return ok;
}

// An engine failure the same bytes meet again at every try: a limit, or
// encrypted content the engine cannot look into.
bool FailsAtEveryTry(int failure) {
    return failure == AV_FAILURE_LIMIT || failure == AV_FAILURE_ENCRYPTED;
}

}  // namespace

const std::string& CSecurityProcessor::CScanFolder::Path() {
    const std::string tempDir = ConfigText("TempDir");
    if (!m_strPath.empty() && tempDir == m_strTempDir && pf::is_private_dir(m_strPath.c_str()))
        return m_strPath;
    Remove();
    if (tempDir.empty())
        return m_strPath;
    m_strPath = pf::make_private_dir(tempDir.c_str(), SCAN_FOLDER_PREFIX);
    m_strTempDir = tempDir;
    return m_strPath;
}

void CSecurityProcessor::CScanFolder::Remove() {
    if (m_strPath.empty())
        return;
    // Only a folder that is still ours is emptied: a name taken over by
    // someone else is left alone.
    if (pf::is_private_dir(m_strPath.c_str())) {
        pf::delete_file(pf::join_path(m_strPath, HostText(TEXT_SCAN_FILE)).c_str());
        pf::remove_dir(m_strPath.c_str());
    }
    m_strPath.clear();
    m_strTempDir.clear();
}

CSecurityProcessor::CSecurityProcessor(CCheckReport* pReport) : CBasePartsProcessor(pReport) {
    m_nLogChannel = debug_gethandle("MAILWARD_AV");
    m_scanFolder.Path();  // made now; remade at a scan when it has gone
}

CSecurityProcessor::~CSecurityProcessor() {
    if (m_bActive.load())
        AV_Exit();
}

int CSecurityProcessor::ActivateAV(int mode, const char* text) {
    if (AV_Init() != 0) {
        errmsg("CSecurityProcessor::ActivateAV() - error activating av-engine");
        m_bActive.store(false, std::memory_order_release);
        return -1;
    }
    m_nVirusAction.store(mode, std::memory_order_release);
    if (text != nullptr)
        m_strActivationText = text;
    m_bActive.store(true, std::memory_order_release);
    debugmsg(m_nLogChannel, "CSecurityProcessor::ActivateAV() - AV-Engine activated");
    return 0;
}

std::string CSecurityProcessor::ScanFilePath() {
    const std::string& dir = m_scanFolder.Path();
    return dir.empty() ? std::string() : pf::join_path(dir, HostText(TEXT_SCAN_FILE));
}

int CSecurityProcessor::AVCheckPart(CMimePart* pPart) {
    m_bLastFailureLimit = false;
    std::int64_t length = 0;
    char* data = pPart->DecodeData(length);
    if (data != nullptr && length >= 0) {
        const int result = AV_CheckBuffer(data, static_cast<std::size_t>(length), "(part)");
        std::free(data);
        if (result != AV_RESULT_FAILED)
            return result;
        // The same bytes stop at the same limit, or hold the same encrypted
        // content, in a file: no second scan.
        if (FailsAtEveryTry(AV_GetLastFailure())) {
            m_bLastFailureLimit = true;
            return result;
        }
        debugmsg(m_nLogChannel,
                 "CSecurityProcessor::AVCheckPart() - scan in memory failed, trying the scan file");
    } else {
        std::free(data);
    }
    return AVCheckPartFromFile(pPart);
}

int CSecurityProcessor::AVCheckPartFromFile(CMimePart* pPart) {
    m_bLastFailureLimit = false;
    const std::string path = ScanFilePath();
    if (path.empty()) {
        errmsg("CSecurityProcessor::AVCheckPart() - no private scan folder below TempDir %s: %s",
               ConfigText("TempDir").c_str(), WINError2str(pf::last_error()));
        return -1;
    }
    if (!WriteScanFile(pPart, path)) {
        debugmsg(m_nLogChannel, "CSecurityProcessor::AVCheckPart() - saving part to %s failed",
                 path.c_str());
        return -1;
    }
    int result = AV_CheckFile(path.c_str());
    m_bLastFailureLimit = result == AV_RESULT_FAILED && FailsAtEveryTry(AV_GetLastFailure());
    if (!pf::delete_file(path.c_str()))
        debugmsg(m_nLogChannel, "CSecurityProcessor::AVCheckPart() - delete tmp file failed");
    return result;
}

int CSecurityProcessor::ProcessPart(CMimePart* pPart) {
    debugmsg(m_nLogChannel, "CSecurityProcessor::ProcessPart() - enter");
    // The name goes into notices, a header and log lines: one line, never more.
    const std::string name = pf::blank_controls(PartNameOrUnnamed(pPart));
    debugmsg(m_nLogChannel, "CBasePartsProcessor::ProcessParts - processing part: %s",
             name.c_str());
    int result = 0;
    // Empty by its length: contents that start with a zero byte are data.
    if (pPart->GetData() == nullptr || pPart->GetDataLength() == 0) {
        debugmsg(m_nLogChannel,
                 "CSecurityProcessor::ProcessPart() - No Data in Part ->nothing to check");
        m_pReport->SetPartVirus(pPart, VIRUS_CLEAN, 0, nullptr, nullptr);
    } else {
        int scan = AVCheckPart(pPart);
        if (scan == AV_RESULT_FAILED && m_bDeferEncrypted &&
            AV_GetLastFailure() == AV_FAILURE_ENCRYPTED) {
            infomsg("[MAILCHECK] [ENCRYPTED] [%s]", name.c_str());
            m_encryptedParts.push_back(pPart);
            return 0;
        }
        if (scan == AV_RESULT_FAILED) {
            errmsg("CSecurityProcessor::ProcessPart() - AVCheckPart() failed. Check av-engine!");
            return -1;
        }
        if (scan == AV_RESULT_CLEAN) {
            debugmsg(m_nLogChannel, "CSecurityProcessor::ProcessPart() - part is secure");
            m_pReport->SetPartVirus(pPart, VIRUS_CLEAN, 0, nullptr, nullptr);
        } else if (scan == AV_RESULT_VIRUS) {
            // The engine's texts may change with its next call: copy them now.
            const std::string virus = pf::blank_controls(LastVirusNameText());
            const int mode = VirusAction();
            if (mode == AV_MODE_RENAME) {
                const std::string newName = name + HostText(TEXT_INFECTED_SUFFIX);
                pPart->SetName(newName.c_str());
                m_pReport->SetPartVirus(pPart, VIRUS_FOUND, PART_RENAMED, nullptr, nullptr);
                result = PART_RENAMED;
            } else if (mode == AV_MODE_REMOVE) {
                std::string notice =
                    HostText(TEXT_VIRUS_NOTICE) + "\n\nName: " + name + "\nVirus: " + virus + "\n";
                const std::string replacement = HostText(TEXT_REPLACEMENT_NAME);
                if (delete_part(pPart, replacement.c_str(), notice.c_str()) != 0) {
                    errmsg("CSecurityProcessor::ProcessPart() - delete_part failed");
                    m_pReport->SetError(ERR_PART_ACTION);
                    m_pReport->SetPartVirus(pPart, VIRUS_FOUND, 0, nullptr, nullptr);
                } else {
                    // The record keeps the removed part's identity as its key.
                    const std::string version = EngineVersionText();
                    m_pReport->SetPartVirus(pPart, VIRUS_FOUND, PART_REMOVED, virus.c_str(),
                                            version.c_str());
                    debugmsg(m_nLogChannel,
                             "CSecurityProcessor::ProcessPart() - [VIRUSREMOVED] [%s] [%s] [%s]",
                             name.c_str(), virus.c_str(), version.c_str());
                    infomsg("[MAILCHECK] [VIRUSREMOVED] [%s] [%s] [%s]", name.c_str(),
                            virus.c_str(), version.c_str());
                    result = PART_REMOVED;
                }
            } else {
                m_pReport->SetPartVirus(pPart, VIRUS_FOUND, 0, nullptr, nullptr);
            }
        } else {
            m_pReport->SetPartVirus(pPart, VIRUS_NOT_CHECKED, 0, nullptr, nullptr);
        }
    }
    debugmsg(m_nLogChannel, "CSecurityProcessor::ProcessPart() - finished part: %s", name.c_str());
    return result;
}
