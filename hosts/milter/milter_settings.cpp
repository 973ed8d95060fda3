/*
 * milter_settings.cpp - reading the milter's settings and putting a
 * reload in place.
 */
#include "milter_settings.h"

#include <utility>

#include "admin_notice.h"
#include "common/host_keys.h"
#include "spool.h"

bool LoadMilterSettings(const std::string& configFile, const std::vector<std::string>& overrides,
                        MilterKeys& keys, MilterSettings& settings,
                        std::vector<std::string>& errors) {
    const std::size_t before = errors.size();
    // Unknown keys and values of the wrong kind, with file and line.
    if (std::vector<ConfigEntry> entries;
        !CheckConfiguration(configFile, overrides, entries, errors))
        return false;
    std::string text;
    if (!configFile.empty() && !ReadWholeFile(configFile, text)) {
        errors.push_back(configFile + ": cannot be read");
        return false;
    }
    if (!ParseMilterKeys(text, configFile, overrides, keys, errors))
        return false;
    ReadMilterSettings(LookupIn(keys), settings, errors);
    if (errors.size() == before && !settings.outcomes.noticeTo.empty())
        LoadNoticeTemplate(settings.outcomes, errors);
    return errors.size() == before;
}

void MilterConfig::Start(MilterSettings settings, MilterKeys keys) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_settings = std::move(settings);
    m_keys = std::make_shared<MilterKeys>(std::move(keys));
}

void MilterConfig::Reload(const MilterSettings& fresh, MilterKeys keys) {
    std::lock_guard<std::mutex> hold(m_lock);
    MilterSettings& s = m_settings;
    s.maxSize = fresh.maxSize;
    s.maxInFlight = fresh.maxInFlight;
    s.timeoutSeconds = fresh.timeoutSeconds;
    s.ruleSet = fresh.ruleSet;
    s.headerRuleSet = fresh.headerRuleSet;
    s.onVirus = fresh.onVirus;
    s.onFiltered = fresh.onFiltered;
    s.onParseError = fresh.onParseError;
    s.onDisagreement = fresh.onDisagreement;
    s.onScanError = fresh.onScanError;
    s.onLimit = fresh.onLimit;
    s.onTooBig = fresh.onTooBig;
    s.verdictField = fresh.verdictField;
    s.outcomes = fresh.outcomes;
    m_keys = std::make_shared<MilterKeys>(std::move(keys));
}

MilterSettings MilterConfig::Settings() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_settings;
}

std::shared_ptr<const MilterKeys> MilterConfig::Keys() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_keys;
}
