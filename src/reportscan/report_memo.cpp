#include "report_memo.hpp"

#include <algorithm>

namespace varkit::reportscan {

namespace {

long long nanoseconds(const struct timespec &time) {
    return static_cast<long long>(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

std::size_t footprint(const ScanOutcome &outcome) {
    std::size_t bytes = sizeof(ScanOutcome);
    for (const ReportOutput &report : outcome.reports) {
        for (const std::string &piece : report.text) {
            bytes += piece.size() + sizeof(std::string);
        }
        for (const Section &section : report.result) {
            for (const Record &record : section) {
                bytes += sizeof(Record) + (record.header_name ? record.header_name->size() : 0);
                for (const OptStr &symbol : record.symbols) {
                    bytes += sizeof(OptStr) + (symbol ? symbol->size() : 0);
                }
            }
        }
    }
    return bytes;
}

}  // namespace

bool FileState::operator==(const FileState &other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified_ns == other.modified_ns && changed_ns == other.changed_ns;
}

bool file_state(const char *path, FileState &state) {
    struct stat info {};
    if (::stat(path, &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    state.device = info.st_dev;
    state.inode = info.st_ino;
    state.size = info.st_size;
    state.modified_ns = nanoseconds(info.st_mtim);
    state.changed_ns = nanoseconds(info.st_ctim);
    return true;
}

std::shared_ptr<const ScanOutcome> ReportMemo::find(const std::string &path, const FileState &state) {
    auto entry = std::find_if(entries_.begin(), entries_.end(),
                              [&](const Entry &e) { return e.path == path; });
    if (entry == entries_.end()) {
        return nullptr;
    }
    if (!(entry->state == state)) {  // the file changed since: forget the old reading
        bytes_ -= entry->bytes;
        entries_.erase(entry);
        return nullptr;
    }
    entries_.splice(entries_.begin(), entries_, entry);
    return entries_.front().outcome;
}

void ReportMemo::keep(const std::string &path, const FileState &state,
                      std::shared_ptr<const ScanOutcome> outcome) {
    if (outcome->status != ScanOutcome::Status::Ok ||
        static_cast<std::size_t>(state.size) > kLargestDocument) {
        return;
    }
    for (const ReportOutput &report : outcome->reports) {
        if (report.failed) {
            return;
        }
    }
    const std::size_t bytes = footprint(*outcome);
    if (bytes > kBudgetBytes) {
        return;
    }
    entries_.remove_if([&](const Entry &e) {
        if (e.path == path) {
            bytes_ -= e.bytes;
            return true;
        }
        return false;
    });
    while (!entries_.empty() && bytes_ + bytes > kBudgetBytes) {
        bytes_ -= entries_.back().bytes;
        entries_.pop_back();
    }
    entries_.push_front(Entry{path, state, std::move(outcome), bytes});
    bytes_ += bytes;
}

}  // namespace varkit::reportscan
