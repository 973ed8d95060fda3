/*
 * body_digest.cpp - SHA-256 through OpenSSL's EVP interface.
 */
#include "body_digest.h"

#include <openssl/evp.h>

BodyDigest::BodyDigest() : m_ctx(EVP_MD_CTX_new()) {
    Reset();
}

BodyDigest::~BodyDigest() {
    EVP_MD_CTX_free(m_ctx);
}

void BodyDigest::Reset() {
    m_ok = m_ctx != nullptr && EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr) == 1;
}

void BodyDigest::Update(const void* data, std::size_t size) {
    if (m_ok && size > 0)
        m_ok = EVP_DigestUpdate(m_ctx, data, size) == 1;
}

bool BodyDigest::Final(Value& value) {
    unsigned int length = 0;
    const bool ok =
        m_ok && EVP_DigestFinal_ex(m_ctx, value.data(), &length) == 1 && length == value.size();
    m_ok = false;  // ended: Reset() starts the next one
    return ok;
}

bool SameBody(std::uint64_t sizeA, BodyDigest& a, std::uint64_t sizeB, BodyDigest& b) {
    BodyDigest::Value va{}, vb{};
    const bool okA = a.Final(va);
    const bool okB = b.Final(vb);
    return okA && okB && sizeA == sizeB && va == vb;
}
