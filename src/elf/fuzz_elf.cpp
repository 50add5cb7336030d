// libFuzzer target over the ELF reader (elf_reader.cpp, no Python).
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined src/elf/fuzz_elf.cpp
//   src/elf/elf_reader.cpp
// Besides the sanitizers' checks, it asserts the shape of every outcome.
#include "elf_reader.hpp"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using varkit::elf::ReadStatus;
    const auto outcome = varkit::elf::read_elf(data, size);
    if (outcome.status != ReadStatus::Facts) {
        return 0;
    }
    const auto &f = outcome.facts;
    if (f.elfclass != 32 && f.elfclass != 64) {
        std::abort();
    }
    if (!f.has_soname && !f.soname.empty()) {
        std::abort();
    }
    for (const auto &symbol : f.undefined) {
        if (symbol.name.empty()) {
            std::abort();
        }
    }
    return 0;
}
