#include "download.hpp"
#include "table_step.hpp"

#include <varkit/host.hpp>

namespace {

namespace host = varkit::host;

void get_data(const host::Globals &globals) { varkit::lineage::get_data(globals); }

void process(const host::Globals &globals) { varkit::lineage::process(globals); }

// The console script: what running the module as a program does.
void main_program(const host::Globals &globals) { globals.get("process")(); }

}  // namespace

VARKIT_MODULE(lineage, m) {
    m.doc() = "The Ubuntu (noble) package index: get_data() downloads the package indexes of the\n"
              "four components, process() writes package_source_mapping.txt, one row per binary\n"
              "package with its source package. Also run as the command varkit-lineage.";
    host::bind_module(m, "os", "os");
    host::bind_module(m, "subprocess", "subprocess");

    host::def(m, "get_data", &get_data,
              "Download the noble amd64 package indexes of the four components and file them under "
              "./deb/noble/<component>/Packages_<component> (curl, gunzip, mv; a failed command is "
              "named on stderr with its exit status and the "
              "download goes on).");
    host::def(
        m, "process", &process,
        "Run get_data(), then write package_source_mapping.txt: one row per package, the package "
        "name padded to 60 characters, then its source package.");
    host::def(m, "_main", &main_program, "Entry point of the varkit-lineage command: process().");
}
