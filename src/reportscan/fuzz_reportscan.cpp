// libFuzzer target over the native core of varkit.reportscan (scan.hpp, no Python).
//   cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DVARKIT_FUZZ=ON ...
//   build/fuzz/src/reportscan/fuzz_reportscan -dict=src/reportscan/fuzz_reportscan.dict CORPUS
// Besides the sanitizers' checks, it asserts the shape of every outcome.
#include "scan.hpp"

#include <cstdint>
#include <cstdlib>
#include <libxml/parser.h>

using varkit::reportscan::ScanOutcome;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    xmlInitParser();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ScanOutcome outcome =
        varkit::reportscan::scan_memory(reinterpret_cast<const char *>(data), size);
    if (outcome.status != ScanOutcome::Status::Ok && !outcome.reports.empty()) {
        std::abort();  // a delegated scan must not leave output behind
    }
    for (std::size_t i = 0; i < outcome.reports.size(); ++i) {
        const auto &report = outcome.reports[i];
        if (report.text.empty() || report.text.front().rfind("Processing ", 0) != 0) {
            std::abort();
        }
        if (report.failed && i + 1 != outcome.reports.size()) {
            std::abort();  // the first failure ends the list
        }
        if (report.failed && !report.result.empty() && report.error.empty()) {
            std::abort();
        }
        for (const auto &section : report.result) {
            if (section.empty()) {
                std::abort();  // sections are only appended when they took a header
            }
        }
    }
    return 0;
}
