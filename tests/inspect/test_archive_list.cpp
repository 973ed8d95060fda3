/*
 * test_archive_list.cpp - types of bytes and archive listings on the
 * fixtures of make_content_fixtures.py: every format the rules look into,
 * nesting, encryption, damage, and each limit at and one past its bound.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "inspect/archive_list.h"
#include "inspect/content_type.h"
#include "support/content_fixtures.h"

namespace {

using testkit::ContentFixture;

constexpr const char* PE_TYPE = "application/vnd.microsoft.portable-executable";

ArchiveListing List(const std::string& name, const ArchiveLimits& limits = ArchiveLimits()) {
    const std::string bytes = ContentFixture(name);
    EXPECT_FALSE(bytes.empty()) << name;
    ArchiveListing listing;
    EXPECT_TRUE(inspect_list_archive(bytes.data(), bytes.size(),
                                     inspect_type_of(bytes.data(), bytes.size()), name, limits,
                                     listing))
        << name << " is not taken for an archive";
    return listing;
}

const ArchiveMember* Find(const ArchiveListing& listing, const std::string& path) {
    auto it = std::find_if(listing.members.begin(), listing.members.end(),
                           [&](const ArchiveMember& m) { return m.strPath == path; });
    return it == listing.members.end() ? nullptr : &*it;
}

TEST(ContentType, ProgramsAreKnownByTheirBytesWhateverTheirName) {
    for (const char* name : {"setup.exe", "holiday.jpg"}) {
        const std::string bytes = ContentFixture(name);
        const std::string type = inspect_type_of(bytes.data(), bytes.size());
        EXPECT_EQ(type, PE_TYPE) << name;
        EXPECT_TRUE(inspect_is_executable(type));
    }
    const std::string text = ContentFixture("notes.txt");
    EXPECT_EQ(inspect_type_of(text.data(), text.size()), "text/plain");
    EXPECT_EQ(inspect_type_of("", 0), "application/x-empty");
    const std::string xls = ContentFixture("macro.xls");
    EXPECT_EQ(inspect_type_of(xls.data(), xls.size()), "application/vnd.ms-excel");
}

TEST(ContentType, AProgramHidesOnlyBehindAnExtensionThatIsNoProgramsOwn) {
    EXPECT_TRUE(inspect_hides_executable("holiday.jpg", PE_TYPE));
    EXPECT_TRUE(inspect_hides_executable("invoice.PDF", "application/x-dosexec"));
    EXPECT_TRUE(inspect_hides_executable("dir/report.doc", "application/x-executable"));
    EXPECT_FALSE(inspect_hides_executable("setup.EXE", PE_TYPE));
    EXPECT_FALSE(inspect_hides_executable("helper.dll", PE_TYPE));
    EXPECT_FALSE(inspect_hides_executable("README", PE_TYPE));  // no extension
    EXPECT_FALSE(inspect_hides_executable("holiday.jpg", "image/jpeg"));
    EXPECT_EQ(inspect_extension("a.tar.GZ"), "gz");
    EXPECT_EQ(inspect_extension("dir.x/name"), "");
    EXPECT_EQ(inspect_extension("trailing."), "");
}

TEST(ContentType, EncryptedPdfIsToldFromAPlainOne) {
    const std::string plain =
        "%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\ntrailer << /Root 1 0 R >>\n";
    const std::string locked =
        "%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\n"
        "trailer << /Root 1 0 R /Encrypt 2 0 R >>\n";
    EXPECT_EQ(inspect_type_of(plain.data(), plain.size()), "application/pdf");
    EXPECT_FALSE(inspect_is_encrypted_document("application/pdf", plain.data(), plain.size()));
    EXPECT_TRUE(inspect_is_encrypted_document("application/pdf", locked.data(), locked.size()));
    EXPECT_FALSE(inspect_is_encrypted_document("text/plain", locked.data(), locked.size()));
}

TEST(ArchiveList, EveryFormatShowsItsMembersAndTheirTypes) {
    for (const char* name : {"docs.zip", "docs64.zip", "docs.7z", "docs.tar.gz"}) {
        SCOPED_TRACE(name);
        const ArchiveListing listing = List(name);
        EXPECT_FALSE(listing.bUnreadable) << listing.strProblem;
        EXPECT_FALSE(listing.bEncrypted);
        ASSERT_EQ(listing.members.size(), 2u);
        const ArchiveMember* exe = Find(listing, "setup.exe");
        ASSERT_NE(exe, nullptr);
        EXPECT_EQ(exe->strType, PE_TYPE);
        EXPECT_EQ(exe->nDepth, 1);
        const ArchiveMember* text = Find(listing, "notes.txt");
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(text->strType, "text/plain");
    }
}

TEST(ArchiveList, ACompressedFileWithoutTarIsOneMemberNamedAfterTheFile) {
    const ArchiveListing listing = List("setup.exe.gz");
    EXPECT_FALSE(listing.bUnreadable) << listing.strProblem;
    ASSERT_EQ(listing.members.size(), 1u);
    EXPECT_EQ(listing.members[0].strName, "setup.exe");
    EXPECT_EQ(listing.members[0].strType, PE_TYPE);
}

TEST(ArchiveList, NestedArchivesAreListedWithTheirPath) {
    const ArchiveListing listing = List("nested.zip");
    EXPECT_FALSE(listing.bUnreadable) << listing.strProblem;
    const ArchiveMember* inner = Find(listing, "inner.zip");
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->strType, "application/zip");
    const ArchiveMember* exe = Find(listing, "inner.zip/setup.exe");
    ASSERT_NE(exe, nullptr);
    EXPECT_EQ(exe->strName, "setup.exe");
    EXPECT_EQ(exe->nDepth, 2);
    EXPECT_EQ(exe->strType, PE_TYPE);
}

TEST(ArchiveList, EncryptedAndDamagedArchivesAreOutcomesNeverClean) {
    const ArchiveListing secret = List("secret.zip");
    EXPECT_TRUE(secret.bEncrypted);
    ASSERT_EQ(secret.members.size(), 1u);
    EXPECT_EQ(secret.members[0].strName, "notes.txt");  // the name is not encrypted
    EXPECT_TRUE(secret.members[0].bEncrypted);

    const ArchiveListing damaged = List("damaged.zip");
    EXPECT_TRUE(damaged.bUnreadable);
    EXPECT_FALSE(damaged.strProblem.empty());

    const ArchiveListing plain = List("plain.zip");
    EXPECT_FALSE(plain.bEncrypted);
    EXPECT_FALSE(plain.bUnreadable) << plain.strProblem;

    ArchiveListing none;
    const std::string text = ContentFixture("notes.txt");
    EXPECT_FALSE(inspect_list_archive(text.data(), text.size(), "text/plain", "notes.txt",
                                      ArchiveLimits(), none));
    EXPECT_TRUE(none.members.empty());
}

TEST(ArchiveList, MemberLimitHoldsAtItsBoundAndStopsOnePast) {
    ArchiveLimits limits;
    limits.nMaxMembers = 10;
    const ArchiveListing at = List("members-10.zip", limits);
    EXPECT_FALSE(at.bUnreadable) << at.strProblem;
    EXPECT_EQ(at.members.size(), 10u);
    const ArchiveListing past = List("members-11.zip", limits);
    EXPECT_TRUE(past.bUnreadable);
    EXPECT_NE(past.strProblem.find("more than 10 members"), std::string::npos) << past.strProblem;
    EXPECT_EQ(past.members.size(), 10u);
}

TEST(ArchiveList, DepthLimitHoldsAtItsBoundAndStopsOnePast) {
    ArchiveLimits limits;
    limits.nMaxDepth = 2;
    const ArchiveListing at = List("depth-2.zip", limits);
    EXPECT_FALSE(at.bUnreadable) << at.strProblem;
    EXPECT_NE(Find(at, "level1.zip/setup.exe"), nullptr);
    const ArchiveListing past = List("depth-3.zip", limits);
    EXPECT_TRUE(past.bUnreadable);
    EXPECT_NE(past.strProblem.find("nested deeper than 2"), std::string::npos) << past.strProblem;
    // What lies above the limit is still listed.
    EXPECT_NE(Find(past, "level2.zip/level1.zip"), nullptr);
    EXPECT_EQ(Find(past, "level2.zip/level1.zip/setup.exe"), nullptr);
}

TEST(ArchiveList, UnpackedSizeLimitHoldsAtItsBoundAndStopsABombUnpacked) {
    constexpr std::uint64_t BOMB = 64ull * 1024 * 1024;  // make_content_fixtures.py
    ArchiveLimits limits;
    limits.nMaxUnpacked = BOMB;
    const ArchiveListing at = List("bomb.zip", limits);
    EXPECT_FALSE(at.bUnreadable) << at.strProblem;
    EXPECT_EQ(at.nUnpacked, BOMB);
    limits.nMaxUnpacked = BOMB - 1;
    const ArchiveListing past = List("bomb.zip", limits);
    EXPECT_TRUE(past.bUnreadable);
    EXPECT_NE(past.strProblem.find("unpacked size above"), std::string::npos) << past.strProblem;
}

}  // namespace
