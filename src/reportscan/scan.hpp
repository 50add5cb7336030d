// The native core of varkit.reportscan: one streaming SAX2 pass over a report document.
//
// For every `report` element (in document order) it produces its printed text and its
// report result. No Python here: the fuzz target links this alone. The Python side
// (read_document.cpp) prints the text, logs the first failure and builds the result objects.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace varkit::reportscan {

using OptStr = std::optional<std::string>;  // nullopt = Python None

// The problem severities, in the order a report's sections are read.
inline constexpr std::array<const char *, 4> kSeverities = {"High", "Medium", "Low", "Safe"};

struct Record {  // header record {"header_name", "affected_symbols"}
    OptStr header_name;
    std::vector<OptStr> symbols;  // a set in Python: duplicates collapse there
};
using Section = std::vector<Record>;

// One report as parse_report would treat it: the lines it prints (without the
// separator reportscan prints first) and its result; when `failed`, the text
// stops where the Python reader raised and `error` is str() of that exception.
struct ReportOutput {
    std::vector<std::string> text;  // printed text, in pieces (moved, never copied together)
    std::vector<Section> result;
    bool failed = false;
    std::string error;
};

struct ScanOutcome {
    enum class Status {
        Ok,        // `reports` holds every report (the first failing one ends the list)
        Delegate,  // not for the fast path: a syntax error, a DOCTYPE/entity, a resource
                   // limit, an unreadable file... The caller redoes the call with lxml,
                   // which gives the exact outcome (error text included).
        NoMemory,
    };
    Status status = Status::Ok;
    std::vector<ReportOutput> reports;
};

// What a scan produces besides the results: the printed text, or only the results
// (a caller that prints nothing; the reports' `text` is then left incomplete).
enum class Printing { Text, ResultsOnly };

// The document in memory (an HTTP body).
ScanOutcome scan_memory(const char *data, std::size_t size, Printing printing = Printing::Text);
// The file at `path` (bytes as the OS takes them); any open/read failure delegates.
ScanOutcome scan_file(const char *path, Printing printing = Printing::Text);

}  // namespace varkit::reportscan
