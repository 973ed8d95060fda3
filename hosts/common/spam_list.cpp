/*
 * spam_list.cpp - the spam list file, the sender look-up and the answering
 * thread.
 */
#include "common/spam_list.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <fstream>
#include <sstream>

#include "qorcsock/qorcsock.h"
#include "common/text.h"

bool SpamList::Load(const std::string& path, std::vector<std::string>& errors) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        errors.push_back(path + ": cannot be read");
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return Parse(text.str(), path, errors);
}

bool SpamList::Parse(const std::string& text, const std::string& name,
                     std::vector<std::string>& errors) {
    std::vector<Entry> entries;
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    const std::size_t before = errors.size();
    while (std::getline(in, raw)) {
        ++number;
        const std::string where = name + ":" + std::to_string(number) + ": ";
        if (raw.size() > SPAMLIST_MAX_LINE) {
            errors.push_back(where + "line longer than " + std::to_string(SPAMLIST_MAX_LINE) +
                             " characters");
            continue;
        }
        const std::string line(kit::trim(raw));  // getline took the LF
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string pattern, value, extra;
        words >> pattern >> value >> extra;
        if (!extra.empty()) {
            errors.push_back(where + "expected ADDRESS-OR-DOMAIN [VALUE], found more");
            continue;
        }
        Entry e;
        if (!value.empty()) {
            std::uint32_t v = 0;
            const auto r = std::from_chars(value.data(), value.data() + value.size(), v);
            if (r.ec != std::errc() || r.ptr != value.data() + value.size()) {
                errors.push_back(where + "value '" + value + "' is no number from 0 to 4294967295");
                continue;
            }
            e.value = v;
        }
        pattern = kit::ascii_lower(pattern);
        const std::size_t at = pattern.find('@');
        if (at == 0) {
            pattern.erase(0, 1);
            e.domain = true;
        } else {
            e.domain = at == std::string::npos;
        }
        if (pattern.empty() || (e.domain && pattern.find('@') != std::string::npos)) {
            errors.push_back(where + "'" + line + "' is neither an address nor a domain");
            continue;
        }
        e.pattern = pattern;
        if (entries.size() >= SPAMLIST_MAX_ENTRIES) {
            errors.push_back(where + "more than " + std::to_string(SPAMLIST_MAX_ENTRIES) +
                             " entries");
            break;
        }
        entries.push_back(std::move(e));
    }
    if (errors.size() != before)
        return false;
    m_entries = std::move(entries);
    return true;
}

bool SpamList::Lookup(const std::string& address, std::uint32_t& value) const {
    const std::string a = kit::ascii_lower(address);
    const std::size_t at = a.rfind('@');
    const std::string domain = at == std::string::npos ? "" : a.substr(at + 1);
    for (const Entry& e : m_entries) {
        bool hit = false;
        if (e.domain) {
            hit = domain == e.pattern || (domain.size() > e.pattern.size() &&
                                          domain.compare(domain.size() - e.pattern.size(),
                                                         e.pattern.size(), e.pattern) == 0 &&
                                          domain[domain.size() - e.pattern.size() - 1] == '.');
        } else {
            hit = shcasematch(a.c_str(), e.pattern.c_str()) == 1;
        }
        if (hit) {
            value = e.value;
            return true;
        }
    }
    return false;
}

std::string SenderAddress(const std::string& fromValue) {
    mailaddr* list = mailaddr_parse(fromValue.c_str());
    std::string out;
    for (const mailaddr* a = list; a != nullptr; a = a->next) {
        if (a->address != nullptr && *a->address != '\0') {
            out = kit::ascii_lower(a->address);
            break;
        }
    }
    mailaddr_free(&list);
    return out;
}

SpamListResponder::SpamListResponder(const MailwardApi& api, std::shared_ptr<const SpamList> list)
    : m_api(api), m_list(std::move(list)) {
    m_fromId = m_api.mailhdr_getfldid("From");
}

SpamListResponder::~SpamListResponder() {
    Stop();
}

void SpamListResponder::Start() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_thread.joinable())
        return;
    m_stop = false;
    m_thread = std::thread([this] { Run(); });
}

void SpamListResponder::Stop() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void SpamListResponder::Replace(std::shared_ptr<const SpamList> list) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_list = std::move(list);
}

std::size_t SpamListResponder::Answered() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_answered;
}

void MAILWARD_CALL SpamListResponder::ListCheck(mailhdr* header, uintptr_t listUser,
                                                SpamListDone done, void* job) {
    auto* self = reinterpret_cast<SpamListResponder*>(listUser);
    std::shared_ptr<AnswerFlag> answered;
    try {
        const stringlist* lines =
            header != nullptr ? self->m_api.mailhdr_getfldvalue(header, self->m_fromId) : nullptr;
        std::string from;
        for (const stringlist* l = lines; l != nullptr; l = l->next) {
            if (l->str == nullptr)
                continue;
            if (!from.empty())
                from += ' ';
            from += l->str;
        }
        answered = std::make_shared<AnswerFlag>();
        self->Ask(Question{SenderAddress(from), done, job, answered});
    } catch (...) {
        // The question never reached the answering thread: answer here, as
        // the library waits for exactly one answer.
        done(0, 0, job);
        return;
    }
    try {
        self->WaitForAnswer(*answered);
    } catch (...) {
        // The answer comes all the same; the library then polls for it.
    }
}

void SpamListResponder::Ask(Question q) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_thread.joinable() && !m_stop) {
            m_queue.push_back(std::move(q));
            m_wake.notify_one();
            return;
        }
    }
    // Not started (or stopping): answer at once rather than never.
    Answer(q);
    std::lock_guard<std::mutex> hold(m_lock);
    ++m_answered;
    q.answered->yes = true;
}

void SpamListResponder::WaitForAnswer(const AnswerFlag& answered) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_answeredWake.wait_for(hold, std::chrono::milliseconds(SPAMLIST_GRACE_MS),
                            [&answered] { return answered.yes; });
}

void SpamListResponder::Answer(const Question& q) {
    std::shared_ptr<const SpamList> list;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        list = m_list;
    }
    std::uint32_t value = 0;
    bool hit = !q.sender.empty() && list != nullptr && list->Lookup(q.sender, value);
    if (!hit && !q.sender.empty() && m_extra) {
        try {
            hit = m_extra(q.sender, value);
        } catch (...) {
            hit = false;  // a list that fails lists no one
        }
    }
    q.done(hit ? 1 : 0, hit ? value : 0, q.job);
}

void SpamListResponder::Run() {
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        m_wake.wait(hold, [this] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty())
            return;  // stopping, and every question answered
        Question q = std::move(m_queue.front());
        m_queue.pop_front();
        hold.unlock();
        Answer(q);
        hold.lock();
        ++m_answered;
        q.answered->yes = true;
        m_answeredWake.notify_all();
    }
}
