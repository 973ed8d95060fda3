/*
 * mimeoutput.cpp - buffered text-mode output for the part-tree writer and the
 * file-write seam of the mime layer (see mimeoutput.h for the contract).
 *
 * Text mode turns every LF into CR LF while copying into the buffer; runs
 * without LF are copied with memcpy, so writing runs at memory speed.
 */
#include "mime/mimeoutput.h"

#include <cstring>

#include "pf/platform.h"
#include "qorcsock/qorcsock.h"

namespace {

MimeFileHooks g_hooks{};

}  // namespace

void MimeSetFileHooks(const MimeFileHooks* pHooks) {
    g_hooks = pHooks ? *pHooks : MimeFileHooks{};
}

bool MimeFileWrite(std::FILE* pFile, const void* pData, std::size_t nLen) {
    if (nLen == 0) {
        return true;
    }
    if (g_hooks.beforeWrite && !g_hooks.beforeWrite(nLen, g_hooks.pUser)) {
        return false;
    }
    return std::fwrite(pData, 1, nLen, pFile) == nLen;
}

bool MimeSyncFile(std::FILE* pFile) {
    if (g_hooks.beforeSync && !g_hooks.beforeSync(g_hooks.pUser)) {
        return false;
    }
    return pf::sync_file(pFile);
}

bool MimeReplaceFile(const char* pszFrom, const char* pszTo) {
    if (g_hooks.beforeReplace && !g_hooks.beforeReplace(pszFrom, pszTo, g_hooks.pUser)) {
        return false;
    }
    // The new mail keeps the rights of the old one (the temporary file was
    // made owner-only), so that a host's next stage can still read it. A
    // mail whose rights could not be carried over still replaces the old
    // one: the checked contents matter more.
    if (!pf::take_access(pszFrom, pszTo)) {
        errmsg("cannot give %s the access rights of %s: %s", pszFrom, pszTo,
               WINError2str(pf::last_error()));
    }
    return pf::replace_file(pszFrom, pszTo);
}

CMimeOutput::CMimeOutput(bool bTextMode) : m_bTextMode(bTextMode) {}

CMimeOutput::~CMimeOutput() = default;

void CMimeOutput::WriteString(const char* psz) {
    if (psz) {
        Write(psz, std::strlen(psz));
    }
}

void CMimeOutput::Write(const char* pData, std::size_t nLen) {
    if (!m_bTextMode) {
        Put(pData, nLen);
        return;
    }
    const char* p = pData;
    const char* pEnd = pData + nLen;
    while (p < pEnd) {
        const char* pLF = static_cast<const char*>(std::memchr(p, '\n', pEnd - p));
        if (!pLF) {
            Put(p, pEnd - p);
            break;
        }
        Put(p, pLF - p);
        Put("\r\n", 2);
        p = pLF + 1;
    }
}

void CMimeOutput::Put(const char* pData, std::size_t nLen) {
    while (nLen > 0) {
        if (m_nUsed == OUTPUT_BUFFER_SIZE) {
            Flush();
        }
        // Large runs bypass the buffer once it is empty.
        if (m_nUsed == 0 && nLen >= OUTPUT_BUFFER_SIZE) {
            Emit(pData, nLen);
            return;
        }
        std::size_t n = OUTPUT_BUFFER_SIZE - m_nUsed;
        if (n > nLen) {
            n = nLen;
        }
        std::memcpy(m_buf + m_nUsed, pData, n);
        m_nUsed += n;
        pData += n;
        nLen -= n;
    }
}

void CMimeOutput::Flush() {
    if (m_nUsed > 0) {
        std::size_t n = m_nUsed;
        m_nUsed = 0;
        Emit(m_buf, n);
    }
}

void CMimeOutput::Emit(const char* pData, std::size_t nLen) {
    try {
        WriteBlock(pData, nLen);
    } catch (...) {
        m_bFailed = true;
        throw;
    }
}

void CMimeFileOutput::WriteBlock(const char* pData, std::size_t nLen) {
    if (!MimeFileWrite(m_pFile, pData, nLen)) {
        throw "CMimeFileOutput - write failed";
    }
}

bool CMimeFileOutput::Finish() {
    try {
        Flush();
    } catch (...) {
        return false;
    }
    return !Failed() && std::fflush(m_pFile) == 0 && !std::ferror(m_pFile);
}

const std::string& CMimeStringOutput::Text() {
    Flush();
    return m_str;
}
