// template.cpp - template filling (GiveTextFromReplacedTemplate).
//
// The template is read whole from TemplateDir (read at the moment of use),
// then copied once from left to right: where a variable name of the table
// begins, the output of that variable's writer is put instead. Writers write
// to a FILE*, so their output is caught in a stream in memory (open_memstream
// on POSIX; a temporary file on Windows, whose C runtime has no memory
// stream). Each writer runs at most once per fill, and the text it wrote is
// never searched for names again: a virus name that happens to read
// "${VirusInfoText}" cannot make the fill recurse or grow without bound.
//
// The template name must be a plain file name: it may not climb out of the
// template folder. Failures give null and an error line (errmsg).
//
// Limits: MIRALIB_MAX_TEMPLATE_SIZE, MIRALIB_MAX_TEMPLATE_VARIABLES,
// MIRALIB_MAX_WRITER_OUTPUT, MIRALIB_MAX_FILLED_TEXT (miralib.h).
#include "miralib/miralib.h"
#include "miralib/miralib_impl.h"
#include "qorcsock/qorcsock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace miralib {
namespace {

bool IsPlainFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\:") == std::string_view::npos;
}

#if defined(_WIN32)
// A stream for the writer's output: tmpfile() first; where it is refused
// (it writes to the root of the current drive), a file in the user's
// temporary folder that the runtime deletes on close ("D").
std::FILE* OpenCaptureStream() {
    if (std::FILE* f = std::tmpfile()) {
        return f;
    }
    char dir[MAX_PATH + 1];
    char name[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof dir, dir);
    if (n == 0 || n > MAX_PATH || GetTempFileNameA(dir, "mir", 0, name) == 0) {
        return nullptr;
    }
    return std::fopen(name, "w+bD");
}

// Runs the writer and returns what it wrote, or nothing on failure.
std::optional<std::string> CaptureWriter(const TemplateVariable& var, void* context) {
    std::FILE* f = OpenCaptureStream();
    if (f == nullptr) {
        return std::nullopt;
    }
    var.writer(const_cast<TemplateVariable*>(&var), nullptr, f, context);
    std::optional<std::string> out;
    long size = (std::fflush(f) == 0) ? std::ftell(f) : -1;
    if (size >= 0 && size <= MIRALIB_MAX_WRITER_OUTPUT && std::fseek(f, 0, SEEK_SET) == 0) {
        std::string text(static_cast<std::size_t>(size), '\0');
        if (std::fread(text.data(), 1, text.size(), f) == text.size()) {
            out = std::move(text);
        }
    }
    std::fclose(f);
    return out;
}
#else
std::optional<std::string> CaptureWriter(const TemplateVariable& var, void* context) {
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* f = open_memstream(&buf, &len);
    if (f == nullptr) {
        return std::nullopt;
    }
    var.writer(const_cast<TemplateVariable*>(&var), nullptr, f, context);
    bool ok = std::fclose(f) == 0 && len <= MIRALIB_MAX_WRITER_OUTPUT;
    std::optional<std::string> out;
    if (ok) {
        out.emplace(buf != nullptr ? buf : "", len);
    }
    std::free(buf);
    return out;
}
#endif

// Marks a variable whose next occurrence has not been looked for yet.
constexpr std::size_t NOT_SEARCHED = static_cast<std::size_t>(-1);

class Filler {
  public:
    Filler(const TemplateVariable* vars, void* context) : m_context(context) {
        for (std::size_t i = 0; vars != nullptr && vars[i].name != nullptr && vars[i].name[0];
             ++i) {
            if (i == MIRALIB_MAX_TEMPLATE_VARIABLES) {
                m_tooMany = true;
                break;
            }
            m_vars.push_back(&vars[i]);
        }
        m_outputs.resize(m_vars.size());
    }

    // The filled text; false with a reason in `error`.
    bool Fill(std::string_view tmpl, std::string* result, std::string* error) {
        if (m_tooMany) {
            *error = "more than " + std::to_string(MIRALIB_MAX_TEMPLATE_VARIABLES) + " variables";
            return false;
        }
        m_next.assign(m_vars.size(), NOT_SEARCHED);
        result->clear();
        std::size_t pos = 0;
        while (pos < tmpl.size()) {
            std::size_t index = 0;
            std::size_t at = FindNext(tmpl, pos, &index);
            result->append(tmpl.substr(pos, at - pos));
            if (at == tmpl.size()) {
                break;
            }
            const std::string* text = Output(index);
            if (text == nullptr) {
                *error = std::string("writer of ") + m_vars[index]->name + " failed";
                return false;
            }
            result->append(*text);
            if (result->size() > MIRALIB_MAX_FILLED_TEXT) {
                break;
            }
            pos = at + std::strlen(m_vars[index]->name);
        }
        if (result->size() > MIRALIB_MAX_FILLED_TEXT) {
            *error = "filled text larger than " + std::to_string(MIRALIB_MAX_FILLED_TEXT);
            return false;
        }
        return true;
    }

  private:
    // Position of the next variable name at or after `pos` (the size of the
    // template when there is none) and, in `index`, which variable it is.
    // Each variable's next occurrence is remembered until the copy passes
    // it, so the template is searched once per variable, not once per hit.
    std::size_t FindNext(std::string_view tmpl, std::size_t pos, std::size_t* index) {
        std::size_t best = tmpl.size();
        for (std::size_t i = 0; i < m_vars.size(); ++i) {
            if (m_next[i] == NOT_SEARCHED || m_next[i] < pos) {
                m_next[i] = std::min(tmpl.find(m_vars[i]->name, pos), tmpl.size());
            }
            if (m_next[i] < best) {
                best = m_next[i];
                *index = i;
            }
        }
        return best;
    }

    const std::string* Output(std::size_t index) {
        if (!m_outputs[index]) {
            const TemplateVariable& var = *m_vars[index];
            if (var.writer == nullptr) {
                m_outputs[index].emplace();
            } else {
                m_outputs[index] = CaptureWriter(var, m_context);
            }
            if (!m_outputs[index]) {
                return nullptr;
            }
        }
        return &*m_outputs[index];
    }

    void* m_context;
    bool m_tooMany = false;
    std::vector<const TemplateVariable*> m_vars;
    std::vector<std::optional<std::string>> m_outputs;  // writer output, made on first use
    std::vector<std::size_t> m_next;                    // next occurrence of each name
};

char* Fill(const TemplateVariable* variables, const char* templateName, void* context) {
    if (templateName == nullptr || !IsPlainFileName(templateName)) {
        errmsg("GiveTextFromReplacedTemplate() - bad template name %s",
               templateName != nullptr ? templateName : "(null)");
        return nullptr;
    }
    std::string dir;
    if (!ConfigValue("TemplateDir", &dir)) {
        errmsg("GiveTextFromReplacedTemplate() - no TemplateDir configured");
        return nullptr;
    }
    std::string path = pf::join_path(dir, templateName);
    std::string tmpl, why;
    if (!ReadWholeFile(path.c_str(), MIRALIB_MAX_TEMPLATE_SIZE, &tmpl, &why)) {
        errmsg("GiveTextFromReplacedTemplate() - template %s: %s", path.c_str(), why.c_str());
        return nullptr;
    }
    if (tmpl.find('\0') != std::string::npos) {
        errmsg("GiveTextFromReplacedTemplate() - template %s holds a NUL byte", path.c_str());
        return nullptr;
    }
    std::string filled;
    Filler filler(variables, context);
    if (!filler.Fill(tmpl, &filled, &why)) {
        errmsg("GiveTextFromReplacedTemplate() - template %s: %s", path.c_str(), why.c_str());
        return nullptr;
    }
    char* result = static_cast<char*>(std::malloc(filled.size() + 1));
    if (result != nullptr) {
        std::memcpy(result, filled.c_str(), filled.size() + 1);
    }
    return result;
}

}  // namespace
}  // namespace miralib

extern "C" MIRALIB_API char* GiveTextFromReplacedTemplate(const TemplateVariable* variables,
                                                          const char* templateName, void* context,
                                                          int /*flags*/) {
    try {
        return miralib::Fill(variables, templateName, context);
    } catch (...) {
        return nullptr;
    }
}
