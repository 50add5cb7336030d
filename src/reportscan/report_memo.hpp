// Reports already read, so that checking many files against one result tree
// reads each report once. An entry stands for one state of one file: it is
// found again only while the file's device, inode, size and change times are
// the ones it was read with, and the file must not have changed while it was
// read. The oldest entries go first when the budget is spent.
#pragma once

#include "scan.hpp"

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <sys/stat.h>

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

class ReportMemo {
public:
    static constexpr std::size_t kBudgetBytes = std::size_t{256} << 20;
    static constexpr std::size_t kLargestDocument = std::size_t{64} << 20;

    // The outcome read from `path` in exactly `state`, or nullptr.
    std::shared_ptr<const ScanOutcome> find(const std::string &path, const FileState &state);
    // Keeps `outcome`, read from `path` in `state`, when it is worth keeping: a
    // complete read of a document under kLargestDocument bytes.
    void keep(const std::string &path, const FileState &state,
              std::shared_ptr<const ScanOutcome> outcome);

private:
    struct Entry {
        std::string path;
        FileState state;
        std::shared_ptr<const ScanOutcome> outcome;
        std::size_t bytes;
    };
    std::list<Entry> entries_;  // most recently used first
    std::size_t bytes_ = 0;
};

}  // namespace varkit::reportscan
