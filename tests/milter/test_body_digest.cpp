/*
 * test_body_digest.cpp - the body digest: the SHA-256 test vector, pieces
 * cut anywhere give the digest of the whole, and only equal bodies of
 * equal size count as the same.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "milter/body_digest.h"

namespace {

std::string Hex(const BodyDigest::Value& v) {
    std::string out;
    char two[3];
    for (std::uint8_t b : v) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

TEST(BodyDigest, KnownValueAndPiecesCutAnywhere) {
    BodyDigest d;
    d.Update("abc", 3);
    BodyDigest::Value v{};
    ASSERT_TRUE(d.Final(v));
    EXPECT_EQ(Hex(v), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_FALSE(d.Final(v)) << "a digest ends with Final";

    const std::string body(100000, 'x');
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{65535}, body.size()}) {
        BodyDigest whole, pieces;
        whole.Update(body.data(), body.size());
        pieces.Update(body.data(), cut);
        pieces.Update(body.data() + cut, body.size() - cut);
        EXPECT_TRUE(SameBody(body.size(), whole, body.size(), pieces)) << cut;
    }
}

TEST(BodyDigest, SameBodyNeedsEqualSizeAndContent) {
    auto same = [](const std::string& a, const std::string& b, std::uint64_t sizeB) {
        BodyDigest da, db;
        da.Update(a.data(), a.size());
        db.Update(b.data(), b.size());
        return SameBody(a.size(), da, sizeB, db);
    };
    EXPECT_TRUE(same("body\r\n", "body\r\n", 6));
    EXPECT_FALSE(same("body\r\n", "bodY\r\n", 6));
    EXPECT_FALSE(same("body\r\n", "body\r\n", 7));
    EXPECT_TRUE(same("", "", 0));
    // A digest that has ended (as one libcrypto could not make) is never
    // the same as anything, itself included.
    BodyDigest ended;
    BodyDigest::Value v{};
    ended.Final(v);
    BodyDigest empty;
    EXPECT_FALSE(SameBody(0, ended, 0, empty));
    ended.Reset();
    BodyDigest fresh;
    EXPECT_TRUE(SameBody(0, ended, 0, fresh)) << "Reset starts a digest over";
}

}  // namespace
