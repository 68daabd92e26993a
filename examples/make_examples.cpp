// Writes the bundled example modules: a PE application with its DLLs (one missing, one
// entry that does not resolve), a PE application whose DLL lacks a DLL of its own, an LX
// application with two DLLs, an NE application with one DLL, and plugins with the programs
// that load them. Run by the build; the files land in the folder named on the command line.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/lx_writer.h"
#include "support/ne_writer.h"
#include "support/pe_writer.h"

namespace {

struct EXAMPLE_FILE {
    std::string name;
    BYTES bytes;
};

bool write_file(const std::string& path, const BYTES& b) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(b.data(), 1, b.size(), f) == b.size();
    return fclose(f) == 0 && ok;
}

// A DLL named name, exporting the given entries at ordinals 1, 2, ... and importing imports.
BYTES pe_dll(const std::string& name, const std::vector<std::string>& exports,
             const std::vector<PE_IMPORT>& imports = {}) {
    PE_DESC d;
    uint32_t ordinal = 1;
    for (const std::string& e : exports) d.exports.push_back(PE_EXPORT{ordinal++, e, "", 0});
    d.export_dir = true;
    d.export_name = name;
    d.imports = imports;
    return write_pe(d);
}

// app.exe imports from shapes.dll (which imports colors.dll in turn), from colors.dll one
// entry it lacks (fade_out), and from printer.dll, which is not there.
std::vector<EXAMPLE_FILE> pe_example() {
    PE_DESC app;
    app.imports = {{"shapes.dll", {pe_name("draw_circle"), pe_name("draw_square"), pe_ord(3)}},
                   {"colors.dll", {pe_name("mix_colors"), pe_name("fade_out")}},
                   {"printer.dll", {pe_name("print_page")}}};
    return {{"app.exe", write_pe(app)},
            {"shapes.dll", pe_dll("shapes.dll", {"draw_circle", "draw_square", "fill_shape"},
                                  {{"colors.dll", {pe_name("mix_colors")}}})},
            {"colors.dll", pe_dll("colors.dll", {"mix_colors", "blend_colors"})}};
}

// app.exe imports mid.dll, which is there but imports dep.dll, which is not.
std::vector<EXAMPLE_FILE> cause_example() {
    PE_DESC app;
    app.imports = {{"mid.dll", {pe_name("start")}}};
    return {{"app.exe", write_pe(app)}, {"mid.dll", pe_dll("mid.dll", {"start"}, {{"dep.dll", {pe_name("work")}}})}};
}

std::vector<EXAMPLE_FILE> lx_example() {
    LX_DESC app;
    app.modules = {"DISPLAY", "FILEIO"};
    app.procs = {"OpenFile", "CloseFile"};
    app.records = {lx_import_ordinal(1, 12), lx_import_name(2, lx_proc_offset(app, 0)),
                   lx_import_name(2, lx_proc_offset(app, 1)), lx_import_ordinal(1, 7)};
    LX_DESC display;
    display.modules = {"FILEIO"};
    display.records = {lx_import_ordinal(1, 3)};
    return {{"app.exe", write_lx(app)}, {"DISPLAY.DLL", write_lx(display)}, {"FILEIO.DLL", write_lx(LX_DESC{})}};
}

std::vector<EXAMPLE_FILE> ne_example() {
    NE_DESC app = ne_module({"KERNEL"}, {ne_ordinal(1, 3), ne_ordinal(1, 5)});
    uint16_t name = app.names.add("GETVERSION");
    app.segs[0].relocs.push_back(ne_by_name(1, name));
    return {{"app.exe", write_ne(app)}, {"KERNEL.DLL", write_ne(ne_module({}))}};
}

// A Python extension module and a Node addon with the programs that load them:
// python/python.exe loads python312.dll beside it for itself; site/pkg/mod.pyd imports from it,
// and from libfoo.dll in site/pkg.libs; addon/watcher.node delay-loads two entries that
// node/node.exe exports.
std::vector<EXAMPLE_FILE> plugin_example() {
    PE_DESC python;
    python.program = true;
    python.imports = {{"python312.dll", {pe_name("Py_Main")}}};
    PE_DESC node;
    node.program = true;
    node.exports = {PE_EXPORT{1, "napi_create_function", "", 0}, PE_EXPORT{2, "napi_get_cb_info", "", 0}};
    node.export_name = "node.exe";
    PE_DESC addon;
    addon.delay_imports = {{"node.exe", {pe_name("napi_create_function"), pe_name("napi_get_cb_info")}}};
    return {{"python/python.exe", write_pe(python)},
            {"python/python312.dll", pe_dll("python312.dll", {"Py_Main", "PyArg_ParseTuple"})},
            {"site/pkg/mod.pyd", pe_dll("mod.pyd", {"PyInit_mod"},
                                        {{"python312.dll", {pe_name("PyArg_ParseTuple")}}, {"libfoo.dll", {pe_name("foo_open")}}})},
            {"site/pkg.libs/libfoo.dll", pe_dll("libfoo.dll", {"foo_open"})},
            {"node/node.exe", write_pe(node)},
            {"addon/watcher.node", write_pe(addon)}};
}

// Makes the folders of path below base, one component at a time.
void make_folders(const std::string& base, const std::string& path) {
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir((base + "/" + path.substr(0, slash)).c_str(), 0755);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_examples OUTDIR\n");
        return 2;
    }
    std::string out = argv[1];
    mkdir(out.c_str(), 0755);
    const struct {
        const char* folder;
        std::vector<EXAMPLE_FILE> files;
    } sets[] = {{"pe", pe_example()},
                {"cause", cause_example()},
                {"lx", lx_example()},
                {"ne", ne_example()},
                {"plugin", plugin_example()}};
    for (const auto& set : sets) {
        std::string dir = out + "/" + set.folder;
        mkdir(dir.c_str(), 0755);
        for (const EXAMPLE_FILE& f : set.files) {
            make_folders(dir, f.name);
            if (!write_file(dir + "/" + f.name, f.bytes)) {
                fprintf(stderr, "make_examples: cannot write %s/%s\n", dir.c_str(), f.name.c_str());
                return 1;
            }
        }
    }
    return 0;
}
