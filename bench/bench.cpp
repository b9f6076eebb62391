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

#include "tools/sample.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace fs = std::filesystem;

namespace {

// ---- the frames ---------------------------------------------------------------

struct Frame {
    std::vector<uint8_t> bytes; // at least 16 bytes, as the matcher may read
    uint32_t caplen, len;
    int64_t sec, usec;
};

struct Corpus {
    std::string source;
    std::vector<Frame> frames;
    uint64_t bytes = 0;
};

Corpus load()
{
    Corpus c;
    fs::path real = fs::path(ZERIZA_SOURCE_DIR) / ".." / "shared" / "captures" / "ether_all.pcap";
    if (const char *env = std::getenv("ZERIZA_CAPTURES"))
        real = fs::path(env) / "ether_all.pcap";
    char err[PCAP_ERRBUF_SIZE];
    if (pcap_t *p = fs::exists(real) ? pcap_open_offline(real.c_str(), err) : nullptr) {
        c.source = "ether_all.pcap";
        pcap_pkthdr *h;
        const u_char *d;
        while (pcap_next_ex(p, &h, &d) == 1) {
            Frame f{std::vector<uint8_t>(d, d + h->caplen), h->caplen, h->len, h->ts.tv_sec,
                    h->ts.tv_usec};
            f.bytes.resize(std::max<size_t>(f.bytes.size(), 16));
            c.frames.push_back(std::move(f));
        }
        pcap_close(p);
    } else {
        c.source = "generated mix";
        for (auto &t : sample::frames(8000)) {
            Frame f{t.bytes, static_cast<uint32_t>(t.bytes.size()), t.origlen, t.sec, t.usec};
            f.bytes.resize(std::max<size_t>(f.bytes.size(), 16));
            c.frames.push_back(std::move(f));
        }
    }
    for (const Frame &f : c.frames)
        c.bytes += f.caplen;
    return c;
}

const Corpus &corpus()
{
    static const Corpus c = load();
    return c;
}

// ---- filter pairs -----------------------------------------------------------------

uint16_t be16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// Hand-written checks of Ethernet II frames, as a program would write them
// for one fixed filter: the floor that a general matcher is measured against.
int ipv4_transport(const uint8_t *f, uint32_t n, int proto)
{
    if (n < 34 || be16(f + 12) != 0x0800 || f[23] != proto || (be16(f + 20) & 0x1FFF))
        return -1;
    int off = 14 + 4 * (f[14] & 0x0F);
    return static_cast<uint32_t>(off + 4) <= n ? off : -1;
}
bool port_is(const uint8_t *f, int off, uint16_t port)
{
    return be16(f + off) == port || be16(f + off + 2) == port;
}
bool hand_ip(const uint8_t *f, uint32_t n)
{
    return n >= 14 && be16(f + 12) == 0x0800;
}
bool hand_arp(const uint8_t *f, uint32_t n)
{
    return n >= 14 && be16(f + 12) == 0x0806;
}
bool hand_tcp80(const uint8_t *f, uint32_t n)
{
    int off = ipv4_transport(f, n, 6);
    return off > 0 && port_is(f, off, 80);
}
bool hand_tcp80_or_udp53(const uint8_t *f, uint32_t n)
{
    int t = ipv4_transport(f, n, 6), u = ipv4_transport(f, n, 17);
    return (t > 0 && port_is(f, t, 80)) || (u > 0 && port_is(f, u, 53));
}
bool hand_src10(const uint8_t *f, uint32_t n)
{
    return n >= 30 && be16(f + 12) == 0x0800 && f[26] == 10;
}
bool hand_syn(const uint8_t *f, uint32_t n)
{
    int off = ipv4_transport(f, n, 6);
    return off > 0 && static_cast<uint32_t>(off + 14) <= n && (f[off + 13] & 0x12) == 0x02;
}
bool hand_not_tcp80(const uint8_t *f, uint32_t n)
{
    return !hand_tcp80(f, n);
}

struct Pair {
    const char *name;
    const char *zeriza;
    const char *bpf;
    bool (*hand)(const uint8_t *, uint32_t);
};

const Pair kPairs[] = {
    {"ip", "IP", "ip", hand_ip},
    {"arp", "ARP", "arp", hand_arp},
    {"tcp-port", "TCP SD=80", "ip and tcp port 80", hand_tcp80},
    {"tcp-or-udp", "(TCP SD=80) | (UDP SD=53)", "ip and (tcp port 80 or udp port 53)",
     hand_tcp80_or_udp53},
    {"ip-net", "IP SRC=10.0.0.0/8", "ip src net 10.0.0.0/8", hand_src10},
    {"tcp-syn", "TCP F=S^A", "ip and tcp[13] & 0x12 = 0x02", hand_syn},
    {"negated", "^(TCP SD=80)", "not (ip and tcp port 80)", hand_not_tcp80},
};

struct Compiled {
    filt_node *zeriza = nullptr;
    bpf_program bpf{};
    explicit Compiled(const Pair &p)
    {
        zeriza = nif_filt_parse(p.zeriza, nullptr);
        pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
        if (!zeriza || pcap_compile(dead, &bpf, p.bpf, 1, PCAP_NETMASK_UNKNOWN) != 0)
            std::fprintf(stderr, "bench: cannot compile %s\n", p.name);
        pcap_close(dead);
    }
    ~Compiled()
    {
        nif_filt_free(zeriza);
        pcap_freecode(&bpf);
    }
};

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
void match_threads(benchmark::State &st)
{
    static filt_node *shared = nif_filt_parse(kPairs[3].zeriza, nullptr);
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
        double ns_per_iter;
        double items_per_s;
        double bytes_per_s;
    };
    std::map<std::string, Result> results;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations == 0)
                continue;
            auto rate = [&](const char *name) {
                auto it = r.counters.find(name);
                return it == r.counters.end() ? 0.0 : static_cast<double>(it->second);
            };
            results[r.benchmark_name()] = {r.GetAdjustedRealTime() /
                                               benchmark::GetTimeUnitMultiplier(r.time_unit) * 1e9,
                                           rate("items_per_second"), rate("bytes_per_second")};
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
    std::printf("\nMatching, ns per frame (%zu frames, %s); ratio > 1: zeriza faster\n",
                corp.frames.size(), corp.source.c_str());
    std::printf("%-12s %-28s %9s %11s %7s %9s %11s\n", "pair", "zeriza filter", "zeriza",
                "bpf_filter", "ratio", "hand C", "zeriza/hand");
    std::vector<double> ratios;
    for (const Pair &p : kPairs) {
        auto *z = c.find(std::string("match/zeriza/") + p.name);
        auto *b = c.find(std::string("match/bpf_filter/") + p.name);
        auto *h = c.find(std::string("match/hand/") + p.name);
        if (!z || !b || !h)
            continue;
        double zn = z->ns_per_iter / frames, bn = b->ns_per_iter / frames,
               hn = h->ns_per_iter / frames;
        ratios.push_back(bn / zn);
        std::printf("%-12s %-28s %9.2f %11.2f %6.2fx %9.2f %10.2fx\n", p.name, p.zeriza, zn, bn,
                    bn / zn, hn, zn / hn);
    }
    if (!ratios.empty()) {
        std::sort(ratios.begin(), ratios.end());
        std::printf("median ratio bpf_filter/zeriza: %.2fx\n", ratios[ratios.size() / 2]);
    }

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
                            r->bytes_per_s / 1e6, r->items_per_s, r->bytes_per_s / p->bytes_per_s,
                            r->bytes_per_s / f->bytes_per_s);
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
                    kPairs[3].zeriza, t1->items_per_s, t2->items_per_s,
                    t2->items_per_s / t1->items_per_s);
}

} // namespace

int main(int argc, char **argv)
{
    for (const Pair &p : kPairs) {
        benchmark::RegisterBenchmark((std::string("match/zeriza/") + p.name).c_str(), match_zeriza,
                                     p);
        benchmark::RegisterBenchmark((std::string("match/bpf_filter/") + p.name).c_str(), match_bpf,
                                     p);
        benchmark::RegisterBenchmark((std::string("match/hand/") + p.name).c_str(), match_hand, p);
    }
    for (const Pair &p : kPairs) {
        benchmark::RegisterBenchmark((std::string("compile/zeriza/") + p.name).c_str(),
                                     compile_zeriza, p);
        benchmark::RegisterBenchmark((std::string("compile/pcap_compile/") + p.name).c_str(),
                                     compile_pcap, p);
    }
    benchmark::RegisterBenchmark("log/write/zeriza", log_write, write_log);
    benchmark::RegisterBenchmark("log/write/pcap_dump", log_write, write_pcap);
    benchmark::RegisterBenchmark("log/write/stdio", log_write, write_plain);
    benchmark::RegisterBenchmark("log/read/zeriza", log_read_zeriza);
    benchmark::RegisterBenchmark("log/read/pcap_next_ex", log_read_pcap);
    benchmark::RegisterBenchmark("log/read/stdio", log_read_plain);
    benchmark::RegisterBenchmark("match", match_threads)->Threads(1)->Threads(2)->UseRealTime();

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
