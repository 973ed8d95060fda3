/*
 * body_digest.h - SHA-256 of a message body that comes in pieces, to tell
 * whether the library changed the body.
 *
 * The digest must hold against a sender who shapes the body: with a weak
 * hash a mail could be made whose received body hashes like the body the
 * library writes in its place (a notice instead of an infected part), and
 * the milter would then leave the received body in the mail. SHA-256
 * (OpenSSL's libcrypto) leaves no such room, and with the CPU's SHA
 * instructions it is faster than a byte-wise FNV.
 *
 * A digest that cannot be made (no memory inside libcrypto) fails: Ok()
 * is false, and two failed digests never compare equal, so the body is
 * then replaced rather than kept.
 */
#ifndef MAILWARD_TOOLS_MILTER_BODY_DIGEST_H
#define MAILWARD_TOOLS_MILTER_BODY_DIGEST_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

struct evp_md_ctx_st;

class BodyDigest {
  public:
    using Value = std::array<std::uint8_t, 32>;

    BodyDigest();
    ~BodyDigest();
    BodyDigest(const BodyDigest&) = delete;
    BodyDigest& operator=(const BodyDigest&) = delete;

    // Starts over (a new message).
    void Reset();
    void Update(const void* data, std::size_t size);
    // The digest of everything since the last Reset; ends the digest.
    bool Final(Value& value);
    bool Ok() const { return m_ok; }

  private:
    evp_md_ctx_st* m_ctx = nullptr;
    bool m_ok = false;
};

// True when both bodies are known and the same: equal sizes and digests.
bool SameBody(std::uint64_t sizeA, BodyDigest& a, std::uint64_t sizeB, BodyDigest& b);

#endif
