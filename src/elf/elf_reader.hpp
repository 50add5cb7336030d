// The dynamic-linking facts of one ELF object, read from its bytes in memory.
// No Python here: the module and the fuzz target share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varkit::elf {

struct ImportedSymbol {
    std::string name;
    std::vector<std::string> versions;  // needed version names, in table order
};

struct ElfFacts {
    int elfclass = 0;  // 32 or 64
    unsigned machine = 0;
    unsigned type = 0;
    bool has_interpreter = false;
    bool pie_flag = false;
    bool has_soname = false;
    std::string soname;
    std::vector<std::string> needed;        // first occurrence of each DT_NEEDED, in order
    std::vector<std::string> rpath;         // raw DT_RPATH strings
    std::vector<std::string> runpath;       // raw DT_RUNPATH strings
    std::vector<ImportedSymbol> undefined;  // undefined or copied, by first appearance
    std::vector<std::string> defined;
};

enum class ReadStatus { Facts, NotElf, Unusual };

struct ReadOutcome {
    ReadStatus status = ReadStatus::NotElf;
    ElfFacts facts;
};

// Facts of a well-formed object of either byte order, the dynamic tags read from
// PT_DYNAMIC as the loader reads them. Anything this reader does not take as
// plainly well-formed (truncated tables, odd entry sizes, strings out of their
// table, no section headers...) is Unusual: the caller then asks a
// general-purpose reader instead.
ReadOutcome read_elf(const std::uint8_t *data, std::size_t size);

}  // namespace varkit::elf
