// The readings one module instance keeps, as the Python objects reportscan hands out.
#pragma once

#include "report_memo.hpp"
#include "scan.hpp"

#include <varkit/host.hpp>

#include <cstddef>
#include <string>

namespace varkit::reportscan {

namespace py = pybind11;
using host::Globals;

// A report file as read once: the text reportscan() prints for it (None once
// the memo lets it go) and its document result, whose copies later readings
// hand out.
struct KeptReading {
    py::object text = py::none();
    py::list result;
    std::size_t reports = 0;

    void drop_text() { text = py::none(); }
};
using Memo = ReadingMemo<KeptReading>;

// Binds the module's memo (a capsule in its namespace).
void install_memo(py::module_ &module);
// The module's memo (see report_memo.hpp); nullptr when the module's namespace
// no longer holds it.
Memo *report_memo(const Globals &g);
// What the module's memo holds: {"readings", "result_bytes", "text_bytes", "hits"}.
py::dict memo_stats(const Globals &g);

// A kept reading printed again (unless `out` discards it: the text may be gone
// then); its result a fresh copy, or for a quiet call the kept result itself
// (shared: read it, never change it). `reports` is set to its number of report elements.
py::list replay(const KeptReading &kept, host::Output &out, std::size_t &reports);
// The complete reading of a local file (or of a URL within a fetch run), printed
// and kept for the next time.
py::object emit_and_keep(ScanOutcome &outcome, host::Output &out, Memo &memo,
                         const std::string &path, const FileState &state);

}  // namespace varkit::reportscan
