// host_texts.cpp - the host's numbered texts (S_MODULENAME, S_MODULENAME_set).
//
// Every text ever set is kept for the life of the process in an interning set
// (one copy per distinct text), and each number points at its current entry.
// S_MODULENAME hands out plain pointers that its callers read on other
// threads; because nothing is ever released, a host replacing a text while
// the worker copies the old one cannot leave the worker with freed memory.
// Interning bounds the growth to the distinct texts a host uses.
//
// Limits: MIRALIB_MAX_TEXT_ID, MIRALIB_MAX_HOST_TEXT (miralib.h).
#include "miralib/miralib.h"

#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace {

struct DefaultText {
    int id;
    const char* text;
};

// English defaults for the numbers mailward asks for.
const DefaultText DEFAULT_TEXTS[] = {
    {63, "removed-attachment.txt"},
    {65, "An attachment of this message was moved to quarantine."},
    {67, "An attachment of this message was removed."},
    {68, "An attachment of this message was removed because it contains a virus."},
    {69, "mailward-scan.tmp"},
    {70, ".infected"},
};

class TextTable {
  public:
    const char* Get(int id) {
        std::lock_guard lock(m_lock);
        auto it = m_current.find(id);
        if (it != m_current.end()) {
            return it->second->c_str();
        }
        for (const DefaultText& d : DEFAULT_TEXTS) {
            if (d.id == id) {
                return d.text;
            }
        }
        return "";
    }
    void Set(int id, const char* text) {
        std::lock_guard lock(m_lock);
        if (text == nullptr) {
            m_current.erase(id);
            return;
        }
        // std::set never moves its elements, so the pointer stays valid.
        m_current[id] = &*m_interned.insert(text).first;
    }

  private:
    std::mutex m_lock;
    std::set<std::string> m_interned;
    std::map<int, const std::string*> m_current;
};

TextTable& Texts() {
    static TextTable table;
    return table;
}

}  // namespace

extern "C" MIRALIB_API const char* S_MODULENAME(int id, const char* /*module*/) {
    try {
        return Texts().Get(id);
    } catch (...) {
        return "";
    }
}

extern "C" MIRALIB_API int S_MODULENAME_set(int id, const char* text) {
    if (id < 0 || id > MIRALIB_MAX_TEXT_ID) {
        return -1;
    }
    if (text != nullptr && std::strlen(text) > MIRALIB_MAX_HOST_TEXT) {
        return -1;
    }
    try {
        Texts().Set(id, text);
        return 0;
    } catch (...) {
        return -1;
    }
}
