// Seed corpora for the fuzz targets, made with the project's own code:
// filters using every keyword, short forms, generated frames, and logs
// written by the library. Usage: make_seeds DIR
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "framegen/sample.h"
#include "zeriza.h"

namespace fs = std::filesystem;

namespace {

// The first two are the filters of the log's two sessions.
const char *const kFilters[] = {
    "(TCP SD=80) | (UDP SD=53)",
    "((TCP SD=80) | (UDP SD=80)) & (IP SD=10.0.0.1)",
    "ETH SRC=b DST=2:0:0:0:0:1 ETYPE=2048 HLEN=14 DLEN>10 LEN<1500",
    "(802.3 ^SD:1=8:0:20:1:2:3) | (LLC SD=66 C=3) | (SNAP ORG=0 ETYPE=2054)",
    "(ARP HLEN=28) | (RARP) | (IPX LEN>30) | (IGMP) | (OSPF) | (IP#47) | (IP #tcp)",
    "IP SRC=10.0.0.0/8 DST=192.168.1.2 F=^F",
    "IP SD:2=localhost",
    "ICMP TYPE=unreach CODE=needfrag",
    "TCP SRC>1023 DST<1024 F=SA^*",
    "(TCP SD:2=telnet F=^R*) | (UDP SD=domain)",
    "^((ARP) | (RARP)) & ^(IP F=F)",
    "^(^(TCP))",
};

const char *const kForms[] = {"10.1.1.1",      "!10.1.1.1", "localhost:80",
                              "localhost:!80", ":domain",   "!localhost : telnet",
                              "10.0.0.0/8:",   ":tftp",     "a:b:c"};

void put(const fs::path &p, const std::string &bytes)
{
    std::ofstream(p, std::ios::binary) << bytes;
}

// One file a text, named by its index.
template <size_t N> void put_texts(const fs::path &dir, const char *const (&texts)[N])
{
    for (size_t i = 0; i < N; ++i)
        put(dir / std::to_string(i), texts[i]);
}

// A log of two sessions with filters and events of several types.
std::string log_bytes(const fs::path &p)
{
    nif_log log{};
    log.path = p.c_str();
    log.hdr.nses = 2;
    nif_write_loghdr(&log, nullptr, 0);
    std::vector<filt_node *> filters;
    for (int ses = 0; ses < 2; ++ses) {
        int size = 0;
        filt_node *f = nif_filt_parse(kFilters[ses], &size);
        filters.push_back(f);
        nif_session &s = log.sessions[ses];
        s.hdr.filtlen = size;
        s.filter = f;
        nif_write_seshdr(&log, ses);
        int n = 0;
        for (const auto &fr : sample::frames(6)) {
            s.evt = nif_evthdr{};
            s.evt.ses_id = static_cast<uint8_t>(ses);
            s.evt.type = static_cast<uint8_t>(n++ % 3 == 2 ? 2 : 1);
            s.evt.datalen = static_cast<int64_t>(fr.bytes.size());
            s.evt.totlen = fr.origlen;
            nif_write_evt(&log, ses, fr.bytes.data(), 0);
        }
        s.evt = nif_evthdr{};
        s.evt.ses_id = static_cast<uint8_t>(ses);
        s.evt.type = 3;
        nif_write_evt(&log, ses, nullptr, 0);
    }
    nif_close_logfile(&log);
    for (filt_node *f : filters)
        nif_filt_free(f);
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    fs::path dir = argv[1];
    for (const char *t : {"parse", "short", "match", "log"})
        fs::create_directories(dir / t);
    put_texts(dir / "parse", kFilters);
    put_texts(dir / "short", kForms);
    int i = 0;
    for (const auto &fr : sample::frames(24)) {
        // Ethernet with its header (link code 4, option bit set), and raw IP.
        put(dir / "match" / std::to_string(i++), std::string{static_cast<char>(4 << 1 | 1), 0} +
                                                     std::string(fr.bytes.begin(), fr.bytes.end()));
    }
    // Compiled atoms as hand-made nodes, before a frame.
    for (const char *text : {"TCP SD=80 F=S", "IP SRC=10.0.0.0/12 LEN>40", "ETH SD:1=M"}) {
        int bytes = 0;
        filt_node *f = nif_filt_parse(text, &bytes);
        const framegen::Bytes fr = sample::frames(3)[0].bytes;
        put(dir / "match" / std::to_string(i++),
            std::string{static_cast<char>(4 << 1 | 1), static_cast<char>(0x80)} +
                std::string(reinterpret_cast<const char *>(f), static_cast<size_t>(bytes)) +
                std::string(fr.begin(), fr.end()));
        nif_filt_free(f);
    }
    std::string log = log_bytes(dir / "log" / "tmp.log");
    fs::remove(dir / "log" / "tmp.log");
    // Control bytes: sessions read first and buffer size; the room preset.
    for (int control : {0x0001, 0x4205, 0xFF0A, 0x1002})
        put(dir / "log" / std::to_string(control),
            std::string{static_cast<char>(control & 0xFF), static_cast<char>(control >> 8)} + log);
    std::printf("seeds written under %s\n", dir.c_str());
    return 0;
}
