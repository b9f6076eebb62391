// zeriza side by side with libpcap, in one run: matching against bpf_filter
// (and a hand-written check), compiling against pcap_compile, logging
// against pcap_dump / pcap_next_ex and plain stdio. Prints Google
// Benchmark's lines, then tables of ratios.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/pairs.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace fs = std::filesystem;

namespace {

using namespace bench;

void per_frame(benchmark::State &st, uint64_t passed)
{
    const Corpus &c = corpus();
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations() * c.frames.size()));
    st.counters["passed"] = static_cast<double>(passed);
}

void match_zeriza(benchmark::State &st, const Pair &p)
{
    Compiled f(p);
    uint64_t passed = 0;
    for (auto _ : st) {
        passed = 0;
        for (const Frame &fr : corpus().frames)
            passed += nif_filt_match(f.zeriza, fr.bytes.data(), static_cast<int32_t>(fr.caplen), 4,
                                     nullptr, nullptr, nullptr, 1);
        benchmark::DoNotOptimize(passed);
    }
    per_frame(st, passed);
}

// The same frames in batches of 256, as a capture program gets them.
void match_batch(benchmark::State &st, const Pair &p)
{
    Compiled f(p);
    const Corpus &c = corpus();
    std::vector<const unsigned char *> frames;
    std::vector<int32_t> lens;
    for (const Frame &fr : c.frames) {
        frames.push_back(fr.bytes.data());
        lens.push_back(static_cast<int32_t>(fr.caplen));
    }
    constexpr int32_t kBatch = 256;
    std::vector<unsigned char> verdicts(kBatch);
    uint64_t passed = 0;
    const auto n = static_cast<int32_t>(frames.size());
    for (auto _ : st) {
        passed = 0;
        for (int32_t at = 0; at < n; at += kBatch)
            passed += static_cast<uint64_t>(
                nif_filt_match_batch(f.zeriza, frames.data() + at, lens.data() + at,
                                     std::min(kBatch, n - at), 4, 1, verdicts.data()));
        benchmark::DoNotOptimize(passed);
    }
    per_frame(st, passed);
}

void match_bpf(benchmark::State &st, const Pair &p)
{
    Compiled f(p);
    uint64_t passed = 0;
    for (auto _ : st) {
        passed = 0;
        for (const Frame &fr : corpus().frames)
            passed += bpf_filter(f.bpf.bf_insns, fr.bytes.data(), fr.len, fr.caplen) != 0;
        benchmark::DoNotOptimize(passed);
    }
    per_frame(st, passed);
}

void match_hand(benchmark::State &st, const Pair &p)
{
    uint64_t passed = 0;
    for (auto _ : st) {
        passed = 0;
        for (const Frame &fr : corpus().frames)
            passed += p.hand(fr.bytes.data(), fr.caplen);
        benchmark::DoNotOptimize(passed);
    }
    per_frame(st, passed);
}

void compile_zeriza(benchmark::State &st, const Pair &p)
{
    for (auto _ : st) {
        filt_node *f = nif_filt_parse(p.zeriza, nullptr);
        benchmark::DoNotOptimize(f);
        nif_filt_free(f);
    }
}

void compile_pcap(benchmark::State &st, const Pair &p)
{
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
    for (auto _ : st) {
        bpf_program prog;
        pcap_compile(dead, &prog, p.bpf, 1, PCAP_NETMASK_UNKNOWN);
        benchmark::DoNotOptimize(prog.bf_insns);
        pcap_freecode(&prog);
    }
    pcap_close(dead);
}

// Matching from several threads at once on one compiled filter.
constexpr const char *kThreadsFilter = "(TCP SD=80) | (UDP SD=53)";

void match_threads(benchmark::State &st)
{
    static filt_node *shared = nif_filt_parse(kThreadsFilter, nullptr);
    uint64_t passed = 0;
    for (auto _ : st) {
        passed = 0;
        for (const Frame &fr : corpus().frames)
            passed += nif_filt_match(shared, fr.bytes.data(), static_cast<int32_t>(fr.caplen), 4,
                                     nullptr, nullptr, nullptr, 1);
        benchmark::DoNotOptimize(passed);
    }
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations() * corpus().frames.size()));
}

// ---- logging ----------------------------------------------------------------------

std::string scratch(const char *name)
{
    fs::path dir = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    return (dir / ("zeriza-bench-" + std::to_string(getpid()) + "-" + name)).string();
}

void per_byte(benchmark::State &st)
{
    const Corpus &c = corpus();
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations() * c.frames.size()));
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * c.bytes));
}

void write_log(const std::string &path)
{
    nif_log log{};
    log.path = path.c_str();
    log.hdr.nses = 1;
    nif_write_loghdr(&log, nullptr, 1 << 16);
    nif_session &s = log.sessions[0];
    nif_write_seshdr(&log, 0);
    for (const Frame &f : corpus().frames) {
        s.evt.type = 1;
        s.evt.word1 = f.sec;
        s.evt.word2 = f.usec;
        s.evt.datalen = f.caplen;
        s.evt.totlen = f.len;
        nif_write_evt(&log, 0, f.bytes.data(), 0);
    }
    nif_close_logfile(&log);
}

void write_pcap(const std::string &path)
{
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t *d = pcap_dump_open(dead, path.c_str());
    std::vector<char> buf(1 << 16);
    setvbuf(pcap_dump_file(d), buf.data(), _IOFBF, buf.size()); // the log's buffer size
    for (const Frame &f : corpus().frames) {
        pcap_pkthdr h{};
        h.ts.tv_sec = f.sec;
        h.ts.tv_usec = f.usec;
        h.caplen = f.caplen;
        h.len = f.len;
        pcap_dump(reinterpret_cast<u_char *>(d), &h, f.bytes.data());
    }
    pcap_dump_close(d);
    pcap_close(dead);
}

// The same bytes the log holds, written with plain fwrite.
void write_plain(const std::string &path)
{
    FILE *fp = std::fopen(path.c_str(), "w");
    std::vector<char> buf(1 << 16);
    setvbuf(fp, buf.data(), _IOFBF, buf.size());
    nif_evthdr e{};
    for (const Frame &f : corpus().frames) {
        e.datalen = f.caplen;
        std::fwrite(&e, sizeof e, 1, fp);
        std::fwrite(f.bytes.data(), f.caplen, 1, fp);
    }
    std::fclose(fp);
}

void log_write(benchmark::State &st, void (*writer)(const std::string &))
{
    std::string path = scratch("w");
    for (auto _ : st)
        writer(path);
    std::remove(path.c_str());
    per_byte(st);
}

void log_read_zeriza(benchmark::State &st)
{
    std::string path = scratch("rz");
    write_log(path);
    std::vector<uint8_t> data(1 << 18);
    for (auto _ : st) {
        nif_log log{};
        log.path = path.c_str();
        nif_read_loghdr(&log, nullptr, 1 << 16);
        nif_read_seshdr(&log, 0);
        int truncated;
        while (nif_read_evt(&log, -1, data.data(), static_cast<int>(data.size()), 0, &truncated) ==
               0)
            benchmark::DoNotOptimize(data.data());
        nif_close_logfile(&log);
    }
    std::remove(path.c_str());
    per_byte(st);
}

void log_read_pcap(benchmark::State &st)
{
    std::string path = scratch("rp");
    write_pcap(path);
    char err[PCAP_ERRBUF_SIZE];
    for (auto _ : st) {
        pcap_t *p = pcap_open_offline(path.c_str(), err);
        pcap_pkthdr *h;
        const u_char *d;
        while (pcap_next_ex(p, &h, &d) == 1)
            benchmark::DoNotOptimize(d);
        pcap_close(p);
    }
    std::remove(path.c_str());
    per_byte(st);
}

void log_read_plain(benchmark::State &st)
{
    std::string path = scratch("rf");
    write_plain(path);
    std::vector<uint8_t> data(1 << 18);
    for (auto _ : st) {
        FILE *fp = std::fopen(path.c_str(), "r");
        std::vector<char> buf(1 << 16);
        setvbuf(fp, buf.data(), _IOFBF, buf.size());
        nif_evthdr e;
        while (std::fread(&e, sizeof e, 1, fp) == 1 &&
               std::fread(data.data(), static_cast<size_t>(e.datalen), 1, fp) == 1)
            benchmark::DoNotOptimize(data.data());
        std::fclose(fp);
    }
    std::remove(path.c_str());
    per_byte(st);
}

// ---- the ratio tables ----------------------------------------------------------------

// Keeps every run's time per iteration and its rates, for the tables.
class Collector : public benchmark::ConsoleReporter {
  public:
    struct Result {
        double ns_per_iter; // real time of one pass (all threads together, for several)
    };
    std::map<std::string, Result> results;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            // With repetitions, the fastest of each benchmark's runs stands
            // for it (the others lost time to the rest of the machine);
            // without, its one run.
            const bool fastest = r.run_type == Run::RT_Aggregate && r.aggregate_name == "min";
            if ((r.run_type != Run::RT_Iteration && !fastest) || r.iterations == 0)
                continue;
            results[fastest ? r.run_name.str() : r.benchmark_name()] = {
                r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit) * 1e9};
        }
    }

    const Result *find(const std::string &name) const
    {
        auto it = results.find(name);
        return it == results.end() ? nullptr : &it->second;
    }
};

void print_tables(const Collector &c)
{
    const Corpus &corp = corpus();
    double frames = static_cast<double>(corp.frames.size());
    std::printf("\nMatching, ns per frame (%zu frames, %s); time ratios, < 1: zeriza faster\n",
                corp.frames.size(), corp.source.c_str());
    std::printf("%-11s %-27s %7s %7s %7s %7s %8s %8s %8s %8s\n", "pair", "zeriza filter", "match",
                "batch", "bpf", "hand C", "m/bpf", "b/bpf", "m/hand", "b/hand");
    std::vector<double> single, batch;
    for (const Pair &p : kPairs) {
        auto *z = c.find(std::string("match/zeriza/") + p.name);
        auto *zb = c.find(std::string("match/batch/") + p.name);
        auto *b = c.find(std::string("match/bpf_filter/") + p.name);
        auto *h = c.find(std::string("match/hand/") + p.name);
        if (!z || !zb || !b || !h)
            continue;
        double zn = z->ns_per_iter / frames, bn = zb->ns_per_iter / frames,
               pn = b->ns_per_iter / frames, hn = h->ns_per_iter / frames;
        single.push_back(zn / pn);
        batch.push_back(bn / pn);
        std::printf("%-11s %-27s %7.2f %7.2f %7.2f %7.2f %7.2fx %7.2fx %7.2fx %7.2fx\n", p.name,
                    p.zeriza, zn, bn, pn, hn, zn / pn, bn / pn, zn / hn, bn / hn);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        const size_t m = v.size() / 2;
        return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
    };
    if (!single.empty())
        std::printf("time / bpf_filter: nif_filt_match median %.2fx, worst %.2fx; "
                    "nif_filt_match_batch median %.2fx, worst %.2fx\n",
                    median(single), *std::max_element(single.begin(), single.end()), median(batch),
                    *std::max_element(batch.begin(), batch.end()));

    std::printf("\nCompiling, us per compile; ratio > 1: zeriza faster\n");
    std::printf("%-12s %9s %13s %7s\n", "pair", "zeriza", "pcap_compile", "ratio");
    for (const Pair &p : kPairs) {
        auto *z = c.find(std::string("compile/zeriza/") + p.name);
        auto *b = c.find(std::string("compile/pcap_compile/") + p.name);
        if (z && b)
            std::printf("%-12s %9.2f %13.2f %6.2fx\n", p.name, z->ns_per_iter / 1e3,
                        b->ns_per_iter / 1e3, b->ns_per_iter / z->ns_per_iter);
    }

    std::printf("\nLogging (%s bytes of frames a pass), MB/s and frames/s\n",
                std::to_string(corp.bytes).c_str());
    std::printf("%-22s %9s %12s %9s %9s\n", "", "MB/s", "frames/s", "vs pcap", "vs stdio");
    for (const char *dir : {"write", "read"}) {
        const char *pcap = std::strcmp(dir, "write") == 0 ? "pcap_dump" : "pcap_next_ex";
        auto *z = c.find(std::string("log/") + dir + "/zeriza");
        auto *p = c.find(std::string("log/") + dir + "/" + pcap);
        auto *f = c.find(std::string("log/") + dir + "/stdio");
        for (auto [name, r] :
             {std::pair{std::string("nif_") + dir + (dir[0] == 'w' ? "_evt" : "_evt"), z},
              std::pair{std::string(pcap), p}, std::pair{std::string("plain f") + dir, f}})
            if (r && z && p && f)
                std::printf("%-22s %9.1f %12.0f %8.2fx %8.2fx\n", name.c_str(),
                            static_cast<double>(corp.bytes) / r->ns_per_iter * 1e3,
                            frames / r->ns_per_iter * 1e9, p->ns_per_iter / r->ns_per_iter,
                            f->ns_per_iter / r->ns_per_iter);
    }

    auto *t1 = c.find("match/threads:1");
    auto *t2 = c.find("match/threads:2");
    if (!t1)
        t1 = c.find("match/real_time/threads:1");
    if (!t2)
        t2 = c.find("match/real_time/threads:2");
    if (t1 && t2)
        std::printf("\nMatching '%s' from 1 and 2 threads on one filter: %.0f and %.0f frames/s, "
                    "%.2fx\n",
                    kThreadsFilter, frames / t1->ns_per_iter * 1e9, frames / t2->ns_per_iter * 1e9,
                    t1->ns_per_iter / t2->ns_per_iter);
}

} // namespace

int main(int argc, char **argv)
{
    // With --benchmark_repetitions, the tables take the fastest run of each.
    auto fastest = [](const std::vector<double> &v) {
        return *std::min_element(v.begin(), v.end());
    };
    auto add = [&](const std::string &name, auto &&...args) {
        return benchmark::RegisterBenchmark(name.c_str(), args...)
            ->ComputeStatistics("min", fastest);
    };
    for (const Pair &p : kPairs) {
        add(std::string("match/zeriza/") + p.name, match_zeriza, p);
        add(std::string("match/batch/") + p.name, match_batch, p);
        add(std::string("match/bpf_filter/") + p.name, match_bpf, p);
        add(std::string("match/hand/") + p.name, match_hand, p);
    }
    for (const Pair &p : kPairs) {
        add(std::string("compile/zeriza/") + p.name, compile_zeriza, p);
        add(std::string("compile/pcap_compile/") + p.name, compile_pcap, p);
    }
    add("log/write/zeriza", log_write, write_log);
    add("log/write/pcap_dump", log_write, write_pcap);
    add("log/write/stdio", log_write, write_plain);
    add("log/read/zeriza", log_read_zeriza);
    add("log/read/pcap_next_ex", log_read_pcap);
    add("log/read/stdio", log_read_plain);
    add("match", match_threads)->Threads(1)->Threads(2)->UseRealTime();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    gnl_set_sink([](int, const char *, void *) {}, nullptr);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    print_tables(collector);
    benchmark::Shutdown();
    return 0;
}
