// The damage sweeps, run in-process so that thousands of variants take seconds.
#include "support/damage_sweep.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string_view>

#include "driver/run.h"
#include "platform/fs_memory.h"
#include "platform/loader.h"
#include "support/in_process.h"
#include "talvek.h"

namespace {

using namespace talvek;

// A JSON document checked for form, with the few values the sweep compares: the exit code and
// the number of problems.
struct JSON_CHECK {
    std::string_view s;
    size_t i = 0;
    int depth = 0;
    long exit_code = -1;
    long cMissing = -1;

    void ws() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\t' || s[i] == '\r')) i++;
    }
    bool lit(std::string_view w) {
        if (s.substr(i, w.size()) != w) return false;
        i += w.size();
        return true;
    }
    bool string(std::string* text) {
        if (!lit("\"")) return false;
        for (; i < s.size() && s[i] != '"'; i++) {
            if (uint8_t(s[i]) < 0x20) return false;
            if (s[i] != '\\') {
                if (text) *text += s[i];
                continue;
            }
            if (++i >= s.size()) return false;
            if (s[i] == 'u') {
                for (int k = 0; k < 4; k++)
                    if (++i >= s.size() || !isxdigit(uint8_t(s[i]))) return false;
            } else if (std::string_view("\"\\/bfnrt").find(s[i]) == std::string_view::npos) {
                return false;
            }
        }
        return lit("\"");
    }
    bool number(long* v) {
        size_t start = i;
        lit("-");
        while (i < s.size() && isdigit(uint8_t(s[i]))) i++;
        if (i == start || s[i - 1] == '-') return false;
        *v = strtol(std::string(s.substr(start, i - start)).c_str(), nullptr, 10);
        return true;
    }
    // A value; at the document's top level, key names the member it is.
    bool value(const std::string& key = {}) {
        ws();
        if (i >= s.size() || ++depth > 64) return false;
        bool ok;
        long v = 0;
        if (s[i] == '{' || s[i] == '[') {
            bool fObject = s[i++] == '{';
            long cItems = 0;
            ws();
            if (lit(fObject ? "}" : "]")) {
                ok = true;
            } else {
                for (ok = true; ok; cItems++) {
                    std::string member;
                    ws();
                    if (fObject && !(string(&member) && (ws(), lit(":")))) return false;
                    ok = value(depth == 1 ? member : std::string());
                    ws();
                    if (ok && lit(fObject ? "}" : "]")) break;
                    ok = ok && lit(",");
                }
                cItems++;
            }
            if (key == "missing") cMissing = cItems;
        } else if (s[i] == '"') {
            ok = string(nullptr);
        } else if (lit("null") || lit("true") || lit("false")) {
            ok = true;
        } else {
            ok = number(&v);
            if (key == "exit_code") exit_code = v;
        }
        depth--;
        return ok;
    }
};

bool ends_cleanly(const std::string& text, bool allow_unterminated) {
    return text.empty() || text.back() == '\n' || allow_unterminated;
}

// Whether the loader refuses the file at path as a DLL (193 for the file itself), in the
// process of the machine its file header names.
bool refused_as_dll(const std::string& path, const BYTES& image) {
    uint32_t ofsPE = image.size() >= 0x40 ? uint32_t(image[0x3C] | image[0x3D] << 8 | image[0x3E] << 16 | uint32_t(image[0x3F]) << 24) : 0;
    uint16_t machine = ofsPE > 0 && uint64_t(ofsPE) + 6 <= image.size() ? uint16_t(image[ofsPE + 4] | image[ofsPE + 5] << 8) : 0x014C;
    FS_MEMORY mem;
    mem.fOn = true;
    LOADER_PTR L = make_loader(&mem, "");
    loader_select_process(L.get(), machine);
    loader_set_application_path(L.get(), path.c_str());
    LOAD_FAILURE why;
    return !loader_load(L.get(), path.c_str(), &why) && why.error == LOAD_ERR_BAD_EXE_FORMAT && why.chain.size() == 1;
}

// Checks one damaged image as app.exe in dir, in one run with -e and -j on, as the sweep says.
void check_variant(const SWEEP& s, const std::string& dir, const BYTES& image) {
    write_files(dir, {{"app.exe", image}});
    std::string path = dir + "/app.exe";
    std::vector<std::string> args{"talvek", "-e", "-j"};
    for (const std::string& o : s.options) args.push_back("-" + o);
    args.push_back(path);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    COMMAND_LINE cl = parse_command_line(int(argv.size()), argv.data());
    ASSERT_TRUE(cl.fRun);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::unique_ptr<REPORT_SINK> text = make_text_report(cl.opt);
    RUN_PTR run = make_run(cl.opt, text.get());
    CHECK_RESULT r = check(run.get(), path.c_str());
    int32_t rc = !r.fRunEnded && r.rc == RC_OK && missing_count(run.get()) > 0 ? RC_MISSING : r.rc;
    char* doc = nullptr;
    size_t cbDoc = 0;
    FILE* mem = open_memstream(&doc, &cbDoc);
    print_json_report(run.get(), mem, int(argv.size()), argv.data(), rc);
    fclose(mem);
    std::string json(doc, cbDoc);
    free(doc);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(s.allowed.count(r.rc)) << "result " << r.rc << "\nerr: " << err;
    EXPECT_TRUE(ends_cleanly(out, false)) << out;
    EXPECT_TRUE(ends_cleanly(err, s.allow_unterminated)) << err;
    // A failure is reported; a success reports no error of the named module itself.
    if (r.rc != 0) {
        EXPECT_NE(err, "");
    }
    JSON_CHECK j{json};
    EXPECT_TRUE(j.value() && (j.ws(), j.i == json.size())) << "not JSON at " << j.i << ":\n" << json;
    EXPECT_EQ(j.exit_code, rc) << json;
    EXPECT_EQ(size_t(j.cMissing), missing_count(run.get())) << json;
    if (!s.fPe) return;
    // The named module's own image is refused exactly when the loader refuses the same bytes
    // as a DLL, unless the report fails the module first (a format error, a read error).
    bool fRefused = !run->record.modules.empty() && run->record.modules[0].fRefused;
    bool fDllRefused = refused_as_dll(path, image);
    EXPECT_TRUE(!fRefused || fDllRefused) << "refused as the module named, loaded as a DLL\n" << err;
    EXPECT_TRUE(!fDllRefused || fRefused || r.rc != 0) << "refused as a DLL, fine as the module named\n" << out;
}

bool whole_sweeps() {
    const char* all = getenv("TALVEK_SWEEP_ALL");
    return all && *all == '1';
}

}  // namespace

int check_module_in_process(const std::string& dir, const BYTES& image, const std::vector<std::string>& options,
                            std::string* out, std::string* err) {
    write_files(dir, {{"app.exe", image}});
    std::string path = dir + "/app.exe";
    // The options as the command line gives them.
    std::vector<std::string> args{"talvek"};
    for (const std::string& o : options) args.push_back("-" + o);
    args.push_back(path);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    COMMAND_LINE cl = parse_command_line(int(argv.size()), argv.data());
    EXPECT_TRUE(cl.fRun);
    return check_in_process(path, cl.opt, out, err).rc;
}

void run_truncation_sweep(const SWEEP& s) {
    std::string dir = make_temp_dir();
    write_files(dir, s.folder);
    std::string out, err;
    ASSERT_EQ(check_module_in_process(dir, s.image, s.options, &out, &err), 0) << err;
    size_t dense = whole_sweeps() ? SIZE_MAX : s.dense;
    for (size_t n = 0; n < s.image.size(); n++) {
        if (n > dense && n % 7 != 0) continue;
        SCOPED_TRACE("cut at " + std::to_string(n));
        check_variant(s, dir, BYTES(s.image.begin(), s.image.begin() + long(n)));
    }
    remove_tree(dir);
}

void run_bit_flip_sweep(const SWEEP& s) {
    std::string dir = make_temp_dir();
    write_files(dir, s.folder);
    size_t dense = whole_sweeps() ? SIZE_MAX : s.dense;
    for (const auto& range : s.flip)
    for (size_t pos = range.first; pos < range.second && pos < s.image.size(); pos++) {
        for (int bit = 0; bit < 8; bit++) {
            if (pos >= dense && bit != int(pos % 8)) continue;
            SCOPED_TRACE("byte " + std::to_string(pos) + " bit " + std::to_string(bit));
            BYTES img = s.image;
            img[pos] = uint8_t(img[pos] ^ (1u << bit));
            check_variant(s, dir, img);
        }
    }
    remove_tree(dir);
}
