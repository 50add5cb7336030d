// Readings of report files kept for reuse, so that checking many files against
// one result tree reads each report once. A reading stands for one state of one
// file: it is found again only while the file's device, inode, size and change
// times are the ones it was read with (the caller also makes sure the file did
// not change while it was read). The least recently used go first when the
// byte budget is spent.
#pragma once

#include "scan.hpp"

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <utility>

namespace varkit::reportscan {

struct FileState {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long modified_ns = 0;
    long long changed_ns = 0;

    bool operator==(const FileState &other) const;
};

// The state of the regular file at `path`, or false.
bool file_state(const char *path, FileState &state);

// What a reading holds in memory, roughly: its text and its symbol names.
std::size_t footprint(const ScanOutcome &outcome);

// A complete reading, worth keeping: every report read to its end.
bool is_complete(const ScanOutcome &outcome);

template <typename Reading>
class ReadingMemo {
public:
    static constexpr std::size_t kBudgetBytes = std::size_t{256} << 20;

    // The reading of `path` in exactly `state`, or nullptr (a reading of an
    // earlier state is forgotten).
    std::shared_ptr<const Reading> find(const std::string &path, const FileState &state) {
        for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
            if (entry->path != path) {
                continue;
            }
            if (!(entry->state == state)) {
                bytes_ -= entry->bytes;
                entries_.erase(entry);
                return nullptr;
            }
            entries_.splice(entries_.begin(), entries_, entry);
            return entries_.front().reading;
        }
        return nullptr;
    }

    // Keeps `reading` of `path` in `state`, `bytes` large, unless it alone
    // exceeds the budget.
    void keep(const std::string &path, const FileState &state,
              std::shared_ptr<const Reading> reading, std::size_t bytes) {
        if (bytes > kBudgetBytes) {
            return;
        }
        forget(path);
        while (!entries_.empty() && bytes_ + bytes > kBudgetBytes) {
            bytes_ -= entries_.back().bytes;
            entries_.pop_back();
        }
        entries_.push_front(Entry{path, state, std::move(reading), bytes});
        bytes_ += bytes;
    }

private:
    struct Entry {
        std::string path;
        FileState state;
        std::shared_ptr<const Reading> reading;
        std::size_t bytes;
    };

    void forget(const std::string &path) {
        for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
            if (entry->path == path) {
                bytes_ -= entry->bytes;
                entries_.erase(entry);
                return;
            }
        }
    }

    std::list<Entry> entries_;  // most recently used first
    std::size_t bytes_ = 0;
};

}  // namespace varkit::reportscan
