// The DLL folders and the seed modules of the fuzz targets, made by the module writers.
#include "fuzz/fuzz_support.h"
#include "support/lx_writer.h"
#include "support/ne_writer.h"
#include "support/pe_writer.h"

namespace {

LX_DESC lx_with(std::vector<std::string> modules, std::vector<LX_FIXUP_REC> records, std::vector<std::string> procs = {}) {
    LX_DESC d;
    d.modules = std::move(modules);
    d.records = std::move(records);
    d.procs = std::move(procs);
    return d;
}

std::vector<FUZZ_FILE> lx_folder() {
    return {
        {"DOSCALLS.DLL", write_lx(lx_with({}, {}))},
        {"A.DLL", write_lx(lx_with({"B", "DOSCALLS"}, {lx_import_ordinal(1, 3), lx_import_name(2, 0)}, {"DosExit"}))},
        {"b.dll", write_lx(lx_with({"a"}, {lx_import_ordinal(1, 9, 0x80)}))},
    };
}

std::vector<FUZZ_FILE> lx_seeds() {
    return {
        {"lx_every_record_kind", write_lx(lx_every_record_kind())},
        {"lx_no_imports", write_lx(lx_with({}, {}))},
        {"lx_cycle", write_lx(lx_with({"A"}, {lx_import_ordinal(1, 1)}))},
    };
}

std::vector<FUZZ_FILE> ne_folder() {
    return {
        {"KERNEL.DLL", write_ne(ne_module({}))},
        {"USER.DLL", write_ne(ne_module({"KERNEL", "GDI"}, {ne_ordinal(1, 3), ne_ordinal(2, 1)}))},
        {"gdi.dll", write_ne(ne_module({"USER"}, {ne_ordinal(1, 9)}))},
    };
}

std::vector<FUZZ_FILE> ne_seeds() {
    NE_DESC app = ne_module({"KERNEL", "USER", "MISSING"},
                            {ne_ordinal(1, 5), ne_ordinal(2, 7), ne_internal_ref(), ne_os_fixup(), ne_ordinal(1, 5)});
    uint16_t name = app.names.add("GetVersion");
    app.segs[0].relocs.push_back(ne_by_name(1, name));
    NE_SEG second;
    second.seg_size = 0;   // 65536 bytes of data before its relocation table
    second.write_data = false;
    second.relocs = {ne_by_name(3, name), ne_ordinal(3, 2)};
    NE_SEG bare;
    bare.seg_flags = 0;
    app.segs.push_back(second);
    app.segs.push_back(bare);
    NE_DESC small_align = ne_module({"USER"}, {ne_ordinal(1, 1)});
    small_align.align = 0;
    NE_DESC windows = ne_module({"KERNEL"}, {ne_ordinal(1, 1)});
    windows.op_sys = 2;
    return {
        {"ne_three_dlls_every_record_kind", write_ne(app)},
        {"ne_align_zero", write_ne(small_align)},
        {"ne_windows_module", write_ne(windows)},
        {"ne_no_imports", write_ne(ne_module({}))},
    };
}

// The folder's API sets: one hosted by kernel32.dll (user32.dll's by itself), one without host.
APISET_DESC fuzz_apiset_schema() {
    APISET_DESC d;
    d.entries = {{"api-ms-win-core-synch-l1-2-0", {{"", "kernel32.dll"}, {"user32.dll", "user32.dll"}}},
                 {"ext-ms-win-empty-l1-1-0", {}}};
    return d;
}

// A PE DLL exporting names at ordinals 1, 2, ..., and importing what it is given.
BYTES pe_dll(const std::vector<std::string>& names, const std::vector<PE_IMPORT>& imports = {},
             const std::vector<PE_EXPORT>& extra = {}) {
    PE_DESC d;
    uint32_t ord = 1;
    for (const std::string& n : names) d.exports.push_back(PE_EXPORT{ord++, n, "", 0});
    for (const PE_EXPORT& e : extra) d.exports.push_back(e);
    d.export_dir = true;
    d.imports = imports;
    return write_pe(d);
}

std::vector<FUZZ_FILE> pe_folder() {
    PE_DESC wide;
    wide.machine = 0x8664;
    PE_DESC kernel64;
    kernel64.exports = {PE_EXPORT{1, "ExitProcess", "", 0}, PE_EXPORT{2, "Sleep", "", 0}};
    return {
        {"k64.dll", write_pe(pe_wide(kernel64))},
        {"kernel32.dll", pe_dll({"ExitProcess", "GetVersion", "Sleep"})},
        {"user32.dll", pe_dll({"MessageBoxA"}, {{"kernel32.dll", {pe_name("Sleep"), pe_ord(2)}}},
                              {PE_EXPORT{9, "Fwd", "kernel32.ExitProcess", 0}, PE_EXPORT{10, "FwdOrd", "KERNEL32.#2", 0}})},
        {"Cycle.DLL", pe_dll({"c"}, {{"user32.dll", {pe_name("MessageBoxA")}}})},
        {"wide.dll", write_pe(wide)},
        {"apisetschema.dll", write_apiset_dll(write_apiset(fuzz_apiset_schema()))},
    };
}

// DLL images for the loader target: exports of every kind, and imports from the folder.
std::vector<FUZZ_FILE> pe_loader_seeds() {
    PE_DESC fwd;
    fwd.exports = {PE_EXPORT{1, "a", "", 0}, PE_EXPORT{2, "b", "kernel32.Sleep", 0}, PE_EXPORT{3, "", "user32.#9", 0},
                   PE_EXPORT{4, "loop", "fuzz.loop", 0}};
    fwd.export_dir = true;
    fwd.export_base = 1;
    fwd.imports = {{"user32.dll", {pe_name("Fwd"), pe_ord(1)}}, {"api-ms-win-core-synch-l1-2-0.dll", {pe_name("Sleep")}}};
    fwd.exports.push_back(PE_EXPORT{5, "e", "api-ms-win-core-synch-l1-2-0.Sleep", 0});
    PE_DESC plain;
    plain.exports = {PE_EXPORT{1, "a", "", 0}, PE_EXPORT{4, "d", "", 0}};
    plain.export_dir = true;
    plain.export_base = 1;
    return {{"loader_forwarders_and_imports", write_pe(fwd)}, {"loader_plain_exports", write_pe(plain)},
            {"loader_pe32plus_forwarders_and_imports", write_pe(pe_wide(fwd))}};
}

std::vector<FUZZ_FILE> pe_seeds() {
    PE_DESC app;
    app.imports = {{"kernel32.dll", {pe_name("ExitProcess"), pe_ord(2), pe_name("Missing")}},
                   {"USER32", {pe_name("Fwd"), pe_name("FwdOrd"), pe_ord(0x7FFFFFFF)}},
                   {"cycle.dll", {pe_name("c")}},
                   {"wide.dll", {pe_ord(1)}},
                   {"absent.dll", {pe_name("x")}}};
    PE_DESC iat = app;
    iat.imports[0].iat_only = true;
    iat.import_terminator = false;
    PE_DESC short_header;
    short_header.opt_size = 28;
    PE_DESC no_imports;
    // Delay-load tables of both kinds beside the static imports (read with -d, option bit 3).
    app.delay_imports = {{"api-ms-win-core-synch-l1-2-0.dll", {pe_name("Sleep"), pe_ord(1)}},
                         {"ext-ms-win-empty-l1-1-0.dll", {pe_name("x")}},
                         {"absent.dll", {pe_name("y")}}};
    PE_DESC delay_va = app;
    delay_va.delay_va = true;
    PE_DESC delay_va_rvas = delay_va;   // the VA form holding RVAs in its name tables
    delay_va_rvas.delay_rva_entries = true;
    PE_DESC ten_dirs = app;             // an optional header that ends after ten directories
    ten_dirs.opt_size = 96 + 8 * 10;
    ten_dirs.num_rva = 10;
    PE_DESC app64 = app;   // the 32-bit DLLs of the folder are passed over, k64.dll loads
    app64.imports.push_back({"k64.dll", {pe_name("Sleep"), pe_ord(1)}});
    return {
        {"pe_five_dlls_every_outcome", write_pe(app)},
        {"pe_address_table_only", write_pe(iat)},
        {"pe_short_header", write_pe(short_header)},
        {"pe_no_imports", write_pe(no_imports)},
        {"pe_delay_imports_as_addresses", write_pe(delay_va)},
        {"pe_delay_imports_as_addresses_with_rva_entries", write_pe(delay_va_rvas)},
        {"pe_optional_header_of_ten_directories", write_pe(ten_dirs)},
        {"pe32plus_six_dlls_every_outcome", write_pe(pe_wide(app64))},
        {"pe32plus_address_table_only", write_pe(pe_wide(iat))},
    };
}

// API-set schemas: a section alone (first byte 0) and inside its DLL (first byte 1, then the
// image less the DOS header and signature that the target prefixes).
std::vector<FUZZ_FILE> apiset_seeds() {
    APISET_DESC d;
    d.entries = {{"api-ms-win-crt-runtime-l1-1-0", {{"", "ucrtbase.dll"}}},
                 {"api-ms-win-core-synch-l1-2-0", {{"", "kernel32.dll"}, {"kernel32.dll", "kernelbase.dll"}, {"zeta.dll", "z.dll"}}},
                 {"ext-ms-win-empty-l1-1-0", {}},
                 {"api-ms-win-blank-l1-1-0", {{"", ""}}}};
    BYTES section = write_apiset(d);
    BYTES bare{0}, inDll{1};
    bare.insert(bare.end(), section.begin(), section.end());
    BYTES dll = write_apiset_dll(section);
    inDll.insert(inDll.end(), dll.begin() + long(fuzz_module_prefix('P').size()), dll.end());
    return {{"apiset_section", bare}, {"apiset_in_dll", inDll}};
}

}  // namespace

std::vector<FUZZ_FILE> fuzz_dll_folder(char format) {
    switch (format) {
        case 'L': return lx_folder();
        case 'N': return ne_folder();
        default: return pe_folder();
    }
}

std::vector<FUZZ_FILE> fuzz_seeds(char format) {
    switch (format) {
        case 'L': return lx_seeds();
        case 'N': return ne_seeds();
        case 'P': return pe_seeds();
        case 'A': return apiset_seeds();
        default: return pe_loader_seeds();
    }
}
