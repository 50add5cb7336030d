// The module's memo of readings as Python objects (see kept_readings.hpp).
#include "kept_readings.hpp"

#include "py_results.hpp"
#include "report_text.hpp"

#include <memory>
#include <utility>

namespace varkit::reportscan {

namespace {
constexpr const char *kMemoName = "_report_memo";
}  // namespace

void install_memo(py::module_ &module) {
    module.attr(kMemoName) =
        py::capsule(std::make_unique<Memo>().release(), kMemoName, [](PyObject *capsule) {
            std::unique_ptr<Memo>(static_cast<Memo *>(PyCapsule_GetPointer(capsule, kMemoName)));
        });
}

Memo *report_memo(const Globals &g) {
    PyObject *capsule = PyDict_GetItemString(g.dict().ptr(), kMemoName);  // borrowed
    if (capsule == nullptr || !PyCapsule_IsValid(capsule, kMemoName)) {
        return nullptr;
    }
    return static_cast<Memo *>(PyCapsule_GetPointer(capsule, kMemoName));
}

py::list replay(const KeptReading &kept, host::Output &out, std::size_t &reports) {
    reports = kept.reports;
    out.write_str(kept.text);
    return copy_result(kept.result);
}

py::object emit_and_keep(ScanOutcome &outcome, host::Output &out, Memo &memo,
                         const std::string &path, const FileState &state) {
    auto kept = std::make_shared<KeptReading>();
    std::string printed;
    for (const ReportOutput &report : outcome.reports) {
        text::separator(printed);
        for (const std::string &piece : report.text) {
            printed.append(piece);
        }
        for (const Section &section : report.result) {
            kept->result.append(section_to_py(section));
        }
    }
    kept->text = host::to_str(printed);
    kept->reports = outcome.reports.size();
    const std::size_t bytes = footprint(outcome);
    out.write_str(kept->text);
    py::list result = copy_result(kept->result);
    memo.keep(path, state, std::move(kept), bytes);
    return std::move(result);
}

}  // namespace varkit::reportscan
