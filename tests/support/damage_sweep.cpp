// The damage sweeps, run in-process so that thousands of variants take seconds.
#include "support/damage_sweep.h"

#include <gtest/gtest.h>

#include "support/in_process.h"
#include "talvek.h"

namespace {

bool ends_cleanly(const std::string& text, bool allow_unterminated) {
    return text.empty() || text.back() == '\n' || allow_unterminated;
}

void expect_defined(const SWEEP& s, int rc, const std::string& out, const std::string& err) {
    EXPECT_TRUE(s.allowed.count(rc)) << "result " << rc << "\nerr: " << err;
    EXPECT_TRUE(ends_cleanly(out, false)) << out;
    EXPECT_TRUE(ends_cleanly(err, s.allow_unterminated)) << err;
    // A failure is reported; a success reports no error of the named module itself.
    if (rc != 0) {
        EXPECT_NE(err, "");
    }
}

}  // namespace

int check_module_in_process(const std::string& dir, const BYTES& image, const std::vector<std::string>& options,
                            std::string* out, std::string* err) {
    using namespace talvek;
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
    for (size_t n = 0; n < s.image.size(); n++) {
        SCOPED_TRACE("cut at " + std::to_string(n));
        int rc = check_module_in_process(dir, BYTES(s.image.begin(), s.image.begin() + long(n)), s.options, &out, &err);
        expect_defined(s, rc, out, err);
    }
    remove_tree(dir);
}

void run_bit_flip_sweep(const SWEEP& s) {
    std::string dir = make_temp_dir();
    write_files(dir, s.folder);
    std::string out, err;
    for (const auto& range : s.flip)
    for (size_t pos = range.first; pos < range.second && pos < s.image.size(); pos++) {
        for (int bit = 0; bit < 8; bit++) {
            SCOPED_TRACE("byte " + std::to_string(pos) + " bit " + std::to_string(bit));
            BYTES img = s.image;
            img[pos] = uint8_t(img[pos] ^ (1u << bit));
            int rc = check_module_in_process(dir, img, s.options, &out, &err);
            expect_defined(s, rc, out, err);
        }
    }
    remove_tree(dir);
}
