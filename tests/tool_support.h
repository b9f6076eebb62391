// Running the zeriza tool as its users run it: through the shell with its
// output captured, or as a child process fed through a pipe, signalled, or
// given a terminal.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "framegen/sample.h"

namespace tooltest {

namespace fs = std::filesystem;

struct Outcome {
    int status;
    std::string out, err;
};

inline std::string slurp(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void spit(const fs::path &p, const std::string &bytes)
{
    std::ofstream(p, std::ios::binary) << bytes;
}

// Shell-quote one argument.
inline std::string q(const std::string &s)
{
    std::string r = "'";
    for (char c : s)
        r += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return r + "'";
}

// A frame of a pcap file: timestamp (seconds, nanoseconds), bytes and original length.
using Rec = std::tuple<int64_t, int64_t, std::string, uint32_t>;

inline std::vector<Rec> read_pcap(const fs::path &p)
{
    char err[PCAP_ERRBUF_SIZE];
    pcap_t *pc =
        pcap_open_offline_with_tstamp_precision(p.c_str(), PCAP_TSTAMP_PRECISION_NANO, err);
    EXPECT_NE(pc, nullptr) << p << ": " << err;
    std::vector<Rec> out;
    pcap_pkthdr *h;
    const u_char *d;
    while (pc && pcap_next_ex(pc, &h, &d) == 1)
        out.push_back({h->ts.tv_sec, h->ts.tv_usec,
                       std::string(reinterpret_cast<const char *>(d), h->caplen), h->len});
    if (pc)
        pcap_close(pc);
    return out;
}

// Every test works in a scratch folder of its own with a sample capture.
struct Tool : testing::Test {
    // What the shell captures goes in `io`, apart from the work in `dir`.
    fs::path io =
        fs::temp_directory_path() / ("zeriza-tool-" + std::to_string(getpid()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::path dir = io / "work", sample = dir / "sample.pcap";
    const std::string tool = q(ZERIZA_TOOL);

    void SetUp() override
    {
        fs::remove_all(io);
        fs::create_directories(dir);
        ASSERT_TRUE(sample::write_pcap(sample, sample::frames()));
    }
    void TearDown() override { fs::remove_all(io); }

    // A shell command line, `tool` standing for the tool, with standard
    // output and error captured and no standard input unless it gives one.
    Outcome shell(const std::string &line)
    {
        std::string cmd =
            "{ " + line + " ; } >" + q(io / "out") + " 2>" + q(io / "err") + " </dev/null";
        int rc = std::system(cmd.c_str());
        return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(io / "out"), slurp(io / "err")};
    }
    Outcome run(const std::string &args) { return shell(tool + " " + args); }
    // A run that must succeed.
    Outcome ok(const std::string &args)
    {
        Outcome o = run(args);
        EXPECT_EQ(o.status, 0) << args << "\n" << o.err;
        return o;
    }
    // The number of frames `match` passes, from its summary.
    long passed(const std::string &args)
    {
        Outcome m = ok("match " + args);
        size_t at = m.err.rfind(" frames read, ");
        return at == std::string::npos ? -1 : std::stol(m.err.substr(at + 14));
    }
};

// The tool as a child process: its standard input a pipe the test writes,
// its standard output a pipe the test reads (or nothing), its standard error
// the file or terminal at `stderr_path`.
class Child {
  public:
    Child(std::vector<std::string> args, const std::string &stderr_path, bool stdout_pipe = false)
    {
        int in[2], out[2] = {-1, -1};
        if (pipe(in) != 0 || (stdout_pipe && pipe(out) != 0))
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
        args.insert(args.begin(), ZERIZA_TOOL);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(stdout_pipe ? out[1] : open("/dev/null", O_WRONLY), 1);
            dup2(open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            for (int fd = 3; fd < 1024; ++fd)
                close(fd);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        in_ = fdopen(in[1], "w");
        if (stdout_pipe) {
            close(out[1]);
            out_ = out[0];
        }
    }
    ~Child()
    {
        close_in();
        if (out_ >= 0)
            close(out_);
        if (pid_ > 0 && !waited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    void feed(const std::string &bytes)
    {
        if (std::fwrite(bytes.data(), 1, bytes.size(), in_) != bytes.size() || std::fflush(in_))
            ADD_FAILURE() << "write to the tool: " << std::strerror(errno);
    }
    void close_in()
    {
        if (in_)
            std::fclose(in_);
        in_ = nullptr;
    }
    // Standard output, `n` bytes of it or all that is left (fewer at its end).
    std::string read(size_t n = SIZE_MAX)
    {
        std::string s;
        char buf[4096];
        for (ssize_t got;
             s.size() < n && (got = ::read(out_, buf, std::min(sizeof buf, n - s.size()))) > 0;)
            s.append(buf, static_cast<size_t>(got));
        return s;
    }
    void signal(int sig) { kill(pid_, sig); }
    // The exit status, or 128 + the signal that killed it.
    int wait()
    {
        int st = 0;
        waitpid(pid_, &st, 0);
        waited_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

  private:
    pid_t pid_ = -1;
    std::FILE *in_ = nullptr;
    int out_ = -1;
    bool waited_ = false;
};

} // namespace tooltest
