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

py::dict memo_stats(const Globals &g) {
    py::dict stats;
    const Memo *memo = report_memo(g);
    const MemoStats held = memo != nullptr ? memo->stats() : MemoStats{};
    stats["readings"] = held.readings;
    stats["result_bytes"] = held.result_bytes;
    stats["text_bytes"] = held.text_bytes;
    stats["hits"] = held.hits;
    return stats;
}

// A printing caller owns what it gets: a fresh copy. A quiet one (the impact
// check) gets the kept result itself, the same object at each reading, so that
// what it works out from a reading can be kept by the reading's identity.
py::list result_for(const KeptReading &kept, const host::Output &out) {
    return out.discarding() ? kept.result : copy_result(kept.result);
}

py::list replay(const KeptReading &kept, host::Output &out, std::size_t &reports) {
    reports = kept.reports;
    if (!out.discarding()) {
        out.write_str(kept.text);
    }
    return result_for(kept, out);
}

py::object emit_and_keep(ScanOutcome &outcome, host::Output &out, Memo &memo,
                         const std::string &path, const FileState &state) {
    auto kept = std::make_shared<KeptReading>();
    const std::size_t result_bytes = result_footprint(outcome);
    const std::size_t text_bytes = text_footprint(outcome);
    // Text nobody prints now is not kept: a later printing reads the file again.
    const bool keep_text = !out.discarding() && text_bytes <= Memo::kTextBudgetBytes;
    std::string printed;
    for (ReportOutput &report : outcome.reports) {
        if (keep_text) {
            text::separator(printed);
            for (std::string &piece : report.text) {
                printed.append(piece);
                std::string().swap(piece);  // the whole text is held once, not twice
            }
        } else if (!out.discarding()) {  // printed now, too large to keep
            out.write(text::kSeparatorLine);
            for (std::string &piece : report.text) {
                out.write(piece);
                std::string().swap(piece);
            }
        }
        for (const Section &section : report.result) {
            kept->result.append(section_to_py(section));
        }
    }
    if (keep_text) {
        kept->text = host::to_str(printed);
        std::string().swap(printed);
    }
    kept->reports = outcome.reports.size();
    if (keep_text) {
        out.write_str(kept->text);
    }
    py::list result = result_for(*kept, out);
    memo.keep(path, state, std::move(kept), result_bytes, keep_text ? text_bytes : SIZE_MAX);
    return std::move(result);
}

}  // namespace varkit::reportscan
