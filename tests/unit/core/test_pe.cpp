#include "detect/inspect.h"
#include "detect/pe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// A small DLL built in memory: headers, a .text section, an .edata section
// holding a complete export directory, and an .rdata section with
// import-like hint/name entries. The suspicious names come from the
// detector's own table, so no sample is stored in this file.
namespace {

const size_t kLfanew = 0x80;
const size_t kCoff = kLfanew + 4;
const size_t kOptional = kCoff + 20;
const uint32_t kFileAlign = 0x200;
const uint32_t kTextRva = 0x1000;
const uint32_t kEdataRva = 0x2000;
const uint32_t kRdataRva = 0x8000;

struct PeShape {
    bool plus = false;                // PE32+ instead of PE32
    std::vector<std::string> exports; // exported names
    std::vector<std::string> imports; // names of hint/name entries in .rdata
};

// Where build_pe put things, for the tests that damage them.
struct PeLayout {
    size_t directories = 0;   // file offset of data directory 0
    size_t section_table = 0; // file offset of the first section header
    size_t edata_at = 0;      // file offset of the export directory
    uint32_t export_size = 0;
    uint32_t edata_raw_size = 0;
};

void put16(std::string* s, size_t at, uint32_t v)
{
    (*s)[at] = static_cast<char>(v & 0xff);
    (*s)[at + 1] = static_cast<char>((v >> 8) & 0xff);
}

void put32(std::string* s, size_t at, uint32_t v)
{
    put16(s, at, v & 0xffff);
    put16(s, at + 2, v >> 16);
}

uint32_t align_up(size_t n)
{
    return static_cast<uint32_t>((n + kFileAlign - 1) / kFileAlign * kFileAlign);
}

// The export directory's bytes as they sit at kEdataRva.
std::string export_directory(const std::vector<std::string>& names)
{
    const uint32_t n = static_cast<uint32_t>(names.size());
    const uint32_t functions = kEdataRva + 40;
    const uint32_t name_ptrs = functions + 4 * n;
    const uint32_t ordinals = name_ptrs + 4 * n;
    const uint32_t module = ordinals + 2 * n;
    const std::string module_name = "fixture.dll";
    std::string d(module + module_name.size() + 1 - kEdataRva, '\0');
    put32(&d, 12, module);
    put32(&d, 16, 1); // ordinal base
    put32(&d, 20, n);
    put32(&d, 24, n);
    put32(&d, 28, functions);
    put32(&d, 32, name_ptrs);
    put32(&d, 36, ordinals);
    d.replace(module - kEdataRva, module_name.size(), module_name);
    for (uint32_t i = 0; i < n; i++) {
        put32(&d, functions - kEdataRva + 4 * i, kTextRva + 16 * i);
        put32(&d, name_ptrs - kEdataRva + 4 * i, kEdataRva + static_cast<uint32_t>(d.size()));
        put16(&d, ordinals - kEdataRva + 2 * i, i);
        d += names[i] + '\0';
    }
    return d;
}

std::string build_pe(const PeShape& shape, PeLayout* layout = nullptr)
{
    const std::string edata = export_directory(shape.exports);
    std::string rdata;
    for (const std::string& name : shape.imports) {
        rdata += std::string(2, '\x01') + name + '\0'; // hint, name
        if (rdata.size() % 2)
            rdata += '\0';
    }
    const uint32_t headers = 0x400;
    const uint32_t text_raw = kFileAlign;
    const uint32_t edata_raw = align_up(edata.size());
    const uint32_t rdata_raw = align_up(rdata.size() + 1);
    std::string f(headers + text_raw + edata_raw + rdata_raw, '\0');

    f[0] = 'M';
    f[1] = 'Z';
    put32(&f, 0x3c, kLfanew);
    f.replace(kLfanew, 4, std::string("PE\0\0", 4));
    const uint32_t optional_size = shape.plus ? 240 : 224;
    put16(&f, kCoff, shape.plus ? 0x8664 : 0x14c);
    put16(&f, kCoff + 2, 3); // sections
    put16(&f, kCoff + 16, optional_size);
    put16(&f, kCoff + 18, 0x2102); // executable, 32-bit machine, DLL
    put16(&f, kOptional, shape.plus ? 0x20b : 0x10b);
    put32(&f, kOptional + 16, kTextRva); // entry point
    put32(&f, kOptional + 32, 0x1000);   // section alignment
    put32(&f, kOptional + 36, kFileAlign);
    put32(&f, kOptional + 56, kRdataRva + 0x1000); // image size
    put32(&f, kOptional + 60, headers);
    const size_t dirs = kOptional + (shape.plus ? 112 : 96);
    put32(&f, dirs - 4, 16);
    put32(&f, dirs, kEdataRva);
    put32(&f, dirs + 4, static_cast<uint32_t>(edata.size()));

    struct Section {
        const char* name;
        uint32_t virtual_size, rva, raw_size, raw_at;
    };
    const Section sections[] = {
        {".text", 0x100, kTextRva, text_raw, headers},
        {".edata", static_cast<uint32_t>(edata.size()), kEdataRva, edata_raw, headers + text_raw},
        {".rdata", static_cast<uint32_t>(rdata.size()), kRdataRva, rdata_raw,
         headers + text_raw + edata_raw},
    };
    const size_t table = kOptional + optional_size;
    for (size_t i = 0; i < 3; i++) {
        const size_t h = table + 40 * i;
        f.replace(h, strlen(sections[i].name), sections[i].name);
        put32(&f, h + 8, sections[i].virtual_size);
        put32(&f, h + 12, sections[i].rva);
        put32(&f, h + 16, sections[i].raw_size);
        put32(&f, h + 20, sections[i].raw_at);
    }
    // The code: a return per exported function, so the section is not empty.
    for (size_t i = 0; i < shape.exports.size() && 16 * i < text_raw; i++)
        f[headers + 16 * i] = '\xc3';
    f.replace(sections[1].raw_at, edata.size(), edata);
    f.replace(sections[2].raw_at, rdata.size(), rdata);

    if (layout != nullptr) {
        layout->directories = dirs;
        layout->section_table = table;
        layout->edata_at = sections[1].raw_at;
        layout->export_size = static_cast<uint32_t>(edata.size());
        layout->edata_raw_size = edata_raw;
    }
    return f;
}

std::vector<std::string> api_names(size_t first, size_t n)
{
    std::vector<std::string> v;
    for (size_t i = first; i < first + n; i++)
        v.push_back(api_keywords[i]);
    return v;
}

// The parser gets a heap block of exactly the file's size, so that the
// address sanitizer sees any read past its end.
bool range_of(const std::string& f, PeRange* r)
{
    const std::vector<unsigned char> exact(f.begin(), f.end());
    return pe_export_range(exact.data(), exact.size(), r);
}

std::string threat_of(const char* path, const std::string& head)
{
    const std::vector<unsigned char> exact(head.begin(), head.end());
    char threat[TG_THREAT_SIZE];
    inspect_verdict(path, exact.data(), exact.size(), exact.size(), nullptr, threat,
                    sizeof(threat));
    return threat;
}

const char* flavour(bool plus)
{
    return plus ? "PE32+" : "PE32";
}

} // namespace

TEST(Pe, ExportRangeIsTheDeclaredDirectory)
{
    for (bool plus : {false, true}) {
        PeShape shape;
        shape.plus = plus;
        shape.exports = {"Alpha", "Beta", "Gamma"};
        PeLayout at;
        const std::string f = build_pe(shape, &at);
        PeRange r;
        ASSERT_TRUE(range_of(f, &r)) << flavour(plus);
        EXPECT_EQ(r.begin, at.edata_at) << flavour(plus);
        EXPECT_EQ(r.end, at.edata_at + at.export_size) << flavour(plus);

        // A head that ends inside the directory gives the part it holds.
        const std::string cut = f.substr(0, at.edata_at + 50);
        ASSERT_TRUE(range_of(cut, &r)) << flavour(plus);
        EXPECT_EQ(r.begin, at.edata_at);
        EXPECT_EQ(r.end, cut.size());
        // One that ends before it holds none of it.
        EXPECT_FALSE(range_of(f.substr(0, at.edata_at), &r)) << flavour(plus);
    }
}

TEST(Pe, ApiNamesCountOnlyOutsideTheExports)
{
    struct Case {
        const char* name;
        std::vector<std::string> exports, imports;
        const char* threat;
    };
    const Case cases[] = {
        {"three names exported", api_names(0, 3), {}, ""},
        {"every name exported", api_names(0, 20), {}, ""},
        {"three names imported", {"Alpha"}, api_names(0, 3), "HEUR:Suspicious.API(3)"},
        {"exported and imported alike", api_names(0, 3), api_names(0, 3), "HEUR:Suspicious.API(3)"},
        {"three exported, two others imported", api_names(0, 3), api_names(3, 2), ""},
        {"three exported, three others imported", api_names(0, 3), api_names(3, 3),
         "HEUR:Suspicious.API(3)"},
    };
    for (bool plus : {false, true}) {
        for (const Case& c : cases) {
            PeShape shape;
            shape.plus = plus;
            shape.exports = c.exports;
            shape.imports = c.imports;
            EXPECT_EQ(threat_of("C:\\d\\lib.dll", build_pe(shape)), c.threat)
                << flavour(plus) << ": " << c.name;
        }
    }
    // Not a PE file (no "MZ"): every byte counts, as before.
    PeShape shape;
    shape.exports = api_names(0, 3);
    std::string f = build_pe(shape);
    f[0] = 'X';
    EXPECT_EQ(threat_of("C:\\d\\lib.dll", f), "HEUR:Suspicious.API(3)");
}

// Headers that are damaged, lie past the buffer or contradict themselves
// give no range: the exported names then count like any other bytes.
TEST(Pe, DamagedHeadersCountTheWholeHead)
{
    struct Case {
        const char* name;
        void (*damage)(std::string* f, const PeLayout& at);
    };
    const Case cases[] = {
        {"e_lfanew past the end",
         [](std::string* f, const PeLayout&) {
             put32(f, 0x3c, static_cast<uint32_t>(f->size()) - 10);
         }},
        {"e_lfanew near 4 GiB",
         [](std::string* f, const PeLayout&) { put32(f, 0x3c, 0xfffffff8); }},
        {"no PE signature", [](std::string* f, const PeLayout&) { (*f)[kLfanew + 3] = 1; }},
        {"unknown optional header",
         [](std::string* f, const PeLayout&) { put16(f, kOptional, 0x107); }},
        {"optional header too short for the exports",
         [](std::string* f, const PeLayout& at) {
             put16(f, kCoff + 16, static_cast<uint32_t>(at.directories - kOptional + 7));
         }},
        {"no data directories",
         [](std::string* f, const PeLayout& at) { put32(f, at.directories - 4, 0); }},
        {"section count past the end",
         [](std::string* f, const PeLayout&) { put16(f, kCoff + 2, 0xffff); }},
        {"no sections", [](std::string* f, const PeLayout&) { put16(f, kCoff + 2, 0); }},
        {"RVA outside every section",
         [](std::string* f, const PeLayout& at) { put32(f, at.directories, 0x40000); }},
        {"RVA in the headers",
         [](std::string* f, const PeLayout& at) { put32(f, at.directories, 0x40); }},
        {"RVA past the section's raw data",
         [](std::string* f, const PeLayout& at) {
             put32(f, at.directories, kEdataRva + at.edata_raw_size);
         }},
        {"size wraps the RVA space",
         [](std::string* f, const PeLayout& at) { put32(f, at.directories + 4, 0xfffff000); }},
        {"size past the section's raw data",
         [](std::string* f, const PeLayout& at) {
             put32(f, at.directories + 4, at.edata_raw_size + 1);
         }},
        {"size below a directory table",
         [](std::string* f, const PeLayout& at) { put32(f, at.directories + 4, 39); }},
        {"section data past the end",
         [](std::string* f, const PeLayout& at) {
             put32(f, at.section_table + 40 + 20, 0xfffffe00);
         }},
        {"head cut in the COFF header",
         [](std::string* f, const PeLayout&) { f->resize(kCoff + 10); }},
        {"head cut in the section table",
         [](std::string* f, const PeLayout& at) { f->resize(at.section_table + 60); }},
        {"head cut in the optional header",
         [](std::string* f, const PeLayout& at) { f->resize(at.directories + 4); }},
    };
    for (bool plus : {false, true}) {
        for (const Case& c : cases) {
            PeShape shape;
            shape.plus = plus;
            shape.exports = api_names(0, 3);
            PeLayout at;
            std::string f = build_pe(shape, &at);
            c.damage(&f, at);
            PeRange r;
            EXPECT_FALSE(range_of(f, &r)) << flavour(plus) << ": " << c.name;
            // A head cut before the names has none of them to count.
            if (f.size() > at.edata_at) {
                EXPECT_EQ(threat_of("C:\\d\\lib.dll", f), "HEUR:Suspicious.API(3)")
                    << flavour(plus) << ": " << c.name;
            }
        }
    }
    // No export directory at all: an ordinary program.
    PeShape shape;
    PeLayout at;
    std::string f = build_pe(shape, &at);
    put32(&f, at.directories, 0);
    put32(&f, at.directories + 4, 0);
    PeRange r;
    EXPECT_FALSE(range_of(f, &r));
    EXPECT_FALSE(pe_export_range(nullptr, 0, &r));
    EXPECT_FALSE(range_of("MZ", &r));
}

// System DLLs of the Wine installation, when it is there: the parser finds
// their export directories, and the names in them no longer count. What
// they import (and their debug strings) still does, so the counts printed
// need not fall below the threshold.
TEST(Pe, WineDllsLoseTheirExportedNames)
{
    const char* const dirs[] = {"/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/",
                                "/usr/lib/i386-linux-gnu/wine/i386-windows/",
                                "/usr/lib/wine/x86_64-windows/", "/usr/lib/wine/i386-windows/"};
    const char* const names[] = {"kernel32.dll", "kernelbase.dll", "user32.dll", "ntdll.dll",
                                 "win32u.dll"};
    int seen = 0;
    for (const char* dir : dirs) {
        for (const char* name : names) {
            const std::string path = std::string(dir) + name;
            FILE* file = fopen(path.c_str(), "rb");
            if (file == nullptr)
                continue;
            std::string head(TG_INSPECT_HEAD_BYTES, '\0');
            head.resize(fread(&head[0], 1, head.size(), file));
            fclose(file);
            seen++;
            const auto* p = reinterpret_cast<const unsigned char*>(head.data());
            PeRange r;
            ASSERT_TRUE(pe_export_range(p, head.size(), &r)) << path;
            EXPECT_LT(r.begin, r.end) << path;
            const int whole = count_keywords(p, head.size(), api_keywords);
            const int outside =
                count_keywords_outside(p, head.size(), api_keywords, r.begin, r.end);
            EXPECT_LE(outside, whole) << path;
            // The same as counting with the directory blanked out.
            std::string blank = head;
            blank.replace(r.begin, r.end - r.begin, r.end - r.begin, '\0');
            EXPECT_EQ(outside, count_keywords(reinterpret_cast<const unsigned char*>(blank.data()),
                                              blank.size(), api_keywords))
                << path;
            printf("%-60s API keywords: %d in the head, %d outside the exports\n", path.c_str(),
                   whole, outside);
        }
    }
    if (seen == 0)
        GTEST_SKIP() << "no Wine DLLs installed in the usual folders";
}
