#include "elf_reader.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <unordered_map>

namespace varkit::elf {
namespace {

struct Unusual {};  // thrown inside the reader only; read_elf() turns it into a status

constexpr std::uint32_t kShtStrtab = 3, kShtRela = 4, kShtDynamic = 6, kShtNobits = 8, kShtRel = 9,
                        kShtDynsym = 11, kShtVerneed = 0x6ffffffe, kShtVersym = 0x6fffffff;
constexpr std::uint32_t kPtLoad = 1, kPtDynamic = 2, kPtInterp = 3;
constexpr std::int64_t kDtNull = 0, kDtNeeded = 1, kDtPltrelsz = 2, kDtHash = 4, kDtStrtab = 5,
                       kDtSymtab = 6, kDtRela = 7, kDtRelasz = 8, kDtRelaent = 9, kDtStrsz = 10,
                       kDtSyment = 11, kDtSoname = 14, kDtRpath = 15, kDtRel = 17, kDtRelsz = 18,
                       kDtRelent = 19, kDtPltrel = 20, kDtJmprel = 23, kDtRunpath = 29,
                       kDtGnuHash = 0x6ffffef5, kDtVersym = 0x6ffffff0, kDtFlags1 = 0x6ffffffb,
                       kDtVerneed = 0x6ffffffe, kDtVerneednum = 0x6fffffff;
constexpr std::uint64_t kDf1Pie = 0x08000000;

class Bytes {
public:
    Bytes(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    std::size_t size() const { return size_; }
    void big_endian(bool big) { big_ = big; }

    void need(std::uint64_t offset, std::uint64_t length) const {
        if (offset > size_ || length > size_ - offset) {
            throw Unusual{};
        }
    }
    template <typename T>
    T get(std::uint64_t offset) const {
        need(offset, sizeof(T));
        T value;
        std::memcpy(&value, data_ + offset, sizeof(T));
        if (big_) {  // a little-endian host reading a big-endian file
            auto *bytes = reinterpret_cast<std::uint8_t *>(&value);
            std::reverse(bytes, bytes + sizeof(T));
        }
        return value;
    }
    const std::uint8_t *at(std::uint64_t offset) const { return data_ + offset; }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    bool big_ = false;
};

struct Segment {
    std::uint64_t offset, vaddr, filesz;
};

struct Section {
    std::uint32_t name, type;
    std::uint64_t offset, size, link, info, entsize;
};

// A table of relocations: where it lies in the file, its size and whether its
// entries carry an addend.
struct Relocations {
    std::uint64_t offset, size;
    bool rela;
};

// Where the dynamic symbols and what describes them lie in the file.
struct SymbolTable {
    std::uint64_t offset = 0, count = 0;
    Section strings{};
    bool has_versym = false;
    std::uint64_t versym = 0, versym_count = 0;
    // The needed-version records: the first one, how many there are, and the
    // bytes they must lie in.
    std::uint64_t verneed = 0, verneed_count = 0, verneed_end = 0;
    Section version_strings{};
    std::vector<Relocations> relocations;
};

class Reader {
public:
    Reader(const std::uint8_t *data, std::size_t size) : b_(data, size) {}

    ElfFacts read() {
        header();
        segments();
        sections();
        dynamic();
        symbols();
        return std::move(f_);
    }

private:
    std::uint64_t word(std::uint64_t offset) const {
        return is64_ ? b_.get<std::uint64_t>(offset) : b_.get<std::uint32_t>(offset);
    }

    void header() {
        const std::uint8_t ei_class = b_.get<std::uint8_t>(4);
        if (ei_class != 1 && ei_class != 2) {
            throw Unusual{};
        }
        const std::uint8_t ei_data = b_.get<std::uint8_t>(5);
        if (ei_data != 1 && ei_data != 2) {
            throw Unusual{};  // unknown data encoding
        }
        b_.big_endian(ei_data == 2);
        is64_ = ei_class == 2;
        f_.elfclass = is64_ ? 64 : 32;
        f_.type = b_.get<std::uint16_t>(16);
        f_.machine = b_.get<std::uint16_t>(18);
        std::uint64_t p = 24 + (is64_ ? 8 : 4);  // past e_entry
        phoff_ = word(p);
        p += is64_ ? 8 : 4;
        shoff_ = word(p);
        p += is64_ ? 8 : 4;
        p += 4 + 2;  // e_flags, e_ehsize
        const std::uint16_t phentsize = b_.get<std::uint16_t>(p);
        phnum_ = b_.get<std::uint16_t>(p + 2);
        const std::uint16_t shentsize = b_.get<std::uint16_t>(p + 4);
        shnum_ = b_.get<std::uint16_t>(p + 6);
        shstrndx_ = b_.get<std::uint16_t>(p + 8);
        if (phnum_ != 0 && phentsize != (is64_ ? 56 : 32)) {
            throw Unusual{};
        }
        b_.need(phoff_, std::uint64_t{phnum_} * phentsize);
        // The loader needs no section headers: without them (stripped, or the
        // count moved out by extended numbering) the segments tell everything.
        if (shnum_ == 0) {
            return;
        }
        if (shentsize != (is64_ ? 64 : 40) || shstrndx_ == 0 || shstrndx_ >= shnum_) {
            throw Unusual{};
        }
        b_.need(shoff_, std::uint64_t{shnum_} * shentsize);
    }

    void segments() {
        for (std::uint64_t i = 0; i < phnum_; ++i) {
            const std::uint64_t p = phoff_ + i * (is64_ ? 56 : 32);
            const std::uint32_t type = b_.get<std::uint32_t>(p);
            Segment segment{};
            if (is64_) {
                segment = {b_.get<std::uint64_t>(p + 8), b_.get<std::uint64_t>(p + 16),
                           b_.get<std::uint64_t>(p + 32)};
            } else {
                segment = {b_.get<std::uint32_t>(p + 4), b_.get<std::uint32_t>(p + 8),
                           b_.get<std::uint32_t>(p + 16)};
            }
            if (type == kPtInterp) {
                f_.has_interpreter = true;
            } else if (type == kPtDynamic) {
                has_dynamic_segment_ = true;
                dynamic_segment_ = segment;
            } else if (type == kPtLoad) {
                loads_.push_back(segment);
            }
        }
    }

    void sections() {
        sections_.reserve(shnum_);
        for (std::uint64_t i = 0; i < shnum_; ++i) {
            const std::uint64_t p = shoff_ + i * (is64_ ? 64 : 40);
            Section s{};
            s.name = b_.get<std::uint32_t>(p);
            s.type = b_.get<std::uint32_t>(p + 4);
            if (is64_) {
                s.offset = b_.get<std::uint64_t>(p + 24);
                s.size = b_.get<std::uint64_t>(p + 32);
                s.link = b_.get<std::uint32_t>(p + 40);
                s.info = b_.get<std::uint32_t>(p + 44);
                s.entsize = b_.get<std::uint64_t>(p + 56);
            } else {
                s.offset = b_.get<std::uint32_t>(p + 16);
                s.size = b_.get<std::uint32_t>(p + 20);
                s.link = b_.get<std::uint32_t>(p + 24);
                s.info = b_.get<std::uint32_t>(p + 28);
                s.entsize = b_.get<std::uint32_t>(p + 36);
            }
            if (i != 0 && s.type != kShtNobits) {
                b_.need(s.offset, s.size);
            }
            if (s.link >= shnum_) {
                throw Unusual{};
            }
            sections_.push_back(s);
        }
        if (sections_.empty()) {
            return;
        }
        const Section &names = strtab(shstrndx_);
        for (const Section &s : sections_) {
            string_at(names, s.name);
        }
    }

    const Section &strtab(std::uint64_t index) const {
        const Section &s = sections_.at(index);
        if (s.type != kShtStrtab) {
            throw Unusual{};
        }
        return s;
    }

    std::string string_at(const Section &table, std::uint64_t offset) const {
        if (offset >= table.size) {
            throw Unusual{};
        }
        const auto *start = b_.at(table.offset + offset);
        const auto *end =
            static_cast<const std::uint8_t *>(std::memchr(start, 0, table.size - offset));
        if (end == nullptr) {
            throw Unusual{};
        }
        return std::string(reinterpret_cast<const char *>(start),
                           static_cast<std::size_t>(end - start));
    }

    const Section *first_of_type(std::uint32_t type) const {
        for (const Section &s : sections_) {
            if (s.type == type) {
                return &s;
            }
        }
        return nullptr;
    }

    void entries(const Section &s, std::uint64_t entsize) const {
        if (s.entsize != entsize || s.type == kShtNobits) {
            throw Unusual{};
        }
    }

    // The file offset of a virtual address, through the segment that loads it.
    std::optional<std::uint64_t> file_offset(std::uint64_t vaddr) const {
        for (const Segment &load : loads_) {
            if (vaddr >= load.vaddr && vaddr - load.vaddr < load.filesz) {
                return load.offset + (vaddr - load.vaddr);
            }
        }
        return std::nullopt;
    }

    // The dynamic tags as the loader reads them: from PT_DYNAMIC, with the
    // string table DT_STRTAB names. A .dynamic section header that says
    // otherwise (an emptied or moved one) does not hide what the loader sees.
    // Without the segment (or a string table it can reach) the section is read.
    void dynamic() {
        const std::uint64_t entsize = is64_ ? 16 : 8;
        if (has_dynamic_segment_) {
            b_.need(dynamic_segment_.offset, dynamic_segment_.filesz);
            for_each_tag(dynamic_segment_.offset, dynamic_segment_.filesz / entsize,
                         [&](std::int64_t tag, std::uint64_t value) { tags_.emplace(tag, value); });
            const auto strtab = tag(kDtStrtab);
            const auto strsz = tag(kDtStrsz);
            const auto offset = strtab ? file_offset(*strtab) : std::nullopt;
            if (offset && strsz && *strsz > 0) {
                b_.need(*offset, *strsz);
                dynamic_strings_ = Section{0, kShtStrtab, *offset, *strsz, 0, 0, 0};
                read_tags(dynamic_segment_.offset, dynamic_segment_.filesz / entsize,
                          *dynamic_strings_);
                return;
            }
        }
        const Section *dyn = first_of_type(kShtDynamic);
        if (dyn == nullptr) {
            if (has_dynamic_segment_) {
                throw Unusual{};  // tags only through the segment, and no strings for them
            }
            return;
        }
        entries(*dyn, entsize);
        read_tags(dyn->offset, dyn->size / entsize, strtab(dyn->link));
    }

    std::optional<std::uint64_t> tag(std::int64_t which) const {
        const auto found = tags_.find(which);
        if (found == tags_.end()) {
            return std::nullopt;
        }
        return found->second;
    }

    std::uint64_t at_address(std::uint64_t vaddr) const {
        const auto offset = file_offset(vaddr);
        if (!offset) {
            throw Unusual{};  // a table no segment loads
        }
        return *offset;
    }

    template <typename Visit>
    void for_each_tag(std::uint64_t offset, std::uint64_t count, Visit visit) const {
        const std::uint64_t entsize = is64_ ? 16 : 8;
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t p = offset + i * entsize;
            const std::int64_t tag = is64_ ? static_cast<std::int64_t>(b_.get<std::uint64_t>(p))
                                           : b_.get<std::int32_t>(p);
            if (tag == kDtNull) {
                break;
            }
            visit(tag, word(p + (is64_ ? 8 : 4)));
        }
    }

    void read_tags(std::uint64_t offset, std::uint64_t count, const Section &strings) {
        for_each_tag(offset, count, [&](std::int64_t tag, std::uint64_t value) {
            if (tag == kDtNeeded) {
                std::string name = string_at(strings, value);
                if (std::find(f_.needed.begin(), f_.needed.end(), name) == f_.needed.end()) {
                    f_.needed.push_back(std::move(name));
                }
            } else if (tag == kDtSoname) {
                std::string name = string_at(strings, value);
                if (!f_.has_soname) {
                    f_.soname = std::move(name);
                }
                f_.has_soname = true;
            } else if (tag == kDtRpath) {
                f_.rpath.push_back(string_at(strings, value));
            } else if (tag == kDtRunpath) {
                f_.runpath.push_back(string_at(strings, value));
            } else if (tag == kDtFlags1 && (value & kDf1Pie) != 0) {
                f_.pie_flag = true;
            }
        });
    }

    // How many symbols the dynamic symbol table holds, from the hash table the
    // loader looks names up in (the table itself has no length).
    std::optional<std::uint64_t> hashed_symbol_count() const {
        if (const auto gnu = tag(kDtGnuHash)) {
            const std::uint64_t at = at_address(*gnu);
            const std::uint32_t buckets = b_.get<std::uint32_t>(at);
            const std::uint32_t first = b_.get<std::uint32_t>(at + 4);
            const std::uint32_t bloom_words = b_.get<std::uint32_t>(at + 8);
            const std::uint64_t bucket_at = at + 16 + std::uint64_t{bloom_words} * (is64_ ? 8 : 4);
            b_.need(bucket_at, std::uint64_t{buckets} * 4);
            std::uint32_t last = 0;
            for (std::uint32_t i = 0; i < buckets; ++i) {
                last = std::max(last, b_.get<std::uint32_t>(bucket_at + std::uint64_t{i} * 4));
            }
            if (last == 0) {
                return first;  // no symbol is hashed: only those before the first hashed one
            }
            if (last < first) {
                throw Unusual{};
            }
            // The chain of the last bucket ends (low bit set) at the table's last symbol.
            const std::uint64_t chain_at = bucket_at + std::uint64_t{buckets} * 4;
            for (std::uint64_t index = last;; ++index) {
                if (b_.get<std::uint32_t>(chain_at + (index - first) * 4) & 1u) {
                    return index + 1;
                }
            }
        }
        if (const auto hash = tag(kDtHash)) {
            // nchain, the second word, is the number of symbols; 64-bit S/390
            // and Alpha have 8-byte hash words.
            const std::uint64_t at = at_address(*hash);
            const bool wide = (is64_ && f_.machine == 22) || f_.machine == 0x9026;
            return wide ? b_.get<std::uint64_t>(at + 8) : b_.get<std::uint32_t>(at + 4);
        }
        return std::nullopt;
    }

    void add_relocations(SymbolTable &table, std::optional<std::uint64_t> address,
                         std::optional<std::uint64_t> size, bool rela) const {
        if (!address || !size || *size == 0) {
            return;
        }
        table.relocations.push_back({at_address(*address), *size, rela});
    }

    // The dynamic symbols as the loader finds them: through DT_SYMTAB and the
    // tables the other tags point at. A .dynsym section header at the same place
    // only cross-checks the length; the longer reading is taken, so that a
    // shortened or emptied header hides no symbol the program binds.
    std::optional<SymbolTable> dynamic_symbols() const {
        const auto symtab = tag(kDtSymtab);
        if (!dynamic_strings_ || !symtab) {
            return std::nullopt;
        }
        const std::uint64_t entsize = is64_ ? 24 : 16;
        const std::uint64_t word_size = is64_ ? 8 : 4;
        const auto syment = tag(kDtSyment);
        const auto relaent = tag(kDtRelaent);
        const auto relent = tag(kDtRelent);
        if ((syment && *syment != entsize) || (relaent && *relaent != 3 * word_size) ||
            (relent && *relent != 2 * word_size)) {
            throw Unusual{};
        }
        SymbolTable table;
        table.offset = at_address(*symtab);
        table.strings = *dynamic_strings_;
        std::optional<std::uint64_t> count = hashed_symbol_count();
        const Section *section = first_of_type(kShtDynsym);
        if (section != nullptr && section->offset == table.offset && section->entsize == entsize) {
            count = std::max(count.value_or(0), section->size / entsize);
        }
        if (!count || *count > b_.size() / entsize) {
            throw Unusual{};  // no length, or more symbols than the file holds
        }
        table.count = *count;
        b_.need(table.offset, table.count * entsize);
        if (const auto versym = tag(kDtVersym)) {
            table.has_versym = true;
            table.versym = at_address(*versym);
            table.versym_count = table.count;
            b_.need(table.versym, table.count * 2);
        }
        if (const auto verneed = tag(kDtVerneed)) {
            table.verneed = at_address(*verneed);
            table.verneed_count = tag(kDtVerneednum).value_or(0);
            table.version_strings = table.strings;
            table.verneed_end = b_.size();  // the records say where they end
        }
        add_relocations(table, tag(kDtRela), tag(kDtRelasz), true);
        add_relocations(table, tag(kDtRel), tag(kDtRelsz), false);
        if (const auto jmprel = tag(kDtJmprel)) {
            const auto kind = tag(kDtPltrel);
            if (kind && *kind != static_cast<std::uint64_t>(kDtRela) &&
                *kind != static_cast<std::uint64_t>(kDtRel)) {
                throw Unusual{};
            }
            add_relocations(table, jmprel, tag(kDtPltrelsz),
                            kind.value_or(kDtRela) == static_cast<std::uint64_t>(kDtRela));
        }
        return table;
    }

    // The same from the section headers, for objects whose tags do not reach them.
    std::optional<SymbolTable> section_symbols() const {
        const Section *dynsym = first_of_type(kShtDynsym);
        if (dynsym == nullptr) {
            if (has_dynamic_segment_) {
                throw Unusual{};  // symbols only through the segment
            }
            return std::nullopt;
        }
        const std::uint64_t entsize = is64_ ? 24 : 16;
        entries(*dynsym, entsize);
        SymbolTable table;
        table.offset = dynsym->offset;
        table.count = dynsym->size / entsize;
        table.strings = strtab(dynsym->link);
        if (const Section *versym = first_of_type(kShtVersym)) {
            if (versym->type == kShtNobits || versym->entsize != 2) {
                throw Unusual{};
            }
            table.has_versym = true;
            table.versym = versym->offset;
            table.versym_count = versym->size / 2;
        }
        if (const Section *records = first_of_type(kShtVerneed)) {
            table.version_strings = strtab(records->link);
            table.verneed = records->offset;
            table.verneed_count = records->info;
            table.verneed_end = records->offset + records->size;
        }
        const std::uint64_t dynsym_index = static_cast<std::uint64_t>(dynsym - sections_.data());
        for (const Section &s : sections_) {
            if ((s.type != kShtRel && s.type != kShtRela) || s.link != dynsym_index) {
                continue;
            }
            entries(s, (is64_ ? 8 : 4) * (s.type == kShtRela ? 3 : 2));
            table.relocations.push_back({s.offset, s.size, s.type == kShtRela});
        }
        return table;
    }

    std::map<std::uint32_t, std::string> needed_versions(const SymbolTable &table) const {
        std::map<std::uint32_t, std::string> names;
        if (table.verneed_count == 0) {
            return names;
        }
        const std::uint64_t start = table.verneed, end = table.verneed_end;
        if (end < start) {
            throw Unusual{};
        }
        b_.need(start, end - start);
        // Every record takes 16 bytes: a chain that visits more records than
        // fit (links that loop back) is no real file.
        std::uint64_t records = (end - start) / 16;
        std::uint64_t entry = start;
        for (std::uint64_t v = 0; v < table.verneed_count; ++v) {
            if (entry + 16 > end || records-- == 0) {
                throw Unusual{};
            }
            const std::uint16_t count = b_.get<std::uint16_t>(entry + 2);
            std::uint64_t aux = entry + b_.get<std::uint32_t>(entry + 8);
            for (std::uint16_t a = 0; a < count; ++a) {
                if (aux < start || aux + 16 > end || records-- == 0) {
                    throw Unusual{};
                }
                const std::uint16_t other = b_.get<std::uint16_t>(aux + 6);
                names[other & 0x7fffu] =
                    string_at(table.version_strings, b_.get<std::uint32_t>(aux + 8));
                const std::uint32_t next = b_.get<std::uint32_t>(aux + 12);
                if (next == 0) {
                    break;  // the last of this entry's versions
                }
                aux += next;
            }
            const std::uint32_t next = b_.get<std::uint32_t>(entry + 12);
            if (next == 0) {
                break;  // the last entry
            }
            entry += next;
        }
        return names;
    }

    std::uint32_t copy_relocation_type() const {
        switch (f_.machine) {
        case 62:
        case 3: return 5;       // x86-64, i386
        case 183: return 1024;  // AArch64
        case 40: return 20;     // ARM
        case 20:
        case 21: return 19;  // PowerPC
        case 22: return 9;   // S/390
        case 243:
        case 258: return 4;  // RISC-V, LoongArch
        case 8: return 126;  // MIPS
        case 2:
        case 43: return 19;  // SPARC
        default: return 0;
        }
    }

    std::vector<std::uint64_t> copied(const std::vector<Relocations> &tables) const {
        const std::uint32_t copy = copy_relocation_type();
        std::vector<std::uint64_t> indexes;
        if (copy == 0) {
            return indexes;
        }
        for (const Relocations &r : tables) {
            const std::uint64_t entsize = (is64_ ? 8 : 4) * (r.rela ? 3 : 2);
            b_.need(r.offset, r.size);
            if (r.size % entsize != 0) {
                throw Unusual{};
            }
            for (std::uint64_t i = 0; i < r.size / entsize; ++i) {
                const std::uint64_t at = r.offset + i * entsize + (is64_ ? 8 : 4);
                std::uint64_t symbol = 0, type = 0;
                if (is64_ && f_.machine == 8) {
                    // MIPS64: r_sym (4 bytes), r_ssym, r_type3, r_type2, r_type (1 each)
                    symbol = b_.get<std::uint32_t>(at);
                    type = b_.get<std::uint8_t>(at + 7);
                } else {
                    const std::uint64_t info = word(at);
                    type = is64_ ? (info & 0xffffffffu) : (info & 0xffu);
                    symbol = is64_ ? (info >> 32) : (info >> 8);
                }
                if (type == copy) {
                    indexes.push_back(symbol);
                }
            }
        }
        std::sort(indexes.begin(), indexes.end());
        return indexes;
    }

    void symbols() {
        std::optional<SymbolTable> table = dynamic_symbols();
        if (!table) {
            table = section_symbols();
        }
        if (table) {
            read_symbols(*table);
        }
    }

    void read_symbols(const SymbolTable &table) {
        const std::uint64_t entsize = is64_ ? 24 : 16;
        const auto version_names = needed_versions(table);
        const auto copies = copied(table.relocations);
        std::unordered_map<std::string, std::size_t> where;
        for (std::uint64_t i = 0; i < table.count; ++i) {
            const std::uint64_t p = table.offset + i * entsize;
            const std::uint32_t name_offset = b_.get<std::uint32_t>(p);
            const std::uint16_t shndx = b_.get<std::uint16_t>(p + (is64_ ? 6 : 14));
            std::string name = string_at(table.strings, name_offset);
            if (name.empty()) {
                continue;
            }
            const bool imported = shndx == 0 || std::binary_search(copies.begin(), copies.end(), i);
            if (!imported) {
                f_.defined.push_back(std::move(name));
                continue;
            }
            auto [it, fresh] = where.emplace(name, f_.undefined.size());
            if (fresh) {
                f_.undefined.push_back({std::move(name), {}});
            }
            if (!table.has_versym || i >= table.versym_count) {
                continue;
            }
            const std::uint16_t raw = b_.get<std::uint16_t>(table.versym + i * 2);
            if (raw == 0 || raw == 1 || raw == 0xff00 || raw == 0xff01) {
                continue;  // local, global or reserved: no version
            }
            auto found = version_names.find(raw & 0x7fffu);
            if (found != version_names.end() && !found->second.empty()) {
                f_.undefined[it->second].versions.push_back(found->second);
            }
        }
    }

    Bytes b_;
    ElfFacts f_;
    bool is64_ = false;
    bool has_dynamic_segment_ = false;
    Segment dynamic_segment_{};
    std::map<std::int64_t, std::uint64_t> tags_;  // the first value of each dynamic tag
    std::optional<Section> dynamic_strings_;      // DT_STRTAB, when a segment loads it
    std::vector<Segment> loads_;
    std::uint64_t phoff_ = 0, shoff_ = 0;
    std::uint16_t phnum_ = 0, shnum_ = 0, shstrndx_ = 0;
    std::vector<Section> sections_;
};

}  // namespace

ReadOutcome read_elf(const std::uint8_t *data, std::size_t size) {
    ReadOutcome outcome;
    if (size < 4 || std::memcmp(data,
                                "\x7f"
                                "ELF",
                                4) != 0) {
        outcome.status = ReadStatus::NotElf;
        return outcome;
    }
    try {
        outcome.facts = Reader(data, size).read();
        outcome.status = ReadStatus::Facts;
    } catch (const Unusual &) {
        outcome.status = ReadStatus::Unusual;
    } catch (const std::out_of_range &) {
        outcome.status = ReadStatus::Unusual;
    }
    return outcome;
}

}  // namespace varkit::elf
