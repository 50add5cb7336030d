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
constexpr std::int64_t kDtNull = 0, kDtNeeded = 1, kDtStrtab = 5, kDtStrsz = 10, kDtSoname = 14,
                       kDtRpath = 15, kDtRunpath = 29, kDtFlags1 = 0x6ffffffb;
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
        if ((phnum_ != 0 && phentsize != (is64_ ? 56 : 32)) || shentsize != (is64_ ? 64 : 40)) {
            throw Unusual{};
        }
        if (shnum_ == 0 || shstrndx_ == 0 || shstrndx_ >= shnum_) {
            throw Unusual{};  // no section headers, or extended numbering
        }
        b_.need(phoff_, std::uint64_t{phnum_} * phentsize);
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
            std::uint64_t strtab = 0, strsz = 0;
            bool found = false;
            for_each_tag(dynamic_segment_.offset, dynamic_segment_.filesz / entsize,
                         [&](std::int64_t tag, std::uint64_t value) {
                             if (tag == kDtStrtab) {
                                 strtab = value;
                                 found = true;
                             } else if (tag == kDtStrsz) {
                                 strsz = value;
                             }
                         });
            const auto offset = found ? file_offset(strtab) : std::nullopt;
            if (offset && strsz > 0) {
                b_.need(*offset, strsz);
                const Section strings{0, kShtStrtab, *offset, strsz, 0, 0, 0};
                read_tags(dynamic_segment_.offset, dynamic_segment_.filesz / entsize, strings);
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

    std::map<std::uint32_t, std::string> needed_versions() const {
        std::map<std::uint32_t, std::string> names;
        for (const Section &s : sections_) {
            if (s.type != kShtVerneed) {
                continue;
            }
            const Section &strings = strtab(s.link);
            std::uint64_t entry = s.offset;
            const std::uint64_t end = s.offset + s.size;
            // Every record takes 16 bytes of the section: a chain that visits
            // more records than fit (links that loop back) is no real file.
            std::uint64_t records = s.size / 16;
            for (std::uint64_t v = 0; v < s.info; ++v) {
                if (entry + 16 > end || records-- == 0) {
                    throw Unusual{};
                }
                const std::uint16_t count = b_.get<std::uint16_t>(entry + 2);
                std::uint64_t aux = entry + b_.get<std::uint32_t>(entry + 8);
                for (std::uint16_t a = 0; a < count; ++a) {
                    if (aux < s.offset || aux + 16 > end || records-- == 0) {
                        throw Unusual{};
                    }
                    const std::uint16_t other = b_.get<std::uint16_t>(aux + 6);
                    names[other & 0x7fffu] = string_at(strings, b_.get<std::uint32_t>(aux + 8));
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
        }
        return names;
    }

    std::vector<std::uint64_t> copied(std::uint64_t dynsym_index) const {
        std::uint32_t copy = 0;
        switch (f_.machine) {
        case 62:
        case 3: copy = 5; break;       // x86-64, i386
        case 183: copy = 1024; break;  // AArch64
        case 40: copy = 20; break;     // ARM
        case 20:
        case 21: copy = 19; break;  // PowerPC
        case 22: copy = 9; break;   // S/390
        case 243:
        case 258: copy = 4; break;  // RISC-V, LoongArch
        case 8: copy = 126; break;  // MIPS
        case 2:
        case 43: copy = 19; break;  // SPARC
        default: return {};
        }
        std::vector<std::uint64_t> indexes;
        for (const Section &s : sections_) {
            if ((s.type != kShtRel && s.type != kShtRela) || s.link != dynsym_index) {
                continue;
            }
            const std::uint64_t entsize = (is64_ ? 8 : 4) * (s.type == kShtRela ? 3 : 2);
            entries(s, entsize);
            for (std::uint64_t i = 0; i < s.size / entsize; ++i) {
                const std::uint64_t at = s.offset + i * entsize + (is64_ ? 8 : 4);
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
        const Section *dynsym = first_of_type(kShtDynsym);
        if (dynsym == nullptr) {
            if (has_dynamic_segment_) {
                throw Unusual{};  // symbols only through the segment
            }
            return;
        }
        const std::uint64_t entsize = is64_ ? 24 : 16;
        entries(*dynsym, entsize);
        const Section &strings = strtab(dynsym->link);
        const Section *versym = first_of_type(kShtVersym);
        std::uint64_t versym_count = 0;
        if (versym != nullptr) {
            if (versym->type == kShtNobits || versym->entsize != 2) {
                throw Unusual{};
            }
            versym_count = versym->size / 2;
        }
        const auto version_names = needed_versions();
        const auto copies = copied(static_cast<std::uint64_t>(dynsym - sections_.data()));
        std::unordered_map<std::string, std::size_t> where;
        const std::uint64_t count = dynsym->size / entsize;
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t p = dynsym->offset + i * entsize;
            const std::uint32_t name_offset = b_.get<std::uint32_t>(p);
            const std::uint16_t shndx = b_.get<std::uint16_t>(p + (is64_ ? 6 : 14));
            std::string name = string_at(strings, name_offset);
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
            if (i >= versym_count) {
                continue;
            }
            const std::uint16_t raw = b_.get<std::uint16_t>(versym->offset + i * 2);
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
