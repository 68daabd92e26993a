// The run: its state, its events, and the check of modules with every DLL they need, driven on
// an explicit stack so that a chain of DLLs of any depth takes no stack of its own.
#include "driver/run.h"

#include <algorithm>

#include "platform/dir_listings.h"
#include "platform/fs.h"
#include "platform/windows_dlls.h"

namespace talvek {

void RUN_DELETER::operator()(RUN* run) const { delete run; }

RUN_PTR make_run(const OPTIONS& opt, REPORT_SINK* listener) {
    RUN_PTR run(new RUN);
    run->opt = opt;
    run->listener = listener;
    run->registry.FileIndex.alloc = opt.alloc;
    run->record.opt = &run->opt;
    run->record.fOn = opt.exit_missing || opt.json_report || opt.graph_report || opt.windows_version >= 0;
    // A run writes no files while it checks, so a folder lists the same entries throughout.
    run->files.fOn = true;
    run->loader = make_loader(&run->files, opt.wine_root);
    // With --windows, the loader judges every DLL by that version.
    if (opt.windows_version >= 0) loader_set_target_windows(run->loader.get(), WINDOWS_VERSION(opt.windows_version));
    loader_set_search(run->loader.get(), opt.search_mode, opt.dll_dirs);
    if (!opt.ship_from.empty()) loader_set_ship_from(run->loader.get(), opt.ship_from);
    run->ctx = CHECK_CONTEXT{&run->opt, run.get(), &run->files, run->loader.get()};
    return run;
}

void RUN::event(const REPORT_EVENT& ev) {
    REPORT_EVENT e = ev;
    e.level = level;
    if (listener) listener->event(e);
    record_event(&record, e);
    if (e.kind == RPT_FATAL) {
        end.fRunEnded = true;
        end.rc = e.code;
        end.error = e.error;
    }
}

std::string dll_file_for(RUN* run, std::string_view module_name, const std::string& importer) {
    std::string file(module_name);
    if (file.find('.') == std::string::npos) file += ".DLL";
    std::string dirs[3] = {dir_part(importer), run->namedModule.empty() ? "" : dir_part(run->namedModule), ""};
    std::string real;
    for (int i = 0; i < 3; i++) {
        if ((i > 0 && dirs[i] == dirs[0]) || (i > 1 && dirs[i] == dirs[1])) continue;
        if (find_dir_entry(&run->files, dirs[i], file, &real)) return normal_path(dirs[i] + real);
    }
    return file;
}

// The module file the import at hand in the module at importer leads to, checked next when the
// run follows DLLs (a DLL that did not load only with -x).
static void follow(RUN* run, const std::string& importer, const FOLLOW& next) {
    if (!run->opt.recurse || next.file.empty() || (next.fFailed && !run->opt.check_failed_dlls)) return;
    begin_module(run, next.fSearch ? dll_file_for(run, next.file, importer) : next.file, false, false, next.fFailed);
}

// Checks the module file filespec and every DLL it leads to: the modules begun are gone
// through import by import, the newest first, until the one begun here has ended. Returns its
// result.
static int32_t check_module(RUN* run, const std::string& filespec, bool fAbort, bool fNamed) {
    size_t base = run->stack.size();
    int32_t rc = begin_module(run, filespec, fAbort, fNamed, true);
    while (run->stack.size() > base && !run->end.fRunEnded) {
        MODULE_FRAME& top = run->stack.back();
        FOLLOW next;
        if (top.check->next_import(&run->ctx, &next)) {
            std::string importer = top.filespec;
            follow(run, importer, next);
            continue;
        }
        int32_t result = top.check->finish(&run->ctx);
        run->stack.pop_back();
        report_simple(run, RPT_END, {}, result);
        run->level--;
        if (run->stack.size() == base) rc = result;
    }
    // A failure that ended the run leaves the modules it was in unfinished.
    if (run->end.fRunEnded) run->stack.clear();
    return rc;
}

// Checks one module named: the DLL search starts in its folder, or with opt.bundle_dir in that
// folder, as if the module lay there, with nothing loaded; with --host, in a fresh process of
// the host. Once its check has ended, an import that leads to it by its full path finds it
// checked.
static CHECK_RESULT check_named_module(RUN* run, const std::string& filespec) {
    run->namedModule = filespec;
    std::string app = filespec;
    if (!run->opt.bundle_dir.empty()) app = run->opt.bundle_dir + "/" + std::string(base_name(filespec));
    if (run->opt.host.empty()) {
        loader_set_application_path(run->loader.get(), app.c_str());
    } else if (start_host(run, app) != RC_OK) {
        run->end = CHECK_RESULT{RC_NOT_PROCESSED, true, ERR_HOST};
        return run->end;
    }
    record_application_folder(&run->record, app);
    int32_t rc = check_module(run, filespec, !run->opt.several_modules, run->opt.several_modules);
    if (run->end.fRunEnded) return run->end;
    if (run->opt.several_modules) note_named_path(&run->registry, filespec.c_str());
    CHECK_RESULT r;
    r.rc = rc;
    return r;
}

CHECK_RESULT check(RUN* run, const char* path) {
    if (run->end.fRunEnded) return run->end;
    return check_named_module(run, path);
}

// Whether the regular file at path starts with "MZ", as every module does.
static bool starts_like_a_module(const std::string& path) {
    FILE_PTR f(open_for_reading(path.c_str()));
    char mz[2];
    return f && fread(mz, 1, sizeof mz, f.get()) == sizeof mz && mz[0] == 'M' && mz[1] == 'Z';
}

// A module file named, and the folder named that holds it ("" for a file named).
struct NAMED_FILE {
    std::string file;
    std::string folder;
};

// The module files the names stand for: a folder for every file in it and its subfolders
// that starts with "MZ", in byte order of the paths. *empty: the folders that hold none.
static std::vector<NAMED_FILE> named_module_files(const std::vector<std::string>& names, std::vector<std::string>* empty) {
    std::vector<NAMED_FILE> files;
    for (const std::string& name : names) {
        if (!is_folder(name)) {
            files.push_back(NAMED_FILE{name, {}});
            continue;
        }
        std::vector<std::string> below;
        files_below(name, &below);
        std::sort(below.begin(), below.end());
        size_t cBefore = files.size();
        for (std::string& path : below)
            if (starts_like_a_module(path)) files.push_back(NAMED_FILE{std::move(path), name});
        if (files.size() == cBefore) empty->push_back(name);
    }
    return files;
}

// The warning that folder holds no module, beside modules of other names.
static void report_no_module(RUN* run, const std::string& folder) {
    REPORT_EVENT ev{RPT_NOTE};
    ev.note = NOTE_NO_MODULE_IN_FOLDER;
    ev.text = folder;
    run->event(ev);
}

CHECK_RESULT check_named(RUN* run, const std::vector<std::string>& names) {
    if (!run->opt.several_modules) return names.empty() ? CHECK_RESULT{} : check(run, names[0].c_str());
    std::vector<std::string> empty;
    std::vector<NAMED_FILE> files = named_module_files(names, &empty);
    // A folder without a module is as a file that is not there when nothing else is named,
    // and a warning beside the modules of the other names.
    CHECK_RESULT worst;
    for (const std::string& folder : empty) {
        if (files.empty())
            worst.rc = report_error(run, ERR_NO_MODULE_IN_FOLDER, RC_OPEN_FAILED, folder);
        else
            report_no_module(run, folder);
    }
    run->record.fSeveralNamed = files.size() > 1;
    std::vector<std::string> named;
    for (const NAMED_FILE& f : files) named.push_back(f.file);
    record_named_files(&run->record, named);
    for (size_t i = 0; i < files.size() && !run->end.fRunEnded; i++) {
        // With more than one module, each is headed by its name.
        REPORT_EVENT ev{RPT_NAMED};
        ev.text = files[i].file;
        ev.path = files[i].folder;
        ev.code = int32_t(i);
        ev.fNamed = files.size() > 1;
        run->event(ev);
        CHECK_RESULT r = check_named_module(run, files[i].file);
        if (r.fRunEnded) return r;
        worst.rc = std::max(worst.rc, r.rc);
    }
    return worst;
}

size_t missing_count(const RUN* run) { return run->record.problems.size(); }

size_t needed_count(const RUN* run) { return run->registry.NeededFiles.size(); }

}  // namespace talvek
