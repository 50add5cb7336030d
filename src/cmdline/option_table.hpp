// The checker's options, in the order they are defined and listed in the help.
#pragma once

#include <array>

namespace varkit::cmdline {

enum class Group { General, Abi, Exec };
enum class Kind { Store, Switch, Version, Positional };

struct OptionSpec {
    Group group;
    const char *short_flag;  // nullptr: none
    const char *long_flag;   // for the positional: its name
    const char *dest;        // nullptr: the parser's own rule
    Kind kind;
    const char *nargs;    // nullptr: one value
    const char *metavar;  // nullptr: the parser's display name
    const char *help;
};

inline constexpr std::array<OptionSpec, 24> kOptions{{
    {Group::General, nullptr, "--d1", "debug_pkg_a", Kind::Store, nullptr, nullptr,
     "devel/debuginfo pkg path for old rpm"},
    {Group::General, nullptr, "--d2", "debug_pkg_b", Kind::Store, nullptr, nullptr,
     "devel/debuginfo pkg path for new rpm"},
    {Group::General, nullptr, "--verbose", nullptr, Kind::Switch, nullptr, nullptr,
     "Execute in verbose mode and preserve all outputs during execution"},
    {Group::General, nullptr, "--dir1", "pkg_dir_a", Kind::Store, nullptr, nullptr,
     "Directory with old rpms and debuginfo"},
    {Group::General, nullptr, "--dir2", "pkg_dir_b", Kind::Store, nullptr, nullptr,
     "Directory with new rpms and debuginfo"},
    {Group::General, nullptr, "rpm_files", nullptr, Kind::Positional, "*", "RPMA",
     "List of RPM files to check"},
    {Group::General, nullptr, "--checkability", nullptr, Kind::Switch, nullptr, nullptr,
     "Check the ability diff (requires/provides/conlicts/..)"},
    {Group::General, nullptr, "--checkconf", nullptr, Kind::Switch, nullptr, nullptr,
     "Check the configurations diff in given rpms"},
    {Group::General, nullptr, "--checkfile", nullptr, Kind::Switch, nullptr, nullptr,
     "Check file list diff in given rpms"},
    {Group::General, "-v", "--version", nullptr, Kind::Version, nullptr, nullptr,
     "Print the current version of varkit"},
    {Group::General, nullptr, "--checkabi", nullptr, Kind::Switch, nullptr, nullptr,
     "Check the abi/api diff"},
    {Group::General, "-s", "--scan-dep", nullptr, Kind::Store, nullptr, "[DIR or FILE]",
     "Scan the python module or C/C++ symbols used"},
    {Group::General, "-o", "--output", "output_log", Kind::Store, nullptr, nullptr,
     "Redirect the result to given file instead of default one."},
    {Group::General, nullptr, "--ai-interpret", nullptr, Kind::Switch, nullptr, nullptr,
     "Using AI to analyze the diff result(will change the result directly)"},
    {Group::General, nullptr, "--strict", nullptr, Kind::Switch, nullptr, nullptr,
     "Only show the strict diff, ignore something like version diff"},
    {Group::General, nullptr, "--checkexec", nullptr, Kind::Switch, nullptr, nullptr,
     "Check the output of executable file diff"},
    {Group::Abi, nullptr, "--with-symbol", nullptr, Kind::Switch, nullptr, nullptr,
     "Used along with checkabi, find affected rpms with specific symbols and types"},
    {Group::Abi, nullptr, "--check-local", nullptr, Kind::Store, nullptr, "[DIR or FILE]",
     "Used along with --with-symbol, find out whether specified file or files in directory are "
     "affected by ABI/API changes"},
    {Group::Abi, nullptr, "--search-local", nullptr, Kind::Store, nullptr, "DIR",
     "Used along with --with-symbol, using the abi results in DIR instead of generating new ones"},
    // const: conf.remote_url, read when the parser is built.
    {Group::Abi, nullptr, "--search-remote", nullptr, Kind::Store, "?", "URL",
     "Used along with --with-symbol, using the abi results in URL instead of generating new ones, "
     "default url is configured in /etc/varkit.conf"},
    {Group::Abi, "-l", "--local", nullptr, Kind::Switch, nullptr, nullptr,
     "Check affected symbols using local database, used along with --with-symbol"},
    {Group::Abi, nullptr, "--multi-packages", nullptr, Kind::Switch, nullptr, nullptr,
     "Used along with checkabi, search given dirs which has sub dirs(one pkg one dir)"},
    // choices "json", "table"; default "json".
    {Group::Abi, "-f", "--format", nullptr, Kind::Store, nullptr, nullptr,
     "Used along with checkabi, choose the format of output, default is json"},
    {Group::Exec, nullptr, "--image-url", nullptr, Kind::Store, nullptr, "URL",
     "Use given docker image url instead of default one"},
}};

}  // namespace varkit::cmdline
