/*
 * mta_header.cpp - header changes in the MTA's own counting.
 */
#include "mta_header.h"

#include <algorithm>
#include <map>

#include "common/text.h"

namespace {

bool Named(const HeaderField& f, const std::vector<std::string>& names) {
    return std::any_of(names.begin(), names.end(),
                       [&f](const std::string& n) { return SameFieldName(f.name, n); });
}

// Postfix's own Received field, the first field it shows, when there is
// one.
bool HidesOwnReceived(MtaKind mta, const std::vector<HeaderField>& received) {
    return mta == MtaKind::Postfix && !received.empty() &&
           SameFieldName(received[0].name, "Received");
}

// The changes in `ops` counted as the MTA counts its own Received field: one
// more occurrence of every Received field changed or deleted, and one more
// field above every insert (the field stands on top).
void CountOwnReceived(std::vector<HeaderOp>& ops) {
    for (HeaderOp& op : ops) {
        if (op.kind == HeaderOpKind::Insert ||
            (op.kind != HeaderOpKind::Append && SameFieldName(op.name, "Received")))
            ++op.index;
    }
}

}  // namespace

std::vector<HeaderOp> HeaderChanges(MtaKind mta, const std::vector<HeaderField>& received,
                                    std::vector<HeaderField> written,
                                    const std::vector<std::string>& dropped) {
    std::vector<HeaderField> before = received;
    const bool hidden = HidesOwnReceived(mta, received);
    if (hidden) {
        before.erase(before.begin());
        const auto own = std::find_if(written.begin(), written.end(), [](const HeaderField& f) {
            return SameFieldName(f.name, "Received");
        });
        if (own != written.end())
            written.erase(own);
    }
    written.erase(std::remove_if(written.begin(), written.end(),
                                 [&dropped](const HeaderField& f) { return Named(f, dropped); }),
                  written.end());
    if (mta == MtaKind::Other) {
        // A value that cannot equal any written one: every field that would
        // be kept is set again (see the file comment).
        for (HeaderField& f : before)
            f.value.insert(0, 1, '\0');
    }
    std::vector<HeaderOp> ops = DiffHeaders(before, written);
    if (hidden)
        CountOwnReceived(ops);
    return ops;
}

std::vector<HeaderOp> FieldRemovals(const std::vector<HeaderField>& received,
                                    const std::vector<std::string>& dropped) {
    // Occurrences as the MTA counts them: every field it showed, its own
    // Received field too.
    std::map<std::string, int> seen;
    std::vector<HeaderOp> removals;
    for (const HeaderField& f : received) {
        const int occurrence = ++seen[kit::ascii_lower(f.name)];
        if (Named(f, dropped))
            removals.push_back({HeaderOpKind::Delete, f.name, occurrence, ""});
    }
    // From the last up, so that no deletion shifts one still to come.
    std::reverse(removals.begin(), removals.end());
    return removals;
}
