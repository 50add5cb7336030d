#include "php_compat.hpp"

#include <cerrno>

#include "facilities.hpp"
#include "file_record.hpp"
#include "record_keys.hpp"

namespace varkit::impactor {

namespace {

constexpr const char *kScanner = "/usr/libexec/varkit/PHP_CodeSniffer-2.9.2/scripts/phpcs";
constexpr const char *kRuleSet = "/usr/libexec/varkit/PHPCompatibility-9.3.5/";
constexpr int kCommandSeconds = 300;

// Runs `command_line` through the system shell, waits, and returns its exit status.
int run_shell(const Globals &g, const py::str &command_line,
              const py::object &output = py::object()) {
    py::object run = g.get("subprocess").attr("run");
    // A scanner that hangs makes the file "not checked" (TimeoutExpired), not the run wait.
    py::object completed =
        output ? run(command_line, py::arg("shell") = true, py::arg("stdout") = output,
                     py::arg("stderr") = output, py::arg("timeout") = kCommandSeconds)
               : run(command_line, py::arg("shell") = true, py::arg("timeout") = kCommandSeconds);
    return completed.attr("returncode").cast<int>();
}

// The file name and the version reach the shell quoted: blanks or shell
// metacharacters in them neither split the arguments nor run anything.
py::str scan_command(const Globals &g, const py::object &php_file) {
    py::object quote = g.get("shlex").attr("quote");
    py::object version = py::str(g.conf("dest_php_version"));
    return text("php ", kScanner, " ", quote(php_file),
                " --standard=PHPCompatibility --runtime-set testVersion ", quote(version));
}

// The report file is appended to by runs as root: a symbolic link planted in
// its place must not redirect the writes, and a new file is the owner's alone.
py::object open_report_file(const Globals &g, const py::object &path) {
    py::object os = g.get("os");
    // O_NONBLOCK: a FIFO planted there fails at once (no reader) or is refused below,
    // instead of holding the open until someone reads it.
    py::object flags = os.attr("O_WRONLY") | os.attr("O_APPEND") | os.attr("O_CREAT") |
                       os.attr("O_CLOEXEC") | os.attr("O_NOFOLLOW") | os.attr("O_NONBLOCK");
    py::object descriptor = os.attr("open")(path, flags, 0600);
    try {
        py::object mode = os.attr("fstat")(descriptor).attr("st_mode");
        if (!truthy(py::module_::import("stat").attr("S_ISREG")(mode))) {
            host::raise_not_regular_file(path);
        }
        os.attr("set_blocking")(descriptor, true);
        return g.builtin("open")(descriptor, "a", py::arg("encoding") = "utf-8");
    } catch (...) {
        os.attr("close")(descriptor);
        throw;
    }
}

}  // namespace

py::object check_php_file_compat(const Globals &g, py::object php_file, py::object php_dict) {
    if (run_shell(g, text("php ", kScanner, " --config-set installed_paths ", kRuleSet)) != 0) {
        log(g, 1, py::str("load PHPCompatibility failed"));
        return py::bool_(false);
    }
    py::str command = scan_command(g, php_file);
    OpenFile report(open_report_file(g, g.conf("php_api_diff")));
    const bool passed = run_shell(g, command, report.file()) == 0;
    set_if_absent(php_dict, key::pass_compat_check, py::bool_(passed));
    report.close();
    return py::bool_(passed);
}

}  // namespace varkit::impactor
