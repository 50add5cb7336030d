#include "report_memo.hpp"

namespace varkit::reportscan {

namespace {

long long nanoseconds(const struct timespec &time) {
    return static_cast<long long>(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

}  // namespace

std::size_t result_footprint(const ScanOutcome &outcome) {
    std::size_t bytes = sizeof(ScanOutcome);
    for (const ReportOutput &report : outcome.reports) {
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

std::size_t text_footprint(const ScanOutcome &outcome) {
    std::size_t bytes = 0;
    for (const ReportOutput &report : outcome.reports) {
        for (const std::string &piece : report.text) {
            bytes += piece.size();
        }
    }
    return bytes;
}

bool FileState::operator==(const FileState &other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified_ns == other.modified_ns && changed_ns == other.changed_ns;
}

bool file_state(const char *path, FileState &state) {
    struct stat info{};
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

bool is_complete(const ScanOutcome &outcome) {
    if (outcome.status != ScanOutcome::Status::Ok) {
        return false;
    }
    for (const ReportOutput &report : outcome.reports) {
        if (report.failed) {
            return false;
        }
    }
    return true;
}

}  // namespace varkit::reportscan
