/*
 * fldtable.cpp - the table of known header fields and the lookups on it.
 *
 *   mailhdr_init() -> 0, mailhdr_exit()      kept for the callers' life cycle
 *   mailhdr_getfldid(name) -> 0..49          49 for names outside the table
 *   mailhdr_getfldid_line(line) -> 0..49     name before the first colon
 *   mailhdr_getfldtype(id) -> FLDTYPE_*      0 outside 0..49
 *   mailhdr_getfldname(id) -> name or null
 *
 * The table rows keep their historical order, in which a few identifiers
 * are not in row order (Mime-Version, Content-Type, Supersedes, Precedence,
 * X-ZANOnTour, X-ZANLocalGen); the identifier decides everything else.
 *
 * Every line of every mail is looked up here, so the lookup does not walk
 * the rows comparing names: a case-folding hash of the name picks a slot of
 * a small open-addressed index built at compile time. The table holds no two
 * names equal under case folding (checked at compile time), so the one row
 * the index finds is the row a walk in row order would have found first.
 * The by-identifier name and type arrays are built at compile time as well:
 * nothing is written at run time, so lookups are safe from any thread, even
 * before mailhdr_init.
 *
 * Limits: mailhdr_getfldid_line reads MAILHDR_FLDID_LINE_MAX characters at
 * most; a name longer than MAX_TABLE_NAME is outside the table without
 * being hashed.
 */
#include "mailhdr/mailhdr_impl.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace {

struct FldRow {
    const char* name;
    int id;
    int type;
};

constexpr FldRow FLD_TABLE[] = {
    {"Return-Path", 0, FLDTYPE_TEXT},
    {"Received", 1, FLDTYPE_TEXTLIST},
    {"Date", 2, FLDTYPE_TEXT},
    {"From", 3, FLDTYPE_ADDR},
    {"Subject", 4, FLDTYPE_TEXT},
    {"Sender", 5, FLDTYPE_ADDR},
    {"To", 6, FLDTYPE_ADDRLIST},
    {"Cc", 7, FLDTYPE_ADDRLIST},
    {"Reply-To", 8, FLDTYPE_ADDRLIST},
    {"Resent-Reply-To", 9, FLDTYPE_ADDRLIST},
    {"Resent-Sender", 10, FLDTYPE_ADDR},
    {"Resent-From", 11, FLDTYPE_ADDR},
    {"Resent-Date", 12, FLDTYPE_TEXT},
    {"Resent-To", 13, FLDTYPE_ADDRLIST},
    {"Resent-Cc", 14, FLDTYPE_ADDRLIST},
    {"Bcc", 15, FLDTYPE_ADDRLIST},
    {"Resent-Bcc", 16, FLDTYPE_ADDRLIST},
    {"Message-Id", 17, FLDTYPE_TEXT},
    {"Resent-Message-Id", 18, FLDTYPE_TEXT},
    {"In-Reply-To", 19, FLDTYPE_TEXT},
    {"References", 20, FLDTYPE_TEXT},
    {"Keywords", 21, FLDTYPE_TEXT},
    {"Comment", 22, FLDTYPE_TEXT},
    {"Encrypted", 23, FLDTYPE_TEXT},
    {"Apparently-To", 24, FLDTYPE_ADDRLIST},
    {"Apparently-From", 25, FLDTYPE_ADDR},
    {"Expires", 26, FLDTYPE_TEXT},
    {"Mail-Reply-To", 27, FLDTYPE_ADDRLIST},
    {"Mail-Followup-To", 28, FLDTYPE_ADDRLIST},
    {"Mime-Version", 31, FLDTYPE_TEXT},
    {"Content-Type", 32, FLDTYPE_TEXTLIST},
    {"Supersedes", 29, FLDTYPE_TEXT},
    {"Precedence", 30, FLDTYPE_TEXT},
    {"X-Envelope-From", 33, FLDTYPE_ADDR},
    {"X-Envelope-To", 34, FLDTYPE_ADDRLIST},
    {"X-ZANRecTime", 35, FLDTYPE_TEXT},
    {"X-ZANCtrl", 36, FLDTYPE_TEXT},
    {"X-ZANId", 37, FLDTYPE_TEXTLIST},
    {"X-ZANOnTour", 39, FLDTYPE_TEXTLIST},
    {"X-ZANLocalGen", 38, FLDTYPE_TEXT},
    {"X-ZANRelayed", 40, FLDTYPE_TEXT},
    {"X-ZANAntiSpam", 41, FLDTYPE_TEXT},
    {"X-ZANLocalAssing", 42, FLDTYPE_TEXT},
    {"X-Priority", 43, FLDTYPE_TEXT},
    {"X-VaveRiz4Zan", 44, FLDTYPE_TEXTLIST},
    {"Content-Transfer-Encoding", 45, FLDTYPE_TEXT},
    {"Content-Disposition", 46, FLDTYPE_TEXT},
    {"Content-Location", 47, FLDTYPE_TEXT},
    {"X-ENTRYID", 48, FLDTYPE_TEXT},
    {mailhdr_impl::OTHER_NAME, MAILHDR_FLD_OTHER, FLDTYPE_TEXTLIST},
};
constexpr std::size_t N_ROWS = sizeof(FLD_TABLE) / sizeof(FLD_TABLE[0]);
static_assert(N_ROWS == MAILHDR_NFLDS, "one row per identifier");

constexpr std::size_t const_strlen(const char* s) {
    std::size_t n = 0;
    while (s[n] != '\0')
        ++n;
    return n;
}

constexpr std::array<std::size_t, N_ROWS> ROW_LEN = [] {
    std::array<std::size_t, N_ROWS> len{};
    for (std::size_t row = 0; row < N_ROWS; ++row)
        len[row] = const_strlen(FLD_TABLE[row].name);
    return len;
}();

// Longest table name ("Content-Transfer-Encoding"); longer names need no hash.
constexpr std::size_t MAX_TABLE_NAME = [] {
    std::size_t longest = 0;
    for (std::size_t n : ROW_LEN) {
        if (n > longest)
            longest = n;
    }
    return longest;
}();

// A case-folding hash of the length and four bytes (first, middle and the
// last two): the same value for "FROM" and "from". Every line of every mail
// is looked up, and the table names differ enough in these bytes that a
// hash over all bytes (a multiply per byte, 25 for
// "Content-Transfer-Encoding") bought nothing but time; probes stay at most
// MAX_PROBES long (checked below).
constexpr std::uint32_t fold_byte(const char* s, std::size_t i, unsigned shift) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(mailhdr_impl::ascii_lower(s[i])))
           << shift;
}

constexpr std::uint32_t fold_hash(const char* s, std::size_t n) {
    std::uint32_t h = static_cast<std::uint32_t>(n) * 0x9E3779B1u;
    h ^= fold_byte(s, 0, 0) ^ fold_byte(s, n / 2, 8) ^ fold_byte(s, n - 1, 16) ^
         fold_byte(s, n >= 2 ? n - 2 : 0, 24);
    return (h * 0x85EBCA6Bu) >> 25;  // the top bits mix all of the above
}

// Open-addressed index of row numbers, -1 for an empty slot. Sized so that
// probes stay short (50 rows in 128 slots).
constexpr std::size_t INDEX_SLOTS = 128;
static_assert((INDEX_SLOTS & (INDEX_SLOTS - 1)) == 0, "mask needs a power of two");
static_assert(INDEX_SLOTS > 2 * N_ROWS, "load factor below one half");

constexpr std::array<std::int8_t, INDEX_SLOTS> NAME_INDEX = [] {
    std::array<std::int8_t, INDEX_SLOTS> index{};
    for (auto& slot : index)
        slot = -1;
    for (std::size_t row = 0; row < N_ROWS; ++row) {
        const char* name = FLD_TABLE[row].name;
        std::size_t slot = fold_hash(name, ROW_LEN[row]) & (INDEX_SLOTS - 1);
        while (index[slot] >= 0)
            slot = (slot + 1) & (INDEX_SLOTS - 1);
        index[slot] = static_cast<std::int8_t>(row);
    }
    return index;
}();

// The index answers like a walk in row order only while no name repeats.
constexpr bool names_unique_under_folding() {
    for (std::size_t a = 0; a < N_ROWS; ++a) {
        for (std::size_t b = a + 1; b < N_ROWS; ++b) {
            if (ROW_LEN[a] == ROW_LEN[b] &&
                mailhdr_impl::ascii_ieq_n(FLD_TABLE[a].name, FLD_TABLE[b].name, ROW_LEN[a])) {
                return false;
            }
        }
    }
    return true;
}
static_assert(names_unique_under_folding(), "table names must differ beyond letter case");

// Longest run of slots a lookup of a table name walks past before its own.
constexpr std::size_t MAX_PROBES = 4;

constexpr bool probes_short() {
    for (std::size_t row = 0; row < N_ROWS; ++row) {
        std::size_t slot = fold_hash(FLD_TABLE[row].name, ROW_LEN[row]) & (INDEX_SLOTS - 1);
        std::size_t n = 0;
        while (NAME_INDEX[slot] != static_cast<std::int8_t>(row)) {
            slot = (slot + 1) & (INDEX_SLOTS - 1);
            if (++n > MAX_PROBES)
                return false;
        }
    }
    return true;
}
static_assert(probes_short(), "the hash spreads the table names too little");

// The table names in lower case, each padded with zeros to whole 8-byte
// words, so that a lookup compares a word of the name at a time.
constexpr std::size_t NAME_WORDS = (MAX_TABLE_NAME + 7) / 8;

struct LowerNames {
    char text[N_ROWS][NAME_WORDS * 8];
};

constexpr LowerNames LOWER_NAMES = [] {
    LowerNames lower{};
    for (std::size_t row = 0; row < N_ROWS; ++row) {
        for (std::size_t i = 0; i < ROW_LEN[row]; ++i)
            lower.text[row][i] = mailhdr_impl::ascii_lower(FLD_TABLE[row].name[i]);
    }
    return lower;
}();

// Eight bytes with A-Z turned into a-z and every other byte (8-bit bytes
// included) left as it is: what ascii_lower does, a word at a time.
inline std::uint64_t lower_word(std::uint64_t x) {
    constexpr std::uint64_t ONES = 0x0101010101010101ULL;
    constexpr std::uint64_t HIGH = 0x8080808080808080ULL;
    const std::uint64_t low7 = x & ~HIGH;
    const std::uint64_t geA = low7 + (0x80 - 'A') * ONES;  // high bit: byte >= 'A'
    const std::uint64_t gtZ = low7 + (0x7F - 'Z') * ONES;  // high bit: byte > 'Z'
    const std::uint64_t upper = (geA ^ gtZ) & ~x & HIGH;   // 7-bit bytes in A..Z
    return x | (upper >> 2);                               // 0x80 >> 2 is the case bit
}

// True when the `len` bytes of `name` equal row `row`'s name, A-Z case
// ignored; `len` is the row's length.
inline bool name_is_row(const char* name, std::size_t len, std::size_t row) {
    const char* table = LOWER_NAMES.text[row];
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        std::uint64_t a, b;
        std::memcpy(&a, name + i, 8);
        std::memcpy(&b, table + i, 8);
        if (lower_word(a) != b)
            return false;
    }
    if (i == len)
        return true;
    std::uint64_t a = 0, b;
    std::memcpy(&a, name + i, len - i);  // the rest of the name, zero-padded
    std::memcpy(&b, table + i, 8);       // like the table's padding
    return lower_word(a) == b;
}

struct ByIdArrays {
    const char* name[MAILHDR_NFLDS];
    std::size_t len[MAILHDR_NFLDS];
    int type[MAILHDR_NFLDS];
};

constexpr ByIdArrays BY_ID = [] {
    ByIdArrays a{};
    for (std::size_t row = 0; row < N_ROWS; ++row) {
        a.name[FLD_TABLE[row].id] = FLD_TABLE[row].name;
        a.len[FLD_TABLE[row].id] = ROW_LEN[row];
        a.type[FLD_TABLE[row].id] = FLD_TABLE[row].type;
    }
    return a;
}();

constexpr bool every_id_has_a_row() {
    for (const char* name : BY_ID.name) {
        if (name == nullptr)
            return false;
    }
    return true;
}
static_assert(every_id_has_a_row(), "identifiers 0..49 each need a row");

}  // namespace

int mailhdr_impl::lookup_fldid(const char* name, std::size_t len) {
    if (name == nullptr || len == 0 || len > MAX_TABLE_NAME)
        return MAILHDR_FLD_OTHER;
    std::size_t slot = fold_hash(name, len) & (INDEX_SLOTS - 1);
    for (; NAME_INDEX[slot] >= 0; slot = (slot + 1) & (INDEX_SLOTS - 1)) {
        const int row = NAME_INDEX[slot];
        if (ROW_LEN[row] == len && name_is_row(name, len, static_cast<std::size_t>(row))) {
            return FLD_TABLE[row].id;
        }
    }
    return MAILHDR_FLD_OTHER;
}

std::size_t mailhdr_impl::table_name_len(int id) {
    return BY_ID.len[id];
}

extern "C" {

int mailhdr_init(void) {
    return 0;
}

void mailhdr_exit(void) {}

MAILWARD_API int MAILWARD_CALL mailhdr_getfldid(const char* name) {
    if (name == nullptr)
        return MAILHDR_FLD_OTHER;
    return mailhdr_impl::lookup_fldid(name, std::strlen(name));
}

int mailhdr_getfldid_line(const char* line) {
    if (line == nullptr)
        return MAILHDR_FLD_OTHER;
    // Bounded scan: a hostile line without a colon is not read to its end.
    std::size_t len = 0;
    while (len < MAILHDR_FLDID_LINE_MAX && line[len] != '\0' && line[len] != ':')
        ++len;
    return mailhdr_impl::lookup_fldid(line, len);
}

int mailhdr_getfldtype(int id) {
    if (id < 0 || id >= MAILHDR_NFLDS)
        return FLDTYPE_TEXT;
    return BY_ID.type[id];
}

MAILWARD_API const char* MAILWARD_CALL mailhdr_getfldname(int id) {
    if (id < 0 || id >= MAILHDR_NFLDS) {
        bugmsg("mailhdr_getfldname: called with illegal parameter");
        return nullptr;
    }
    return BY_ID.name[id];
}

}  // extern "C"
