/*
 * host_session.cpp - the common set-up of the subcommands.
 */
#include "common/host_session.h"

#include "common/console.h"

HostSession::~HostSession() {
    StopService();
    if (m_logInstalled)
        Console::Get().RemoveLogSink();
}

bool HostSession::InstallLog(int verbosity) {
    Console::Get().SetVerbosity(verbosity);
    Console::Get().InstallLogSink();
    m_logInstalled = true;
    return true;
}

bool HostSession::Configure(const CommonOptions& o) {
    HostConfigRequest request;
    request.configFile = o.configFile;
    request.overrides = o.overrides;
    request.exeDir = m_exeDir;
    std::string error;
    if (!SetUpHostConfig(request, m_config, error)) {
        Console::Get().Err("mailward: " + error);
        return false;
    }
    if (m_config.shareDir.empty() && o.configFile.empty())
        Console::Get().Err(
            "mailward: warning: the shipped signatures and templates were not found; "
            "the host library's defaults apply");
    return true;
}

bool HostSession::LoadLibrary(const CommonOptions& o) {
    std::string error;
    if (!LoadMailwardLibrary(LibraryCandidates(o.library, m_exeDir), m_api, m_libraryPath, error)) {
        Console::Get().Err("mailward: " + error);
        return false;
    }
    return true;
}

bool HostSession::LoadRules(const CommonOptions& o) {
    const MailwardApi& api = m_api;
    RuleTextCheck check = [&api](const std::string& text) {
        return CheckRuleTextWithLibrary(api, text);
    };
    std::vector<RulesError> errors;
    bool ok = false;
    if (o.rulesFile.empty()) {
        m_rulesName = EMBEDDED_RULES_NAME;
        ok = ParseRules(EMBEDDED_RULES, check, m_book, errors);
    } else {
        m_rulesName = o.rulesFile;
        ok = LoadRulesFile(o.rulesFile, check, m_book, errors);
    }
    if (!ok) {
        for (const RulesError& e : errors)
            Console::Get().Err(FormatRulesError(m_rulesName, e));
        Console::Get().Err("mailward: " + m_rulesName + ": refused, no rule was loaded");
    }
    return ok;
}

bool HostSession::StartService(bool makeDirs) {
    if (m_api.MAILWARD_init() != 0) {
        Console::Get().Err("mailward: MAILWARD_init failed: the service did not start");
        return false;
    }
    m_serviceRunning = true;
    RulesError error;
    if (!ApplyRules(m_api, m_book, m_config.dataDir, makeDirs, error)) {
        Console::Get().Err(FormatRulesError(m_rulesName, error));
        Console::Get().Err("mailward: " + m_rulesName + ": refused, no rule was loaded");
        return false;
    }
    return true;
}

void HostSession::StopService() {
    if (m_serviceRunning) {
        m_api.MAILWARD_exit();
        m_serviceRunning = false;
    }
}

std::string HostSession::MissingSet(const std::string& name) const {
    if (m_book.FindSet(name) != nullptr)
        return "";
    std::string sets;
    for (const RuleSetEntry& s : m_book.sets)
        sets += (sets.empty() ? "" : ", ") + s.name;
    return "no rule set '" + name + "' in " + m_rulesName +
           (sets.empty() ? " (it has none)" : " (its sets: " + sets + ")");
}
