"""Library version pairs and the programs built against their old versions.

Each pair: the package, the soname of each version, the language, the
header/source/version script of each version, and programs with the source
that uses the old version.  A program may carry `known`: why varkit and
abicompat are expected to disagree about it.  The harness prints that text for
a disagreement and flags any disagreement that has none.
"""

from __future__ import annotations

from dataclasses import dataclass, field


@dataclass
class Version:
    header: str
    source: str
    version_script: str = ""


@dataclass
class Program:
    name: str
    source: str
    known: str = ""


@dataclass
class Pair:
    package: str
    lib: str  # library name without "lib" and ".so"
    header: str  # header file name
    sonames: tuple[str, str]
    lang: str  # "c" or "c++"
    old: Version
    new: Version
    programs: list[Program] = field(default_factory=list)


RECORD_FUNCS = "".join(f"int rec_f{n:02d}(struct rec *r);\n" for n in range(1, 13))
RECORD_BODIES = "".join(
    f"int rec_f{n:02d}(struct rec *r) {{ return r->size + {n}; }}\n" for n in range(1, 13)
)

WIDGET_FROM_DUMPS = "on AArch64 the report comes from abi-dumper's dumps of the objects, in which abi-compliance-checker lists no problem for class Widget although the dumps record its size growing from 4 to 16 bytes (the header-based x86_64 report lists it); varkit follows the report"

PAIRS: list[Pair] = [
    Pair(
        "libvkcore",
        "vkcore",
        "vkcore.h",
        ("libvkcore.so.1", "libvkcore.so.1"),
        "c",
        Version(
            "int core_add(int a, int b);\nint core_scale(int x);\nconst char *core_name(void);\n"
            "int core_legacy(int x);\n",
            '#include "vkcore.h"\nint core_add(int a, int b) { return a + b; }\n'
            "int core_scale(int x) { return x * 2; }\n"
            'const char *core_name(void) { return "core"; }\n'
            "int core_legacy(int x) { return -x; }\n",
        ),
        Version(
            "int core_add(int a, int b);\nint core_scale(int x, int factor);\nconst char *core_name(void);\n",
            '#include "vkcore.h"\nint core_add(int a, int b) { return a + b; }\n'
            "int core_scale(int x, int factor) { return x * factor; }\n"
            'const char *core_name(void) { return "core"; }\n',
        ),
        [
            Program("core_legacy_user", "int main(void) { return core_legacy(core_add(1, 2)); }\n"),
            Program("core_scale_user", "int main(void) { return core_scale(3); }\n"),
            Program(
                "core_add_user",
                "#include <string.h>\nint main(void) { return core_add(1, (int)strlen(core_name())); }\n",
            ),
        ],
    ),
    Pair(
        "libvklayout",
        "vklayout",
        "vklayout.h",
        ("libvklayout.so.1", "libvklayout.so.1"),
        "c",
        Version(
            "struct rec { int id; int size; };\n" + RECORD_FUNCS + "int layout_level(void);\n",
            '#include "vklayout.h"\n' + RECORD_BODIES + "int layout_level(void) { return 1; }\n",
        ),
        Version(
            "struct rec { int id; long stamp; int size; };\n"
            + RECORD_FUNCS
            + "int layout_level(void);\n",
            '#include "vklayout.h"\n' + RECORD_BODIES + "int layout_level(void) { return 1; }\n",
        ),
        [
            Program(
                "rec_first_user", "int main(void) { struct rec r = {1, 2}; return rec_f01(&r); }\n"
            ),
            Program(
                "rec_last_user",
                "int main(void) { struct rec r = {1, 2}; return rec_f12(&r); }\n",
                known="the report's list of symbols affected by the change of struct rec stops at 10 "
                "(rec_f01..rec_f10); rec_f12, which this program calls, is not in the report",
            ),
            Program("layout_level_user", "int main(void) { return layout_level(); }\n"),
        ],
    ),
    Pair(
        "libvkver",
        "vkver",
        "vkver.h",
        ("libvkver.so.1", "libvkver.so.1"),
        "c",
        Version(
            "int ver_pick(int x);\nint ver_size(int x);\nint ver_drop(void);\nint ver_keep(void);\n",
            '#include "vkver.h"\nint ver_pick(int x) { return x; }\nint ver_size(int x) { return x; }\n'
            "int ver_drop(void) { return 0; }\nint ver_keep(void) { return 1; }\n",
            "VK_1 { global: ver_pick; ver_size; ver_drop; ver_keep; local: *; };\n",
        ),
        Version(
            "int ver_pick(int x, int y);\nlong ver_size(long x);\nint ver_keep(void);\n",
            "int ver_pick_1(int x) { return x; }\n"
            "int ver_pick_2(int x, int y) { return x + y; }\n"
            '__asm__(".symver ver_pick_1,ver_pick@VK_1");\n'
            '__asm__(".symver ver_pick_2,ver_pick@@VK_2");\n'
            "long ver_size(long x) { return x; }\nint ver_keep(void) { return 1; }\n",
            "VK_1 { global: ver_pick; ver_size; ver_keep; local: *; };\nVK_2 { global: ver_pick; } VK_1;\n",
        ),
        [
            Program(
                "ver_pick_user",
                "int main(void) { return ver_pick(4); }\n",
                known="the report lists the bare name ver_pick as changed (its default version moved to "
                "VK_2 with a new parameter); the program is bound to ver_pick@VK_1, which version 2 "
                "keeps unchanged, so abicompat rightly finds nothing; varkit follows the report, which "
                "names no version",
            ),
            Program("ver_size_user", "int main(void) { return ver_size(4); }\n"),
            Program("ver_drop_user", "int main(void) { return ver_drop() + ver_keep(); }\n"),
            Program("ver_keep_user", "int main(void) { return ver_keep(); }\n"),
        ],
    ),
    Pair(
        "libvksn",
        "vksn",
        "vksn.h",
        ("libvksn.so.1", "libvksn.so.2"),
        "c",
        Version(
            "int sn_open(const char *path);\nint sn_read(int fd, char *buf, int n);\n"
            "int sn_close(int fd);\nint sn_flags(void);\n",
            '#include "vksn.h"\nint sn_open(const char *path) { return path ? 3 : -1; }\n'
            "int sn_read(int fd, char *buf, int n) { (void)buf; return fd + n; }\n"
            "int sn_close(int fd) { return fd ? 0 : -1; }\nint sn_flags(void) { return 7; }\n",
        ),
        Version(
            "int sn_open(const char *path);\nlong sn_read(int fd, char *buf, long n, int flags);\n"
            "int sn_close(int fd);\n",
            '#include "vksn.h"\nint sn_open(const char *path) { return path ? 3 : -1; }\n'
            "long sn_read(int fd, char *buf, long n, int flags) { (void)buf; return fd + n + flags; }\n"
            "int sn_close(int fd) { return fd ? 0 : -1; }\n",
        ),
        [
            Program("sn_flags_user", "int main(void) { return sn_flags(); }\n"),
            Program(
                "sn_read_user",
                'int main(void) { char b[4]; int fd = sn_open("x"); return sn_read(fd, b, 4); }\n',
                known="soname bump: the report is filed under libvksn.so.2, the program needs "
                "libvksn.so.1, and the summary log carries only the removed symbols of the old "
                "soname, so the changed sn_read is not seen; the result map records "
                "lib_soname_ver_change",
            ),
            Program(
                "sn_open_user",
                'int main(void) { return sn_close(sn_open("x")); }\n',
                known="soname bump: abicompat counts the new soname as an incompatible change by itself; "
                "varkit records it (lib_soname_ver_change) but fails a program only for the removed "
                "symbols the summary lists, none of which this program uses",
            ),
        ],
    ),
    Pair(
        "libvkwidget",
        "vkwidget",
        "vkwidget.h",
        ("libvkwidget.so.1", "libvkwidget.so.1"),
        "c++",
        Version(
            "class Widget {\npublic:\n    Widget(int v);\n    ~Widget();\n    int value() const;\n"
            'private:\n    int v_;\n};\nextern "C" int widget_api(void);\n',
            '#include "vkwidget.h"\nWidget::Widget(int v) : v_(v) {}\nWidget::~Widget() {}\n'
            "int Widget::value() const { return v_; }\nint widget_api(void) { return 1; }\n",
        ),
        Version(
            "class Widget {\npublic:\n    Widget(int v);\n    ~Widget();\n    int value() const;\n"
            'private:\n    long cache_;\n    int v_;\n};\nextern "C" int widget_api(void);\n',
            '#include "vkwidget.h"\nWidget::Widget(int v) : cache_(0), v_(v) {}\nWidget::~Widget() {}\n'
            "int Widget::value() const { return v_; }\nint widget_api(void) { return 1; }\n",
        ),
        [
            Program(
                "widget_direct",
                "int main() { Widget w(1); return w.value(); }\n",
                known=WIDGET_FROM_DUMPS,
            ),
            Program(
                "widget_derived",
                "struct Mine : Widget { Mine() : Widget(2) {} int extra = 0; };\n"
                "int main() { Mine m; return m.extra; }\n",
                known=WIDGET_FROM_DUMPS,
            ),
            Program("widget_api_user", "int main() { return widget_api(); }\n"),
        ],
    ),
    Pair(
        "libvkshape",
        "vkshape",
        "vkshape.h",
        ("libvkshape.so.1", "libvkshape.so.1"),
        "c++",
        Version(
            "class Shape {\npublic:\n    Shape();\n    virtual ~Shape();\n    virtual double area() const;\n"
            "    virtual const char *name() const;\n};\nShape *make_square(double side);\nint shape_count();\n",
            '#include "vkshape.h"\nShape::Shape() {}\nShape::~Shape() {}\n'
            "double Shape::area() const { return 0; }\n"
            'const char *Shape::name() const { return "shape"; }\n'
            "struct Square : Shape { double s; Square(double x) : s(x) {} double area() const { return s * s; } };\n"
            "Shape *make_square(double side) { return new Square(side); }\nint shape_count() { return 1; }\n",
        ),
        Version(
            "class Shape {\npublic:\n    Shape();\n    virtual ~Shape();\n    virtual double perimeter() const;\n"
            "    virtual double area() const;\n    virtual const char *name() const;\n};\n"
            "Shape *make_square(double side);\nint shape_count();\n",
            '#include "vkshape.h"\nShape::Shape() {}\nShape::~Shape() {}\n'
            "double Shape::perimeter() const { return 0; }\ndouble Shape::area() const { return 0; }\n"
            'const char *Shape::name() const { return "shape"; }\n'
            "struct Square : Shape { double s; Square(double x) : s(x) {}\n"
            "    double area() const { return s * s; } double perimeter() const { return 4 * s; } };\n"
            "Shape *make_square(double side) { return new Square(side); }\nint shape_count() { return 1; }\n",
        ),
        [
            Program(
                "shape_virtual_call",
                "int main() { Shape *s = make_square(2); int r = (int)s->area(); "
                "delete s; return r; }\n",
                known="a virtual call imports no symbol: the program reaches Shape::area through the vtable "
                "of an object made by make_square; the report lists the methods whose vtable slots "
                "moved (area, name) but not make_square, the program's only import, so varkit cannot "
                "see it; abicompat does not follow the returned pointer's type to its vtable either",
            ),
            Program(
                "shape_subclass",
                "struct Circle : Shape { double area() const { return 3; } };\n"
                "int main() { Circle c; Shape &s = c; return (int)s.area(); }\n",
            ),
            Program("shape_count_user", "int main() { return shape_count(); }\n"),
        ],
    ),
    Pair(
        "libvkdata",
        "vkdata",
        "vkdata.h",
        ("libvkdata.so.1", "libvkdata.so.1"),
        "c",
        Version(
            "extern int data_table[4];\nenum data_mode { MODE_A, MODE_B, MODE_C };\n"
            "int data_set_mode(enum data_mode m);\nint data_sum(void);\n",
            '#include "vkdata.h"\nint data_table[4] = {1, 2, 3, 4};\n'
            "static enum data_mode mode;\nint data_set_mode(enum data_mode m) { mode = m; return m == MODE_C; }\n"
            "int data_sum(void) { return data_table[0] + data_table[3]; }\n",
        ),
        Version(
            "extern int data_table[8];\nenum data_mode { MODE_A, MODE_X, MODE_B, MODE_C };\n"
            "int data_set_mode(enum data_mode m);\nint data_sum(void);\n",
            '#include "vkdata.h"\nint data_table[8] = {1, 2, 3, 4, 5, 6, 7, 8};\n'
            "static enum data_mode mode;\nint data_set_mode(enum data_mode m) { mode = m; return m == MODE_C; }\n"
            "int data_sum(void) { return data_table[0] + data_table[3]; }\n",
        ),
        [
            Program("data_table_user", "int main(void) { return data_table[2]; }\n"),
            Program("data_mode_user", "int main(void) { return data_set_mode(MODE_C); }\n"),
            Program(
                "data_sum_user",
                "int main(void) { return data_sum(); }\n",
                known="abicompat reports the change of the variable data_table, which this program neither "
                "imports nor copies: its only import from the library is data_sum, which reads the "
                "table inside the library",
            ),
        ],
    ),
    Pair(
        "libvkcount",
        "vkcount",
        "vkcount.h",
        ("libvkcount.so.1", "libvkcount.so.1"),
        "c++",
        Version(
            "class Counter {\npublic:\n    Counter();\n    ~Counter();\n    void add(int n);\n"
            '    int total() const;\nprivate:\n    int n_;\n};\nextern "C" int counter_abi(void);\n',
            '#include "vkcount.h"\nCounter::Counter() : n_(0) {}\nCounter::~Counter() {}\n'
            "void Counter::add(int n) { n_ += n; }\nint Counter::total() const { return n_; }\n"
            "int counter_abi(void) { return 1; }\n",
            "CV_1 { global: _ZN7Counter*; _ZNK7Counter*; counter_*; local: *; };\n",
        ),
        Version(
            "class Counter {\npublic:\n    Counter();\n    ~Counter();\n    void add(long n);\n"
            '    int total() const;\nprivate:\n    long n_;\n    int seen_;\n};\nextern "C" int counter_abi(void);\n',
            '#include "vkcount.h"\nCounter::Counter() : n_(0), seen_(0) {}\nCounter::~Counter() {}\n'
            "void Counter::add(long n) { n_ += n; ++seen_; }\nint Counter::total() const { return (int)n_; }\n"
            "int counter_abi(void) { return 1; }\n",
            "CV_1 { global: _ZN7Counter*; _ZNK7Counter*; counter_*; local: *; };\n",
        ),
        [
            Program(
                "counter_derived",
                "struct Tally : Counter { int mark = 1; };\n"
                "int main() { Tally t; return t.mark; }\n",
            ),
            Program(
                "counter_add_user",
                "int main() { Counter c; c.add(2); return 0; }\n",
                known="abicompat misses it: version 2 no longer defines Counter::add(int) "
                "(_ZN7Counter3addEi@CV_1) and the program does not even load with it (see the run); "
                "the report lists it as removed and varkit matches the program's versioned import",
            ),
            Program("counter_abi_user", "int main() { return counter_abi(); }\n"),
        ],
    ),
    Pair(
        "libvkname",
        "vkname",
        "vkname.h",
        ("libvkname.so.1", "libvkname.so.1"),
        "c",
        Version(
            "struct span { int first; int count; };\n"
            "int name_len(const char *text, int limit);\nint name_total(struct span *s);\n",
            '#include "vkname.h"\n#include <string.h>\n'
            "int name_len(const char *text, int limit) { int n = (int)strlen(text); "
            "return n < limit ? n : limit; }\n"
            "int name_total(struct span *s) { return s->first + s->count; }\n",
        ),
        # Only names change: a parameter and a field. The binary interface stays.
        Version(
            "struct span { int first; int length; };\n"
            "int name_len(const char *s, int max);\nint name_total(struct span *s);\n",
            '#include "vkname.h"\n#include <string.h>\n'
            "int name_len(const char *s, int max) { int n = (int)strlen(s); "
            "return n < max ? n : max; }\n"
            "int name_total(struct span *s) { return s->first + s->length; }\n",
        ),
        [
            Program("name_len_user", 'int main(void) { return name_len("abc", 2) - 2; }\n'),
            Program(
                "name_total_user",
                "int main(void) { struct span s = {1, 2}; return name_total(&s) - 3; }\n",
            ),
        ],
    ),
]
