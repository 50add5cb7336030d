// Readings of report files kept for reuse, so that checking many files against
// one result tree reads each report once. A reading stands for one state of one
// file: it is found again only while the file's device, inode, size and change
// times are the ones it was read with (the caller also makes sure the file did
// not change while it was read). The least recently used go first when a
// budget is spent.
#pragma once

#include "scan.hpp"

#include <cstddef>
#include <iterator>
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

// What a reading holds in memory, roughly: its symbol names (the result) and
// its printed text.
std::size_t result_footprint(const ScanOutcome &outcome);
std::size_t text_footprint(const ScanOutcome &outcome);

// A complete reading, worth keeping: every report read to its end.
bool is_complete(const ScanOutcome &outcome);

struct MemoStats {
    std::size_t readings = 0, result_bytes = 0, text_bytes = 0, hits = 0;
};

// `Reading` has drop_text(): its printed text is let go, its result kept.
template <typename Reading>
class ReadingMemo {
public:
    // A check needs a report's result for every file that requires the
    // library: results stay for the run within this budget. The printed text
    // is needed only when a reading is printed again, so it has a smaller
    // budget of its own; the least recently used text goes first.
    static constexpr std::size_t kResultBudgetBytes = std::size_t{512} << 20;
    static constexpr std::size_t kTextBudgetBytes = std::size_t{64} << 20;

    // The reading of `path` in exactly `state`, or nullptr (a reading of an
    // earlier state is forgotten). `with_text`: only a reading that still has
    // its text will do (the caller prints it).
    std::shared_ptr<const Reading> find(const std::string &path, const FileState &state,
                                        bool with_text) {
        for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
            if (entry->path != path) {
                continue;
            }
            if (!(entry->state == state)) {
                erase(entry);
                return nullptr;
            }
            if (with_text && !entry->has_text) {
                return nullptr;  // read again, and kept anew with its text
            }
            entries_.splice(entries_.begin(), entries_, entry);
            ++hits_;
            return entries_.front().reading;
        }
        return nullptr;
    }

    // Keeps `reading` of `path` in `state`, unless its result alone exceeds
    // the result budget; its text only while the text budget allows.
    void keep(const std::string &path, const FileState &state, std::shared_ptr<Reading> reading,
              std::size_t result_bytes, std::size_t text_bytes) {
        if (result_bytes > kResultBudgetBytes) {
            return;
        }
        for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
            if (entry->path == path) {
                erase(entry);
                break;
            }
        }
        while (!entries_.empty() && result_bytes_ + result_bytes > kResultBudgetBytes) {
            erase(std::prev(entries_.end()));
        }
        const bool has_text = text_bytes <= kTextBudgetBytes;
        if (!has_text) {
            reading->drop_text();
        }
        entries_.push_front(Entry{path, state, std::move(reading), result_bytes,
                                  has_text ? text_bytes : 0, has_text});
        result_bytes_ += result_bytes;
        text_bytes_ += entries_.front().text_bytes;
        for (auto entry = entries_.rbegin();
             text_bytes_ > kTextBudgetBytes && entry != entries_.rend(); ++entry) {
            if (entry->has_text) {
                entry->reading->drop_text();
                text_bytes_ -= entry->text_bytes;
                entry->text_bytes = 0;
                entry->has_text = false;
            }
        }
    }

    MemoStats stats() const { return {entries_.size(), result_bytes_, text_bytes_, hits_}; }

private:
    struct Entry {
        std::string path;
        FileState state;
        std::shared_ptr<Reading> reading;
        std::size_t result_bytes, text_bytes;
        bool has_text;
    };

    void erase(typename std::list<Entry>::iterator entry) {
        result_bytes_ -= entry->result_bytes;
        text_bytes_ -= entry->text_bytes;
        entries_.erase(entry);
    }

    std::list<Entry> entries_;  // most recently used first
    std::size_t result_bytes_ = 0, text_bytes_ = 0, hits_ = 0;
};

}  // namespace varkit::reportscan
