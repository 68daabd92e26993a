// Process handling for the CLI tests: fork, exec, poll both pipes, wait.
#include "support/tool_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

#ifndef TALVEK_EXE
#error "TALVEK_EXE must name the built tool"
#endif

// Checks run in the test process see an empty WINEPATH too, so a Wine installed on the
// machine never takes part; the loader's own tests set it, or unset it, as they need.
[[maybe_unused]] static const int kNoSystemWine = setenv("WINEPATH", "", 1);

std::string make_temp_dir() {
    // In memory where the system has a folder there: the tests write and read many thousands
    // of small files, which a disk-backed /tmp makes three times as slow.
    const char* base = getenv("TMPDIR");
    if (!(base && *base)) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/talvek-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    return std::string(buf.data());
}

static int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void remove_tree(const std::string& dir) { nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

static void make_parents(const std::string& path) {
    for (size_t i = 1; i < path.size(); i++)
        if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

void write_files(const std::string& dir, const std::vector<TOOL_FILE>& files) {
    for (const TOOL_FILE& f : files) {
        std::string path = dir + "/" + f.name;
        make_parents(path);
        if (!f.name.empty() && f.name.back() == '/') {
            mkdir(path.c_str(), 0755);
            continue;
        }
        FILE* out = fopen(path.c_str(), "wb");
        if (!out) throw std::runtime_error("cannot write " + path);
        if (!f.bytes.empty()) fwrite(f.bytes.data(), 1, f.bytes.size(), out);
        fclose(out);
    }
}

BYTES read_bytes(const std::string& path) {
    BYTES b;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return b;
    uint8_t buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) b.insert(b.end(), buf, buf + n);
    fclose(f);
    return b;
}

std::vector<std::string> dir_entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

static void drain(int fd, std::string* into, bool* open, size_t keep_tail) {
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        into->append(buf, size_t(n));
        if (keep_tail && into->size() > 2 * keep_tail) into->erase(0, into->size() - keep_tail);
    }
    else if (n == 0 || errno != EINTR)
        *open = false;
}

TOOL_RUN run_talvek_in(const std::string& dir, const std::vector<std::string>& args, const RUN_OPTIONS& opt) {
    int pin[2], pout[2], perr[2];
    if (pipe(pin) || pipe(pout) || (!opt.combined && pipe(perr))) throw std::runtime_error("pipe failed");
    std::vector<std::string> argv_s{TALVEK_EXE};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argv_s) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    std::string cwd = opt.workdir.empty() ? dir : dir + "/" + opt.workdir;
    int master = -1;
    if (opt.terminal && ((master = posix_openpt(O_RDWR | O_NOCTTY)) < 0 || grantpt(master) || unlockpt(master)))
        throw std::runtime_error("no pseudo-terminal");

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(pin[0], 0);
        dup2(pout[1], 1);
        if (master >= 0) {
            int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
            struct termios raw;
            if (slave < 0 || tcgetattr(slave, &raw) != 0) _exit(125);
            cfmakeraw(&raw);
            tcsetattr(slave, TCSANOW, &raw);
            dup2(slave, 1);
            close(slave);
            close(master);
        }
        dup2(opt.combined ? pout[1] : perr[1], 2);
        // Only 0, 1 and 2 stay open, so the tool sees the end of its input.
        for (int fd : {pin[0], pin[1], pout[0], pout[1]}) close(fd);
        if (!opt.combined) {
            close(perr[0]);
            close(perr[1]);
        }
        if (opt.system_wine)
            unsetenv("WINEPATH");
        else
            setenv("WINEPATH", "", 1);
        for (const auto& kv : opt.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        if (opt.stack_mb) {
            struct rlimit rl;
            getrlimit(RLIMIT_STACK, &rl);
            rl.rlim_cur = rlim_t(opt.stack_mb) << 20;
            if (rl.rlim_max != RLIM_INFINITY && rl.rlim_cur > rl.rlim_max) rl.rlim_cur = rl.rlim_max;
            setrlimit(RLIMIT_STACK, &rl);
        }
        if (chdir(cwd.c_str()) != 0) _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pin[0]);
    close(pout[1]);
    if (!opt.combined) close(perr[1]);
    if (master >= 0) {
        close(pout[0]);
        pout[0] = master;   // what the terminal shows is read from its master side
    }
    // The input is small; a tool that does not read it must not block the writer.
    signal(SIGPIPE, SIG_IGN);
    if (!opt.input.empty()) (void)!write(pin[1], opt.input.data(), opt.input.size());
    close(pin[1]);

    TOOL_RUN r{};
    r.dir = dir;
    std::string* sink_out = opt.combined ? &r.both : &r.out;
    bool out_open = true, err_open = !opt.combined;
    time_t deadline = time(nullptr) + opt.timeout_s;
    while (out_open || err_open) {
        struct pollfd fds[2];
        int n = 0;
        if (out_open) fds[n++] = {pout[0], POLLIN, 0};
        if (err_open) fds[n++] = {perr[0], POLLIN, 0};
        int rc = poll(fds, nfds_t(n), 1000);
        if (rc < 0 && errno != EINTR) break;
        if (time(nullptr) > deadline) {
            kill(pid, SIGKILL);
            break;
        }
        for (int i = 0; i < n; i++) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            if (fds[i].fd == pout[0])
                drain(pout[0], sink_out, &out_open, opt.keep_out_tail);
            else
                drain(perr[0], &r.err, &err_open, 0);
        }
    }
    close(pout[0]);
    if (!opt.combined) close(perr[0]);
    if (opt.keep_out_tail && sink_out->size() > opt.keep_out_tail) sink_out->erase(0, sink_out->size() - opt.keep_out_tail);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

TOOL_RUN run_talvek(const std::vector<std::string>& args, const std::vector<TOOL_FILE>& files, const RUN_OPTIONS& opt) {
    std::string dir = make_temp_dir();
    write_files(dir, files);
    TOOL_RUN r = run_talvek_in(dir, args, opt);
    remove_tree(dir);
    return r;
}
