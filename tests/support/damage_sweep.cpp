// The damage sweeps, run in-process so that thousands of variants take seconds.
#include "support/damage_sweep.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "driver/run.h"
#include "support/in_process.h"
#include "talvek.h"

namespace {

using namespace talvek;

// Whether a document is one well-formed JSON value; of its top-level members it keeps the
// integer "exit_code" and the item count of "missing", which the run must agree with.
struct JSON_CHECK {
    std::string_view s;
    size_t i = 0;
    long exit_code = -1, cMissing = -1;

    bool eat(char c) {
        while (i < s.size() && s[i] && strchr(" \n\r\t", s[i])) i++;
        return i < s.size() && s[i] == c && ++i;
    }
    bool string(std::string_view* text) {
        if (!eat('"')) return false;
        size_t start = i;
        for (; i < s.size() && s[i] != '"'; i++)
            if (uint8_t(s[i]) < 0x20 || (s[i] == '\\' && (++i == s.size() || !s[i] || !strchr("\"\\/bfnrtu", s[i])))) return false;
        *text = s.substr(start, i - start);
        return eat('"');
    }
    bool value(int depth, std::string_view key = {}) {
        std::string_view text;
        if (depth > 64) return false;
        if (eat('{') || eat('[')) {
            char close = s[i - 1] == '{' ? '}' : ']';
            long n = 0;
            if (!eat(close)) {
                do {
                    std::string_view member;
                    if (close == '}' && !(string(&member) && eat(':'))) return false;
                    if (!value(depth + 1, depth == 0 ? member : std::string_view())) return false;
                    n++;
                } while (eat(','));
                if (!eat(close)) return false;
            }
            if (key == "missing") cMissing = n;
            return true;
        }
        if (i < s.size() && s[i] == '"') return string(&text);
        for (const char* word : {"null", "true", "false"})
            if (s.substr(i, strlen(word)) == word) return (i += strlen(word)) > 0;
        char* end = nullptr;
        std::string rest(s.substr(i, 24));
        long v = strtol(rest.c_str(), &end, 10);
        if (end == rest.c_str()) return false;
        i += size_t(end - rest.c_str());
        if (key == "exit_code") exit_code = v;
        return true;
    }
};

// The command line of a check of the module at path with the sweep's option letters and more.
COMMAND_LINE command_line(const std::string& path, std::vector<std::string> options, std::vector<std::string>* args) {
    *args = {"talvek"};
    for (const std::string& o : options) args->push_back("-" + o);
    args->push_back(path);
    std::vector<char*> argv;
    for (std::string& a : *args) argv.push_back(&a[0]);
    COMMAND_LINE cl = parse_command_line(int(argv.size()), argv.data());
    EXPECT_TRUE(cl.fRun);
    return cl;
}

// Whether the loader refuses the file at path as a DLL (193 for the file itself), in the
// process of the machine its file header names.
bool refused_as_dll(const std::string& path, const BYTES& image) {
    uint32_t ofsPE = image.size() >= 0x40 ? uint32_t(image[0x3C] | image[0x3D] << 8 | image[0x3E] << 16 | image[0x3F] << 24) : 0;
    uint64_t at = uint64_t(ofsPE) + 4;
    FS_MEMORY mem;
    LOADER_PTR L = make_loader(&mem, "");
    loader_set_application_path(L.get(), path.c_str());
    loader_select_process(L.get(), at > 4 && at + 2 <= image.size() ? uint16_t(image[at] | image[at + 1] << 8) : 0x014C);
    LOAD_FAILURE why;
    return !loader_load(L.get(), path.c_str(), &why) && why.error == LOAD_ERR_BAD_EXE_FORMAT && why.chain.size() == 1;
}

// Checks one damaged image as app.exe in dir, in one run with -e and -j on.
void check_variant(const SWEEP& s, const std::string& dir, const BYTES& image) {
    write_files(dir, {{"app.exe", image}});
    std::string path = dir + "/app.exe", out, err;
    std::vector<std::string> options = s.options, args;
    options.insert(options.end(), {"e", "j"});
    COMMAND_LINE cl = command_line(path, options, &args);
    RUN_PTR run;
    CHECK_RESULT r = check_in_process(path, cl.opt, &out, &err, &run);
    int32_t rc = !r.fRunEnded && r.rc == RC_OK && missing_count(run.get()) > 0 ? RC_MISSING : r.rc;
    char* doc = nullptr;
    size_t cbDoc = 0;
    FILE* mem = open_memstream(&doc, &cbDoc);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    print_json_report(run.get(), mem, int(argv.size()), argv.data(), rc);
    fclose(mem);
    JSON_CHECK j{std::string_view(doc, cbDoc)};
    EXPECT_TRUE(j.value(0) && !j.eat('\0') && j.i == cbDoc) << "not JSON at " << j.i << ":\n" << doc;
    EXPECT_EQ(j.exit_code, rc) << doc;
    EXPECT_EQ(size_t(j.cMissing), missing_count(run.get())) << doc;
    free(doc);
    EXPECT_TRUE(s.allowed.count(r.rc)) << "result " << r.rc << "\nerr: " << err;
    EXPECT_TRUE(out.empty() || out.back() == '\n') << out;
    EXPECT_TRUE(err.empty() || err.back() == '\n' || s.allow_unterminated) << err;
    // A failure is reported; a success reports no error of the named module itself.
    if (r.rc != 0) {
        EXPECT_NE(err, "");
    }
    if (!s.fPe) return;
    // The module's own image is refused exactly when the loader refuses the same bytes as a
    // DLL, unless the report fails the module first (a format or read error).
    bool fRefused = !run->record.modules.empty() && run->record.modules[0].cause, fDllRefused = refused_as_dll(path, image);
    EXPECT_TRUE(!fRefused || fDllRefused) << "refused as the module named, loaded as a DLL\n" << err;
    EXPECT_TRUE(!fDllRefused || fRefused || r.rc != 0) << "refused as a DLL, fine as the module named\n" << out;
}

// Where a sweep samples: nowhere with TALVEK_SWEEP_ALL=1.
size_t dense_part(const SWEEP& s) {
    const char* all = getenv("TALVEK_SWEEP_ALL");
    return all && *all == '1' ? SIZE_MAX : s.dense;
}

}  // namespace

int check_module_in_process(const std::string& dir, const BYTES& image, const std::vector<std::string>& options,
                            std::string* out, std::string* err) {
    write_files(dir, {{"app.exe", image}});
    std::vector<std::string> args;
    return check_in_process(dir + "/app.exe", command_line(dir + "/app.exe", options, &args).opt, out, err).rc;
}

void run_truncation_sweep(const SWEEP& s) {
    std::string dir = make_temp_dir();
    write_files(dir, s.folder);
    std::string out, err;
    ASSERT_EQ(check_module_in_process(dir, s.image, s.options, &out, &err), 0) << err;
    for (size_t n = 0; n < s.image.size(); n++) {
        if (n > dense_part(s) && n % 7 != 0) continue;
        SCOPED_TRACE("cut at " + std::to_string(n));
        check_variant(s, dir, BYTES(s.image.begin(), s.image.begin() + long(n)));
    }
    remove_tree(dir);
}

void run_bit_flip_sweep(const SWEEP& s) {
    std::string dir = make_temp_dir();
    write_files(dir, s.folder);
    for (const auto& range : s.flip)
    for (size_t pos = range.first; pos < range.second && pos < s.image.size(); pos++) {
        for (int bit = 0; bit < 8; bit++) {
            if (pos >= dense_part(s) && bit != int(pos % 8)) continue;
            SCOPED_TRACE("byte " + std::to_string(pos) + " bit " + std::to_string(bit));
            BYTES img = s.image;
            img[pos] = uint8_t(img[pos] ^ (1u << bit));
            check_variant(s, dir, img);
        }
    }
    remove_tree(dir);
}
