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
 * AVCheckPart(part) writes the part's decoded contents to the one scan file
 * (TempDir, host text 69), has the engine scan it and deletes it: the
 * engine's 1 (virus), 0 (clean), or -1 (file not written, engine failure).
 * The scan file is created exclusively with owner-only permissions after any
 * stale file of that name is removed, so no other process can plant a link
 * there for us to write through.
 *
 * ProcessPart results: 0 clean / nothing to check / infected and left,
 * PART_RENAMED (2), PART_REMOVED (32), -1 engine failure (the walk stops).
 *
 * Threads: ProcessPart and AVCheckPart run on the worker only (one scan
 * file); ActivateAV runs on a host thread, so the state it sets is atomic.
 */
#ifndef MAILWARD_SECURITY_PROCESSOR_H
#define MAILWARD_SECURITY_PROCESSOR_H

#include <atomic>
#include <string>

#include "processors/parts_processor.h"

class CSecurityProcessor : public CBasePartsProcessor {
  public:
    explicit CSecurityProcessor(CCheckReport* pReport);
    ~CSecurityProcessor() override;

    int ActivateAV(int mode, const char* text);
    int AVCheckPart(CMimePart* pPart);
    int ProcessPart(CMimePart* pPart) override;

    bool IsActive() const { return m_bActive.load(std::memory_order_acquire); }
    int VirusAction() const { return m_nVirusAction.load(std::memory_order_acquire); }
    int LogChannel() const { return m_nLogChannel; }

    // The scan file's path: TempDir, the path separator, host text 69.
    static std::string ScanFilePath();

  private:
    std::atomic<bool> m_bActive{false};
    std::atomic<int> m_nVirusAction{0};
    std::string m_strActivationText;
};

#endif
