// The PE32 and PE32+ writer of the tests: the headers as a linker writes them, one generated data
// section with the import and export tables, and any extra sections a test lays out itself.
#include "support/pe_writer.h"

#include <algorithm>
#include <cctype>
#include <utility>

PE_REF pe_ord(uint32_t ordinal) {
    PE_REF r;
    r.value = ordinal;
    r.by_ordinal = true;
    return r;
}

PE_REF pe_name(const std::string& name, uint16_t hint) {
    PE_REF r;
    r.name = name;
    r.hint = hint;
    return r;
}

PE_DESC pe_wide(PE_DESC d) {
    d.wide = true;
    d.machine = 0x8664;
    d.opt_size = 240;
    d.magic = 0x020B;
    return d;
}

static size_t align_up(size_t v, size_t a) { return (v + a - 1) / a * a; }

// Room for n bytes at the end of b; returns where they start.
static size_t reserve(BYTES& b, size_t n) {
    size_t at = b.size();
    b.resize(at + n);
    return at;
}

static size_t add_cstr(BYTES& b, const std::string& s) {
    size_t at = b.size();
    add_str(b, s);
    add_u8(b, 0);
    return at;
}

BYTES pe_section_header(uint32_t va, uint32_t vsize, uint32_t raw_size, uint32_t raw_ptr) {
    BYTES h(40, 0);
    put_str(h, 0, ".sect");
    put_u32(h, 8, vsize);
    put_u32(h, 12, va);
    put_u32(h, 16, raw_size);
    put_u32(h, 20, raw_ptr);
    put_u32(h, 36, 0x40000040);   // initialised data, readable
    return h;
}

size_t pe_dir_ofs(const PE_LAYOUT& l, unsigned i) { return l.dir_ofs + 8 * i; }
size_t pe_section_ofs(const PE_LAYOUT& l, unsigned k) { return l.sect_ofs + 40 * k; }

BYTES write_pe(const PE_DESC& d, PE_LAYOUT* layout) {
    PE_LAYOUT l{};
    l.pe_ofs = d.dos.ofs_new_hdr;
    l.opt_ofs = l.pe_ofs + 24;
    // PE32+ has a 64-bit image base (and stack sizes) and no BaseOfData: the fields from
    // NumberOfRvaAndSizes on lie 16 bytes further in.
    const size_t ofsDirs = d.wide ? 112 : 96;
    const size_t cbEntry = d.wide ? 8 : 4;
    l.dir_ofs = l.opt_ofs + ofsDirs;
    l.sect_ofs = l.opt_ofs + d.opt_size;
    size_t cSections = d.sections.size() + 1;
    size_t cbHeaders = align_up(l.sect_ofs + 40 * cSections, 0x200);
    size_t dataRaw = cbHeaders;
    for (const PE_SECTION& s : d.sections) dataRaw = std::max<size_t>(dataRaw, size_t(s.raw_ptr) + s.raw_size);
    l.data_raw = align_up(dataRaw, 0x200);
    l.data_va = d.data_va;
    auto rva = [&](size_t off) { return uint32_t(d.data_va + off); };

    // The generated data section; its first 16 bytes stand for code, the default address
    // of an export.
    BYTES D(16, 0xCC);
    // A lookup entry for ref: the ordinal with the width's flag, or the address of a hint/name
    // entry written now (addr turns its data offset into what the table holds).
    auto lookup_value = [&](const PE_REF& ref, auto addr) {
        uint64_t v = ref.value;
        if (ref.by_ordinal) v |= d.wide ? 0x8000000000000000ull : 0x80000000u;
        if (!ref.name.empty()) {
            if (D.size() % 2) add_u8(D, 0);
            size_t hn = D.size();
            add_u16(D, ref.hint);
            add_cstr(D, ref.name);
            v = addr(hn);
        }
        return v;
    };
    bool fImports = !d.imports.empty() || !d.import_terminator;
    size_t impOff = reserve(D, 20 * (d.imports.size() + (d.import_terminator ? 1 : 0)));
    std::vector<size_t> iltOff, iatOff;
    for (const PE_IMPORT& m : d.imports) {
        iltOff.push_back(m.iat_only ? 0 : reserve(D, cbEntry * (m.refs.size() + 1)));
        iatOff.push_back(reserve(D, cbEntry * (m.refs.size() + 1)));
    }
    for (size_t i = 0; i < d.imports.size(); i++) {
        const PE_IMPORT& m = d.imports[i];
        size_t nameOff = add_cstr(D, m.dll);
        l.dll_name_ofs.push_back(l.data_raw + nameOff);
        for (size_t j = 0; j < m.refs.size(); j++) {
            uint64_t v = lookup_value(m.refs[j], rva);
            for (size_t at : {iltOff[i], iatOff[i]}) {
                if (at == 0) continue;   // no lookup table
                put_u32(D, at + cbEntry * j, uint32_t(v));
                if (d.wide) put_u32(D, at + cbEntry * j + 4, uint32_t(v >> 32));
            }
        }
        size_t desc = impOff + 20 * i;
        put_u32(D, desc + 0, m.iat_only ? 0 : rva(iltOff[i]));
        put_u32(D, desc + 12, rva(nameOff));
        put_u32(D, desc + 16, rva(iatOff[i]));
        l.lookup_ofs.push_back(l.data_raw + (m.iat_only ? iatOff[i] : iltOff[i]));
    }
    l.import_ofs = l.data_raw + impOff;
    l.import_rva = fImports ? rva(impOff) : 0;

    // Delay-load descriptors: Attributes, DLL name, module handle, address table, name table;
    // the rest 0. Entries by name point to hint/name entries, by VA too in the VA form.
    const uint32_t kImageBase = 0x10000000;
    auto delayAddr = [&](size_t off) { return rva(off) + (d.delay_va && !d.delay_rva_fields ? kImageBase : 0); };
    auto delayEntry = [&](size_t off) { return rva(off) + (d.delay_va && !d.delay_rva_entries ? kImageBase : 0); };
    uint32_t delayRVA = 0;
    size_t cbDelay = 32 * (d.delay_imports.size() + 1);
    if (!d.delay_imports.empty()) {
        while (D.size() % 8) add_u8(D, 0);
        size_t descOff = reserve(D, cbDelay);
        delayRVA = rva(descOff);
        l.delay_ofs = l.data_raw + descOff;
        for (size_t i = 0; i < d.delay_imports.size(); i++) {
            const PE_IMPORT& m = d.delay_imports[i];
            size_t handle = reserve(D, cbEntry);
            size_t iat = reserve(D, cbEntry * (m.refs.size() + 1));
            size_t names = reserve(D, cbEntry * (m.refs.size() + 1));
            size_t desc = descOff + 32 * i;
            put_u32(D, desc + 0, d.delay_va ? 0 : 1);
            put_u32(D, desc + 4, delayAddr(add_cstr(D, m.dll)));
            put_u32(D, desc + 8, delayAddr(handle));
            put_u32(D, desc + 12, delayAddr(iat));
            put_u32(D, desc + 16, delayAddr(names));
            for (size_t j = 0; j < m.refs.size(); j++) {
                uint64_t v = lookup_value(m.refs[j], delayEntry);
                put_u32(D, names + cbEntry * j, uint32_t(v));
                if (d.wide) put_u32(D, names + cbEntry * j + 4, uint32_t(v >> 32));
            }
        }
    }

    bool fExports = d.export_dir || !d.exports.empty();
    uint32_t cbExports = 0;
    if (fExports) {
        while (D.size() % 4) add_u8(D, 0);
        size_t expOff = reserve(D, 40);
        uint32_t cFuncs = d.export_funcs;
        std::vector<const PE_EXPORT*> named;
        for (const PE_EXPORT& e : d.exports) {
            if (d.export_funcs == 0) cFuncs = std::max(cFuncs, e.ordinal - d.export_base + 1);
            if (!e.name.empty()) named.push_back(&e);
        }
        size_t eatOff = reserve(D, 4 * size_t(cFuncs));
        size_t namesOff = reserve(D, 4 * named.size());
        size_t ordsOff = reserve(D, 2 * named.size());
        size_t dllNameOff = add_cstr(D, d.export_name);
        for (size_t k = 0; k < named.size(); k++) {
            put_u32(D, namesOff + 4 * k, rva(add_cstr(D, named[k]->name)));
            put_u16(D, ordsOff + 2 * k, uint16_t(named[k]->ordinal - d.export_base));
        }
        for (const PE_EXPORT& e : d.exports) {
            uint32_t v = e.rva ? e.rva : d.data_va;
            if (!e.forwarder.empty()) v = rva(add_cstr(D, e.forwarder));
            size_t idx = e.ordinal - d.export_base;
            if (idx < cFuncs) put_u32(D, eatOff + 4 * idx, v);
        }
        put_u32(D, expOff + 12, rva(dllNameOff));
        put_u32(D, expOff + 16, d.export_base);
        put_u32(D, expOff + 20, cFuncs);
        put_u32(D, expOff + 24, uint32_t(named.size()));
        put_u32(D, expOff + 28, rva(eatOff));
        put_u32(D, expOff + 32, rva(namesOff));
        put_u32(D, expOff + 36, rva(ordsOff));
        cbExports = uint32_t(D.size() - expOff);
        l.export_ofs = l.data_raw + expOff;
        l.eat_ofs = l.data_raw + eatOff;
        l.export_rva = rva(expOff);
    }
    size_t cbData = align_up(D.size(), 0x200);

    BYTES b = write_dos(d.dos);
    put_bytes(b, 64, d.dos_stub);
    put_str(b, l.pe_ofs, std::string("PE\0\0", 4));
    put_u16(b, l.pe_ofs + 4, d.machine);
    put_u16(b, l.pe_ofs + 6, uint16_t(cSections));
    put_u16(b, l.pe_ofs + 20, d.opt_size);
    // Executable image, 32-bit or large addresses, and DLL unless it is a program.
    put_u16(b, l.pe_ofs + 22, uint16_t((d.wide ? 0x2022 : 0x2102) & (d.program ? ~0x2000 : 0xFFFF)));
    // Optional header fields exist only inside its stated size.
    BYTES opt(d.opt_size, 0);
    auto opt32 = [&](size_t at, uint32_t v) {
        if (at + 4 <= opt.size()) put_u32(opt, at, v);
    };
    if (opt.size() >= 2) put_u16(opt, 0, d.magic);
    opt32(d.wide ? 24 : 28, kImageBase);   // ImageBase (the low half of PE32+'s)
    opt32(32, 0x1000);       // SectionAlignment
    opt32(36, 0x200);        // FileAlignment
    opt32(56, uint32_t(align_up(d.data_va + D.size(), 0x1000)));   // SizeOfImage
    opt32(60, uint32_t(cbHeaders));
    opt32(ofsDirs - 4, d.num_rva);
    if (fImports) {
        opt32(ofsDirs + 8, l.import_rva);
        opt32(ofsDirs + 12, uint32_t(20 * (d.imports.size() + 1)));
    }
    if (delayRVA) {
        opt32(ofsDirs + 8 * 13, delayRVA);
        opt32(ofsDirs + 8 * 13 + 4, uint32_t(cbDelay));
    }
    if (fExports) {
        opt32(ofsDirs, l.export_rva);
        opt32(ofsDirs + 4, cbExports);
    }
    put_bytes(b, l.opt_ofs, opt);
    for (size_t k = 0; k < d.sections.size(); k++) {
        const PE_SECTION& s = d.sections[k];
        BYTES h = pe_section_header(s.va, s.vsize, s.raw_size, s.raw_ptr);
        put_bytes(h, 0, BYTES(8, 0));
        put_str(h, 0, s.name.substr(0, 8));
        put_bytes(b, pe_section_ofs(l, unsigned(k)), h);
        if (!s.data.empty()) put_bytes(b, s.raw_ptr, s.data);
    }
    put_bytes(b, pe_section_ofs(l, unsigned(d.sections.size())),
              pe_section_header(d.data_va, uint32_t(D.size()), uint32_t(cbData), uint32_t(l.data_raw)));
    if (b.size() < l.data_raw) b.resize(l.data_raw);
    put_bytes(b, l.data_raw, D);
    b.resize(std::max(b.size(), l.data_raw + cbData));
    if (layout) *layout = l;
    return b;
}

static size_t add_utf16(BYTES& b, const std::string& s) {
    size_t at = b.size();
    for (char c : s) add_u16(b, uint8_t(c));
    return at;
}

BYTES write_apiset(const APISET_DESC& d, APISET_LAYOUT* layout) {
    const size_t cEntries = d.entries.size();
    APISET_LAYOUT l{};
    l.entry_ofs = 28;
    l.hash_ofs = l.entry_ofs + 24 * cEntries;
    l.value_ofs = l.hash_ofs + 8 * cEntries;
    BYTES b(l.value_ofs, 0);
    std::vector<size_t> valueAt;
    for (const APISET_ENTRY& e : d.entries) {
        valueAt.push_back(reserve(b, 20 * e.values.size()));
    }
    // Hashes of the lower-cased name up to its last '-', paired with their entry.
    std::vector<std::pair<uint32_t, uint32_t>> hashes;
    for (size_t i = 0; i < cEntries; i++) {
        const APISET_ENTRY& e = d.entries[i];
        size_t cchHashed = e.name.rfind('-') == std::string::npos ? e.name.size() : e.name.rfind('-');
        uint32_t h = 0;
        for (size_t k = 0; k < cchHashed; k++) h = h * d.hash_factor + uint8_t(tolower(uint8_t(e.name[k])));
        hashes.push_back({h, uint32_t(i)});
        size_t ent = l.entry_ofs + 24 * i;
        put_u32(b, ent + 4, uint32_t(add_utf16(b, e.name)));
        put_u32(b, ent + 8, uint32_t(2 * e.name.size()));
        put_u32(b, ent + 12, uint32_t(2 * cchHashed));
        put_u32(b, ent + 16, uint32_t(valueAt[i]));
        put_u32(b, ent + 20, uint32_t(e.values.size()));
        for (size_t k = 0; k < e.values.size(); k++) {
            size_t v = valueAt[i] + 20 * k;
            put_u32(b, v + 4, uint32_t(add_utf16(b, e.values[k].importer)));
            put_u32(b, v + 8, uint32_t(2 * e.values[k].importer.size()));
            put_u32(b, v + 12, uint32_t(add_utf16(b, e.values[k].host)));
            put_u32(b, v + 16, uint32_t(2 * e.values[k].host.size()));
        }
    }
    std::sort(hashes.begin(), hashes.end());
    for (size_t j = 0; j < cEntries; j++) {
        put_u32(b, l.hash_ofs + 8 * j, hashes[j].first);
        put_u32(b, l.hash_ofs + 8 * j + 4, hashes[j].second);
    }
    put_u32(b, 0, d.version);
    put_u32(b, 4, uint32_t(b.size()));
    put_u32(b, 12, uint32_t(cEntries));
    put_u32(b, 16, uint32_t(l.entry_ofs));
    put_u32(b, 20, uint32_t(l.hash_ofs));
    put_u32(b, 24, d.hash_factor);
    if (layout) *layout = l;
    return b;
}

BYTES write_apiset_dll(const BYTES& section) {
    PE_DESC d;
    PE_SECTION s;
    s.name = ".apiset";
    s.va = 0x1000;
    s.vsize = uint32_t(section.size());
    s.raw_ptr = 0x400;
    s.raw_size = uint32_t(align_up(section.size(), 0x200));
    s.data = section;
    d.sections.push_back(s);
    d.data_va = uint32_t(align_up(0x1000 + section.size(), 0x1000));
    return write_pe(d);
}
