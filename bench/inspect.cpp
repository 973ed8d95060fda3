/*
 * inspect.cpp - what listing an archive costs (Google Benchmark): the time
 * and memory of the archive lister over archives that a sender shapes to
 * exhaust a filter, so that both stay linear in what is read and bounded by
 * the limits.
 *
 *   BM_ListZipMembers/<members>   a zip of that many small members (1,000
 *                                 to 10,000, the default member limit):
 *                                 time per member must stay flat
 *   BM_ListZipOverMemberLimit     10,001 members: the listing stops at the
 *                                 limit, no dearer than the 10,000 above
 *   BM_ListZipBomb/<MiB>          one member of that many MiB of zeros
 *                                 (deflated to about 1/1000): past the
 *                                 unpacked-size limit (512 MiB) it stops on
 *                                 the declared size, before unpacking
 *   BM_ListNestedZips/<depth>     zips nested to that depth
 * Counters: members listed, and the growth of the process's peak resident
 * memory over the run (maxrss_kb); archives are built in memory with
 * libarchive's writer before the timing.
 */
#include <benchmark/benchmark.h>

#include <archive.h>
#include <archive_entry.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "inspect/archive_list.h"
#include "inspect/content_type.h"

namespace {

struct Member {
    std::string name;
    std::string data;
};

// A zip in memory holding `members` (deflated).
std::string MakeZip(const std::vector<Member>& members) {
    std::string out(64 * 1024 * 1024, '\0');
    std::size_t used = 0;
    archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    archive_write_open_memory(a, out.data(), out.size(), &used);
    for (const Member& m : members) {
        archive_entry* e = archive_entry_new();
        archive_entry_set_pathname(e, m.name.c_str());
        archive_entry_set_size(e, static_cast<la_int64_t>(m.data.size()));
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_perm(e, 0644);
        archive_write_header(a, e);
        archive_write_data(a, m.data.data(), m.data.size());
        archive_entry_free(e);
    }
    archive_write_close(a);
    archive_write_free(a);
    out.resize(used);
    return out;
}

std::string ManyMembers(int n) {
    std::vector<Member> members;
    members.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        members.push_back({"doc/file" + std::to_string(i) + ".txt", "line " + std::to_string(i)});
    return MakeZip(members);
}

long MaxRssKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

void List(benchmark::State& state, const std::string& zip) {
    const ArchiveLimits limits;
    const long before = MaxRssKb();
    std::size_t members = 0;
    bool unreadable = false;
    for (auto _ : state) {
        ArchiveListing listing;
        inspect_list_archive(zip.data(), zip.size(), "application/zip", "a.zip", limits, listing);
        members = listing.members.size();
        unreadable = listing.bUnreadable;
        benchmark::DoNotOptimize(listing);
    }
    state.counters["members"] = static_cast<double>(members);
    state.counters["unreadable"] = unreadable ? 1 : 0;
    state.counters["maxrss_kb"] = static_cast<double>(MaxRssKb() - before);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(members));
}

void BM_ListZipMembers(benchmark::State& state) {
    static std::string zips[16];
    std::string& zip = zips[state.range(0) / 1000];
    if (zip.empty())
        zip = ManyMembers(static_cast<int>(state.range(0)));
    List(state, zip);
}
BENCHMARK(BM_ListZipMembers)->Arg(1000)->Arg(5000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_ListZipOverMemberLimit(benchmark::State& state) {
    static const std::string zip = ManyMembers(static_cast<int>(ARCHIVE_MAX_MEMBERS) + 1);
    List(state, zip);
}
BENCHMARK(BM_ListZipOverMemberLimit)->Unit(benchmark::kMillisecond);

void BM_ListZipBomb(benchmark::State& state) {
    const std::string zip =
        MakeZip({{"zeros.bin", std::string(static_cast<std::size_t>(state.range(0)) << 20, '\0')}});
    state.counters["zip_bytes"] = static_cast<double>(zip.size());
    List(state, zip);
}
BENCHMARK(BM_ListZipBomb)->Arg(64)->Arg(1024)->Unit(benchmark::kMillisecond);

void BM_ListNestedZips(benchmark::State& state) {
    std::string zip = MakeZip({{"setup.exe", "MZ program"}});
    for (int level = 1; level < state.range(0); ++level)
        zip = MakeZip({{"level" + std::to_string(level) + ".zip", zip}});
    List(state, zip);
}
BENCHMARK(BM_ListNestedZips)->Arg(2)->Arg(8)->Arg(9)->Unit(benchmark::kMillisecond);

}  // namespace
