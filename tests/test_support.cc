#include "tests/test_support.h"

#include "rgbe/rgbe.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <sstream>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

ScratchDir::ScratchDir()
{
    char name[] = "/tmp/pictor_test_XXXXXX";
    if (!mkdtemp(name))
        abort();
    path = name;
}

ScratchDir::~ScratchDir()
{
    std::string command = "rm -rf '" + path + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", path.c_str());
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string &path)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return names;
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

namespace {

// Takes a sample of the signals each thread of pid holds, keeping for each thread those it held
// in every sample so far.
void note_blocked_signals(pid_t pid, std::map<std::string, unsigned long long> *blocked)
{
    std::string proc = "/proc/" + std::to_string(pid) + "/task";
    for (const std::string &task : list_dir(proc)) {
        std::string status = read_file(proc + "/" + task + "/status");
        size_t at = status.find("SigBlk:");
        if (at == std::string::npos)
            continue;
        unsigned long long mask = std::stoull(status.substr(at + 7), nullptr, 16);
        auto seen = blocked->find(task);
        if (seen == blocked->end())
            (*blocked)[task] = mask;
        else
            seen->second &= mask;
    }
}

}  // namespace

RunResult run_program(const std::string &program, const std::vector<std::string> &args,
                      const RunOptions &options)
{
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        abort();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[1]);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(120);
        if (options.file_size_limit > 0) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {(rlim_t)options.file_size_limit, (rlim_t)options.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.data_limit > 0) {
            struct rlimit limit;
            getrlimit(RLIMIT_DATA, &limit);
            limit.rlim_cur = (rlim_t)options.data_limit;
            setrlimit(RLIMIT_DATA, &limit);
        }
        for (const std::string &setting : options.environment)
            putenv(const_cast<char *>(setting.c_str()));
        if (options.user > 0 && (setgid(options.user) != 0 || setuid(options.user) != 0))
            _exit(122);
        if (options.close_stdout)
            close(1);
        if (options.umask_bits >= 0)
            umask((mode_t)options.umask_bits);
        if (options.kill_at_first_rename && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(123);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(121);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (options.kill_at_first_rename) {
        // Stopped at each system call of the main thread; killed at the first rename's entry.
        int status;
        waitpid(pid, &status, 0);  // at the exec
        ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
        for (int sig = 0; ptrace(PTRACE_SYSCALL, pid, nullptr, sig) == 0 && waitpid(pid, &status, 0) == pid;) {
            sig = 0;
            if (!WIFSTOPPED(status))
                break;
            if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
                sig = WSTOPSIG(status);
                continue;
            }
#if defined(__x86_64__)
            struct user_regs_struct regs;
            ptrace(PTRACE_GETREGS, pid, nullptr, &regs);
            long call = (long)regs.orig_rax;
            if (call == SYS_rename || call == SYS_renameat || call == SYS_renameat2) {
                kill(pid, SIGKILL);
                break;
            }
#endif
        }
    }
    RunResult result;
    result.status = -1;
    result.signal = 0;
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_pipes = 2;
    time_t deadline = time(nullptr) + options.timeout_seconds;
    bool timed_out = false;
    bool signalled = false;
    std::chrono::steady_clock::time_point signal_sent;
    std::map<std::string, unsigned long long> blocked;  // by thread: held in every sample
    while (open_pipes > 0) {
        int wait_ms = (int)(deadline - time(nullptr)) * 1000;
        if ((options.signal_on_temporary || options.threads_on_temporary) && !signalled) {
            for (const std::string &name : list_dir(options.cwd))
                signalled = signalled || name[0] == '.';
            if (signalled && options.signal_on_temporary) {
                kill(pid, options.signal_on_temporary);
                signal_sent = std::chrono::steady_clock::now();
            }
            wait_ms = wait_ms > 0 ? 1 : 0;
            if (wait_ms > 0 && poll(fds, 2, 1) == 0)
                continue;
        }
        if (signalled && options.threads_on_temporary)
            note_blocked_signals(pid, &blocked);
        // Under ThreadSanitizer, a program takes an asynchronous signal at its next call into
        // the sanitizer's runtime, and at times not at all: the signal is sent again, as a user
        // presses Ctrl-C again, until the program ends.
        bool resending = signalled && options.signal_on_temporary;
        if (resending && std::chrono::steady_clock::now() - signal_sent > std::chrono::milliseconds(20)) {
            kill(pid, options.signal_on_temporary);
            signal_sent = std::chrono::steady_clock::now();
        }
        int ready = wait_ms <= 0 ? 0 : poll(fds, 2, resending ? std::min(wait_ms, 20) : wait_ms);
        if (ready == 0 && resending && wait_ms > 0)
            continue;
        if (ready == 0) {
            timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, (size_t)got);
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_pipes--;
            }
        }
    }
    for (int i = 0; i < 2; i++)
        if (fds[i].fd >= 0)
            close(fds[i].fd);
    std::string main_thread = std::to_string(pid);
    if (blocked.count(main_thread))
        result.blocked.push_back(blocked[main_thread]);
    for (const auto &thread : blocked) {
        if (thread.first != main_thread)
            result.blocked.push_back(thread.second);
    }
    int status = 0;
    struct rusage usage = {};
    wait4(pid, &status, 0, &usage);
    result.peak_kb = usage.ru_maxrss;
    if (timed_out)
        result.status = -1;
    else if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = 128 + (result.signal = WTERMSIG(status));
    return result;
}

std::string corpus_dir(const std::string &sub)
{
    std::string dir = std::string(PICTOR_CORPUS_DIR) + "/" + sub;
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return "";
    return dir;
}

std::string tohalf_path()
{
    return PICTOR_TOHALF_PATH;
}

std::string fromhalf_path()
{
    return PICTOR_FROMHALF_PATH;
}

std::string failing_malloc_path()
{
    return PICTOR_FAILING_MALLOC_PATH;
}

void write_rgbe_picture(const std::string &path, int width, int height,
                        const std::vector<double> &pixels, const std::string &extra_header)
{
    FILE *out = fopen(path.c_str(), "wb");
    if (!out)
        abort();
    if (extra_header.empty()) {
        rgbe_header_write(out, width, height, nullptr);
    } else {
        fprintf(out, "#?RGBE\nFORMAT=32-bit_rle_rgbe\n%s\n-Y %d +X %d\n", extra_header.c_str(),
                height, width);
    }
    rgbe_put_scanlines(out, pixels.data(), width, height);
    fclose(out);
}

std::vector<double> exact_pixels(int width, int height, unsigned seed)
{
    std::vector<double> pixels((size_t)width * height * 3);
    unsigned state = seed;
    for (size_t i = 0; i < pixels.size(); i += 3) {
        state = state * 1103515245u + 12345u;
        int exponent = (int)((state >> 16) % 12) - 6;
        // The largest component keeps its top bit so that it decodes to itself.
        double scale = ldexp(1.0, exponent - 8);
        pixels[i] = (128 + (state >> 8) % 128) * scale;
        pixels[i + 1] = (1 + (state >> 4) % 128) * scale;
        pixels[i + 2] = ((i / 3) % 7 < 3 ? 64 : 1 + (state % 128)) * scale;
    }
    return pixels;
}

bool have_tool(const std::string &name)
{
    std::string command = "command -v " + name + " > /dev/null 2>&1";
    return system(command.c_str()) == 0;
}

const char TOHALF_USAGE[] =
    "\nUSAGE: \npictor_tohalf  -i input.hdr -o output.exr \nOPTIONS: \n"
    "-i \t\tinput file in Radiance rgbe (.pic or .hdr)\n-o \t\toutput file in ILM exr (.exr)\n"
    "--float \twrite 32-bit float channels, every value kept, instead of half floats\n"
    "--compression NAME[:LEVEL] \tnone, rle, zips, zip, piz (the default), pxr24, b44, b44a, "
    "dwaa or dwab; a level for zip and zips (1 to 9) and for dwaa and dwab\n"
    "--threads N \tuse at most N threads (by default, one for each processor it may use)\n"
    "-q, --quiet \twrite nothing on standard output, and no closing line\n"
    "-n, --no-clobber \tleave an output that exists as it is\n"
    "--version \tprint the program's name and version\n";
const char FROMHALF_USAGE[] =
    "\nUSAGE: \npictor_fromhalf  -i input.exr -o output.hdr \nOPTIONS: \n"
    "-i \t\tinput file in ILM exr (.exr)\n-o \t\toutput file in Radiance rgbe (.pic or .hdr)\n"
    "--layer NAME \tread the layer NAME: its channels NAME.R, NAME.G, NAME.B (or NAME.Y), NAME.A\n"
    "--part N \tread part N of a multi-part file: its number from 0, or its name\n"
    "--dump PATH \twrite the raw dump to PATH instead of inscanline_out.raw\n"
    "--no-dump \twrite no raw dump\n"
    "--threads N \tuse at most N threads (by default, one for each processor it may use)\n"
    "-q, --quiet \twrite nothing on standard output, and no closing line\n"
    "-n, --no-clobber \tleave an output that exists as it is\n"
    "--version \tprint the program's name and version\n";
