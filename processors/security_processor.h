/*
 * security_processor.h - has every part of a mail scanned by the virus
 * engine and deals with infected parts.
 *
 * ActivateAV(mode, text) starts the engine (AV_Init): 0, or -1 with the error
 * "CSecurityProcessor::ActivateAV() - error activating av-engine" and the
 * processor inactive. `mode` says what becomes of an infected part:
 * AV_MODE_REMOVE (9) replaces it by a notice naming the virus, AV_MODE_RENAME
 * (12) appends host text 70 to its name, any other value leaves it.
 * The engine is ended (AV_Exit) when the processor is destroyed.
 *
 * AVCheckPart(part) hands the part's decoded contents to the engine in
 * memory (AV_CheckBuffer): nothing is written to disk. Only when that scan
 * fails (-1) is the part scanned once more the old way
 * (AVCheckPartFromFile): written to the scan file, scanned there and
 * deleted. A scan in memory that stopped at an engine limit, or failed only
 * on encrypted archive content, is not tried again (the same bytes stop
 * there in a file too), so the second scan never turns a failure into a
 * clean result. Results: the engine's 1 (virus), 0 (clean), or -1 (file not
 * written, engine failure); LastFailureWasLimit() tells whether the last -1
 * was one of those two, which the same bytes meet at every try.
 *
 * Scan folder: each processor (one per service object) makes a private
 * folder of its own below TempDir when it is made ("mailward-" and random
 * letters, created exclusively, owner-only) and keeps its scan file (named by
 * host text 69) in it; the folder is removed with the processor. TempDir is
 * read at each scan: when it has changed, or the folder has gone or is no
 * longer ours alone, the old folder is removed and a new one made. So two
 * services or two processes sharing a TempDir never meet at one scan file,
 * and no other user can reach it. The scan file is created exclusively after
 * a file of ours left there is removed.
 *
 * ProcessPart results: 0 clean / nothing to check / infected and left /
 * deferred as encrypted (see DeferEncrypted), PART_RENAMED (2),
 * PART_REMOVED (32), -1 engine failure (the walk stops).
 *
 * Threads: ProcessPart and AVCheckPart run on the worker only (one scan
 * file); ActivateAV runs on a host thread, so the state it sets is atomic.
 */
#ifndef MAILWARD_SECURITY_PROCESSOR_H
#define MAILWARD_SECURITY_PROCESSOR_H

#include <atomic>
#include <string>
#include <vector>

#include "processors/parts_processor.h"

class CSecurityProcessor : public CBasePartsProcessor {
  public:
    explicit CSecurityProcessor(CCheckReport* pReport);
    ~CSecurityProcessor() override;

    int ActivateAV(int mode, const char* text);
    int AVCheckPart(CMimePart* pPart);
    int AVCheckPartFromFile(CMimePart* pPart);
    int ProcessPart(CMimePart* pPart) override;

    // Parts the engine could not judge only because they hold encrypted
    // archive content. With DeferEncrypted(true) such a part is left to the
    // attachment filter (listed in EncryptedParts()) instead of failing the
    // scan; DeferEncrypted also forgets the parts of the last mail.
    void DeferEncrypted(bool bDefer) {
        m_bDeferEncrypted = bDefer;
        m_encryptedParts.clear();
    }
    const std::vector<const CMimePart*>& EncryptedParts() const { return m_encryptedParts; }

    bool IsActive() const { return m_bActive.load(std::memory_order_acquire); }
    int VirusAction() const { return m_nVirusAction.load(std::memory_order_acquire); }
    int LogChannel() const { return m_nLogChannel; }
    // Whether the last failed scan stopped at an engine limit or at
    // encrypted content (not deferred); a walk over a mail's parts starts
    // with ForgetLastFailure.
    bool LastFailureWasLimit() const { return m_bLastFailureLimit; }
    void ForgetLastFailure() { m_bLastFailureLimit = false; }

    // The scan file's path: the private folder (made when needed), the path
    // separator, host text 69; "" when no folder can be made.
    std::string ScanFilePath();
    // The private folder in use ("" before the first one is made).
    const std::string& ScanFolder() const { return m_scanFolder.Current(); }

  private:
    bool m_bDeferEncrypted = false;
    std::vector<const CMimePart*> m_encryptedParts;  // of the current mail

    // The private folder below TempDir (see the top of this file).
    class CScanFolder {
      public:
        CScanFolder() = default;
        ~CScanFolder() { Remove(); }
        CScanFolder(const CScanFolder&) = delete;
        CScanFolder& operator=(const CScanFolder&) = delete;
        // The folder below the TempDir in force, made when needed; "" when
        // it cannot be made.
        const std::string& Path();
        const std::string& Current() const { return m_strPath; }
        // Removes the folder with a scan file left in it.
        void Remove();

      private:
        std::string m_strTempDir;  // TempDir the folder was made in
        std::string m_strPath;     // the folder, or ""
    };

    CScanFolder m_scanFolder;
    std::atomic<bool> m_bActive{false};
    std::atomic<int> m_nVirusAction{0};
    bool m_bLastFailureLimit = false;  // worker only, like the scans
    std::string m_strActivationText;
};

#endif
