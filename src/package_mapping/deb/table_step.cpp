#include "table_step.hpp"

#include "index_layout.hpp"
#include "source_table.hpp"

#include <varkit/pm/files.hpp>

namespace varkit::lineage {

namespace py = pybind11;

void process(const host::Globals &globals) {
    globals.get("get_data")();
    const py::str table(kTablePath);
    pm::files::write_bytes(table, table_header());
    for (const char *component : kComponents) {
        std::string rows;
        {
            pm::files::Text text(py::str(index_path(component)));
            rows.reserve(text.view().size() / 8);
            append_rows(text.view(), rows);
        }
        pm::files::write_bytes(table, rows, /*append=*/true);
    }
}

}  // namespace varkit::lineage
