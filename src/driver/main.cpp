// The talvek program: the command line, a run of the library over the modules named, the
// summaries and documents of what it met, the end.
#include <cstdio>
#include <memory>
#include <string>

#include "driver/messages.h"
#include "platform/console.h"
#include "talvek.h"

using namespace talvek;

// The run of the tool is never torn down: unmapping every file and freeing every module at
// the end would cost a tenth of a check of a folder of DLLs. It stays reachable from here (a
// name the compiler must keep), so a leak checker does not count it.
RUN* KeptRun = nullptr;

namespace {

// --deploy's first check prints only what ends the run: the failures of the named module
// itself and of its host (not its image the loader would refuse, nor a DLL the host fails to
// load, which the second check says), a folder named without a module, and a failure that ends
// the run at once; and the files of --ship-from folders it passed over.
struct QUIET_REPORT : REPORT_SINK {
    REPORT_SINK* text;
    explicit QUIET_REPORT(REPORT_SINK* t) : text(t) {}
    void event(const REPORT_EVENT& ev) override {
        bool fSaidAgain = ev.error == ERR_NOT_LOADABLE || (ev.error == ERR_HOST && ev.code == RC_OK);
        if (ev.kind == RPT_FATAL || (ev.kind == RPT_ERROR && ev.level <= 1 && !fSaidAgain) ||
            (ev.kind == RPT_NOTE && ev.note == NOTE_PASSED_OVER))
            text->event(ev);
    }
};

// The -j, -g or --ship document: the stream standard output was before the run set it aside,
// and the command line the document repeats.
struct DOCUMENT {
    FILE* stream = nullptr;
    int argc = 0;
    char** argv = nullptr;
};

// The end: the key wait of -k (not after the PE format error), then the document of what the
// run met, written at every end of a run so that an early one still yields it. Returns the
// exit code.
int32_t finish(const OPTIONS& opt, int32_t rc, bool fKeyWait, RUN_PTR run, const DOCUMENT& doc) {
    if (opt.wait_for_key && fKeyWait) {
        fputs(Msg_PressAKey, stdout);
        fflush(stdout);
        read_console_key();
    }
    if (doc.stream && run) {
        if (opt.ship_list)
            print_ship_list(run.get(), doc.stream);
        else if (opt.json_report)
            print_json_report(run.get(), doc.stream, doc.argc, doc.argv, rc);
        else
            print_dot_graph(run.get(), doc.stream);
        fflush(doc.stream);
    }
    KeptRun = run.release();
    return rc;
}

// A run that a failure ended: the -e summary of what was met so far, then the end.
int32_t finish_ended(const OPTIONS& opt, const CHECK_RESULT& r, RUN_PTR run, const DOCUMENT& doc) {
    if (opt.exit_missing) print_missing_summary(run.get(), stdout);
    return finish(opt, r.rc, r.error != ERR_PE_FORMAT, std::move(run), doc);
}

}  // namespace

int main(int argc, char** argv) {
    // The two streams reach a console or a shared capture in the order lines are produced,
    // so both are unbuffered there. Where they go to different files no order between them
    // is recorded, and standard output is buffered: a long listing costs a few writes
    // instead of several per line. Every write to standard error flushes it first, which
    // keeps the order for a reader of two separate pipes too.
    static char StdoutBuf[1 << 16];
    if (output_streams_share_file())
        setbuf(stdout, nullptr);
    else
        setvbuf(stdout, StdoutBuf, _IOFBF, sizeof StdoutBuf);
    setbuf(stderr, nullptr);

    COMMAND_LINE cl = parse_command_line(argc, argv);
    const OPTIONS& opt = cl.opt;
    DOCUMENT doc;
    if (!cl.fRun) return finish(opt, cl.rc, true, nullptr, doc);
    if (opt.json_report || opt.graph_report || opt.ship_list) {
        doc.stream = set_aside_stdout();
        if (!doc.stream) {
            fputs("QUERNIX:  Unable to set aside standard output\n", stderr);
            return finish(opt, RC_NOT_PROCESSED, true, nullptr, doc);
        }
        doc.argc = argc;
        doc.argv = argv;
    }
    std::unique_ptr<REPORT_SINK> text = make_text_report(opt);
    // --deploy: a first, quiet check finds the DLLs to ship and says what cannot ship; they are
    // copied into the folder; then a fresh run checks each module named as if it lay there, and
    // sees the folder as it is now.
    OPTIONS closing = opt;
    bool fUnshippable = false;
    if (!opt.deploy_dir.empty()) {
        QUIET_REPORT quiet(text.get());
        RUN_PTR first = make_run(opt, &quiet);
        CHECK_RESULT r = check_named(first.get(), cl.names);
        if (r.fRunEnded) return finish_ended(opt, r, std::move(first), doc);
        fUnshippable = r.rc == RC_OK && print_unshippable(first.get(), stderr) > 0;
        int32_t rc = r.rc == RC_OK ? deploy_ship_list(first.get(), opt.deploy_dir, opt.deploy_force) : r.rc;
        if (rc != RC_OK) return finish(opt, rc, true, nullptr, doc);
        text = make_text_report(opt);
        closing.bundle_dir = opt.deploy_dir;
    }
    RUN_PTR run = make_run(closing, text.get());
    CHECK_RESULT r = check_named(run.get(), cl.names);
    if (r.fRunEnded) return finish_ended(opt, r, std::move(run), doc);
    // With -m: the largest result of the modules named, and with -e 10 when anything any of
    // them needs is missing.
    int32_t rc = r.rc;
    std::string named = cl.names[0];
    for (size_t i = 1; i < cl.names.size(); i++) named += ", " + cl.names[i];
    if (opt.list_files && needed_count(run.get()) > 0) print_needed_list(run.get(), named, stdout);
    if (opt.exit_missing) {
        print_missing_summary(run.get(), stdout);
        if ((rc == RC_OK || opt.several_modules) && missing_count(run.get()) > 0) rc = RC_MISSING;
    }
    // --ship never fails silently: what cannot ship from here is said, with -e or without.
    if (opt.ship_list) fUnshippable = print_unshippable(run.get(), stderr) > 0;
    if (fUnshippable && (rc == RC_OK || opt.several_modules)) rc = RC_MISSING;
    return finish(opt, rc, true, std::move(run), doc);
}
