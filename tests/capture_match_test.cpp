// Matching the frames of a real capture.
//
// ether_all.pcap holds 8510 real Ethernet frames of many kinds: IPv4 with TCP, UDP, ICMP, GRE,
// fragments and odd header lengths, ARP, 802.3 with LLC and SNAP, IPX over LLC, IPv6, VLAN tags,
// frames cut short by the capture length and frames of fewer than 14 bytes. Every frame is matched
// against each filter of the table below, and every verdict is compared with the one a hand-written
// check of the frame's bytes gives. The hand-written side dissects each frame on its own (Ethernet
// II or 802.3 by the type/length field, the 802.3 length, Novell raw, LLC, SNAP, IPv4 with its
// header and total length, fragments, TCP and UDP) and each filter has its own predicate over that
// dissection.
//
// A header cut short by the end of the captured bytes: when the bytes the walk needs to find its
// length and what it carries are missing, the header gets a record covering what is left and the
// walk ends there. A parameter test whose bytes are missing from its header's record fails the
// atom whether or not the parameter is negated; a '^' before the rule still inverts the result.
//
// Each frame is handed over ending right before an inaccessible page, so that a read at or beyond
// the frame's length faults; frames shorter than 16 bytes are padded to 16 and matched twice, with
// two different paddings, which must not change the verdict.
//
// The capture is kept outside the repository, in ../shared/captures/ from its top; the tests skip,
// visibly, when it is not there. The environment variable ZERIZA_CAPTURES names another place: a
// directory holding ether_all.pcap, or the file itself.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support.h"
#include "zeriza.h"
#include "zeriza_host.h"

#ifndef ZERIZA_SOURCE_DIR
#error "ZERIZA_SOURCE_DIR must name the top of the source tree"
#endif

namespace {

constexpr size_t kCaptureFrames = 8510;
constexpr int kMaxHeaders = 30;   // header records of one frame
constexpr int kMinReadable = 16;  // bytes the matcher may read whatever the frame length
constexpr size_t kShownDiffs = 5; // disagreeing frames shown per filter

// ---- the capture ----------------------------------------------------------------------------

std::string capture_path()
{
    const char *env = std::getenv("ZERIZA_CAPTURES");
    if (env != nullptr && *env != '\0') {
        struct stat st {};
        if (stat(env, &st) == 0 && S_ISDIR(st.st_mode))
            return std::string(env) + "/ether_all.pcap";
        return env;
    }
    return ZERIZA_SOURCE_DIR "/../shared/captures/ether_all.pcap";
}

struct Capture {
    std::string path;
    bool present = false;
    std::string error; // set when the file is there but cannot be read
    std::vector<std::vector<unsigned char>> frames;
    size_t max_len = 0;
};

Capture read_capture()
{
    Capture cap;
    cap.path = capture_path();
    if (access(cap.path.c_str(), F_OK) != 0)
        return cap;
    cap.present = true;

    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t *pc = pcap_open_offline(cap.path.c_str(), errbuf);
    if (pc == nullptr) {
        cap.error = "pcap_open_offline: " + std::string(errbuf);
        return cap;
    }
    if (pcap_datalink(pc) != DLT_EN10MB) {
        cap.error = "link type " + std::to_string(pcap_datalink(pc)) + ", not Ethernet";
        pcap_close(pc);
        return cap;
    }
    struct pcap_pkthdr *hdr = nullptr;
    const u_char *data = nullptr;
    int rc;
    while ((rc = pcap_next_ex(pc, &hdr, &data)) == 1) {
        cap.frames.emplace_back(data, data + hdr->caplen);
        cap.max_len = std::max<size_t>(cap.max_len, hdr->caplen);
    }
    if (rc != PCAP_ERROR_BREAK)
        cap.error = "pcap_next_ex: " + std::string(pcap_geterr(pc));
    pcap_close(pc);
    return cap;
}

const Capture &capture()
{
    static const Capture cap = read_capture();
    return cap;
}

#define REQUIRE_CAPTURE(cap)                                                                       \
    do {                                                                                           \
        if (!(cap).present)                                                                        \
            GTEST_SKIP() << "capture not found at " << (cap).path                                  \
                         << " (set ZERIZA_CAPTURES to its directory or file)";                     \
        ASSERT_TRUE((cap).error.empty()) << (cap).path << ": " << (cap).error;                     \
    } while (0)

// ---- frames that end at an inaccessible page -------------------------------------------------

// The frame being matched, for the message of a fault.
volatile sig_atomic_t g_frame_index = -1;
const char *volatile g_filter_text = "";

void append_text(char *buf, size_t &n, size_t size, const char *text)
{
    while (*text != '\0' && n + 1 < size)
        buf[n++] = *text++;
}

void on_fault(int)
{
    char msg[512];
    size_t n = 0;
    char digits[24];
    size_t nd = 0;
    long v = g_frame_index;
    if (v < 0) {
        digits[nd++] = '?';
    } else {
        do {
            digits[nd++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
    }
    append_text(msg, n, sizeof msg, "\nfault: read at or beyond the end of frame ");
    while (nd > 0 && n + 1 < sizeof msg)
        msg[n++] = digits[--nd];
    append_text(msg, n, sizeof msg, " (filter '");
    append_text(msg, n, sizeof msg, g_filter_text);
    append_text(msg, n, sizeof msg, "')\n");
    ssize_t ignored = write(STDERR_FILENO, msg, n);
    (void)ignored;
    // Returning with the default action restored faults again and ends the program.
}

// Names the frame and filter on stderr if matching faults, while it lives.
class FaultNote {
  public:
    explicit FaultNote(const char *filter)
    {
        g_filter_text = filter;
        struct sigaction sa {};
        sa.sa_handler = on_fault;
        sa.sa_flags = SA_RESETHAND;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, &old_segv_);
        sigaction(SIGBUS, &sa, &old_bus_);
    }
    ~FaultNote()
    {
        sigaction(SIGSEGV, &old_segv_, nullptr);
        sigaction(SIGBUS, &old_bus_, nullptr);
        g_frame_index = -1;
        g_filter_text = "";
    }
    FaultNote(const FaultNote &) = delete;
    FaultNote &operator=(const FaultNote &) = delete;

  private:
    struct sigaction old_segv_ {};
    struct sigaction old_bus_ {};
};

// A buffer whose last byte is followed by an inaccessible page. load() places a frame so that it
// ends there; a frame shorter than 16 bytes is padded up to 16 with `pad`, except that padding
// bytes 12 and 13 (the type/length field) are always 0, so both paddings give the same link
// header type.
class GuardedFrame {
  public:
    explicit GuardedFrame(size_t max_len)
    {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t need = std::max<size_t>(max_len, kMinReadable);
        room_ = (need + page_ - 1) / page_ * page_;
        void *p = mmap(nullptr, room_ + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        if (p == MAP_FAILED)
            return;
        base_ = static_cast<unsigned char *>(p);
        if (mprotect(base_ + room_, page_, PROT_NONE) != 0) {
            munmap(base_, room_ + page_);
            base_ = nullptr;
        }
    }
    ~GuardedFrame()
    {
        if (base_ != nullptr)
            munmap(base_, room_ + page_);
    }
    GuardedFrame(const GuardedFrame &) = delete;
    GuardedFrame &operator=(const GuardedFrame &) = delete;

    bool ok() const { return base_ != nullptr; }

    const unsigned char *load(const std::vector<unsigned char> &frame, unsigned char pad)
    {
        size_t n = std::max<size_t>(frame.size(), kMinReadable);
        unsigned char *p = base_ + room_ - n;
        std::copy(frame.begin(), frame.end(), p);
        for (size_t i = frame.size(); i < n; ++i)
            p[i] = (i == 12 || i == 13) ? 0 : pad;
        return p;
    }

  private:
    unsigned char *base_ = nullptr;
    size_t room_ = 0;
    size_t page_ = 0;
};

// ---- hand dissection -----------------------------------------------------------------------

enum class Kind { Eth, Ieee8023, Llc, Snap, Ip, Arp, Rarp, Ipx, Transport };

const char *kind_name(Kind k)
{
    switch (k) {
    case Kind::Eth:
        return "ETH";
    case Kind::Ieee8023:
        return "802.3";
    case Kind::Llc:
        return "LLC";
    case Kind::Snap:
        return "SNAP";
    case Kind::Ip:
        return "IP";
    case Kind::Arp:
        return "ARP";
    case Kind::Rarp:
        return "RARP";
    case Kind::Ipx:
        return "IPX";
    case Kind::Transport:
        return "IP#";
    }
    return "?";
}

constexpr int kIcmp = 1, kIgmp = 2, kTcp = 6, kUdp = 17, kGre = 47, kOspf = 89, kPim = 103;

unsigned get16(const unsigned char *p)
{
    return (unsigned{p[0]} << 8) | p[1];
}

// One header of a frame.
struct Header {
    Kind kind;
    int ip_proto; // Transport: the IP protocol number
    int off;      // first byte, from the start of the frame
    int avail;    // bytes from the first byte to the end of what the header covers
    int hlen;     // header length
    const unsigned char *p;

    bool has(int n) const { return avail >= n; }
    unsigned at(int i) const { return p[i]; }
    unsigned be16(int i) const { return get16(p + i); }
    int dlen() const { return avail - hlen; }
};

struct Dissection {
    std::vector<Header> hdrs;
};

// The headers of an Ethernet frame of `len` bytes, outermost first. `frame` has at least 16
// readable bytes: the type/length field is read even from a frame shorter than 14 bytes, as the
// link header's identification does; nothing else at or beyond `len` is read.
Dissection dissect(const unsigned char *frame, int len)
{
    Dissection d;
    Kind kind = get16(frame + 12) <= 1500 ? Kind::Ieee8023 : Kind::Eth;
    int ip_proto = -1;
    int off = 0;
    int left = len;
    while (left > 0 && static_cast<int>(d.hdrs.size()) < kMaxHeaders) {
        const unsigned char *p = frame + off;
        // By default a header covers everything that is left.
        Header h{kind, ip_proto, off, left, left, p};
        std::optional<Kind> next;
        int next_proto = -1;
        int need = 0; // bytes needed to find the length and what follows
        switch (kind) {
        case Kind::Eth:
            need = 14;
            if (left < need)
                break;
            h.hlen = 14;
            switch (get16(p + 12)) {
            case 0x0800:
                next = Kind::Ip;
                break;
            case 0x0806:
                next = Kind::Arp;
                break;
            case 0x8035:
                next = Kind::Rarp;
                break;
            case 0x8137:
                next = Kind::Ipx;
                break;
            }
            break;
        case Kind::Ieee8023: {
            need = 14;
            if (left < need)
                break;
            h.hlen = 14;
            // The length field bounds the frame's data; what lies beyond it is padding.
            int length = static_cast<int>(get16(p + 12));
            if (left - 14 > length)
                h.avail = 14 + length;
            if (h.avail > 14) {
                need = 16;
                if (left < need)
                    break;
                // Novell raw: the IPX checksum FF FF right after the header; LLC otherwise.
                next = (p[14] == 0xFF && p[15] == 0xFF) ? Kind::Ipx : Kind::Llc;
            }
            break;
        }
        case Kind::Llc:
            need = 3;
            if (left < need)
                break;
            h.hlen = 3;
            if (p[0] == 0xAA && p[1] == 0xAA && p[2] == 0x03) {
                next = Kind::Snap;
            } else if (p[0] == 0xE0 && p[1] == 0xE0 && p[2] == 0x03) {
                next = Kind::Ipx;
            } else if (p[0] == 0xFE && p[1] == 0xFE && p[2] == 0x03) {
                need = 4;
                if (left < need)
                    break;
                if (p[3] == 0x80) {
                    h.hlen = 4;
                    next = Kind::Snap;
                } else if (p[3] == 0xCC) {
                    h.hlen = 4;
                    next = Kind::Ip;
                }
            }
            break;
        case Kind::Snap: {
            need = 5;
            if (left < need)
                break;
            h.hlen = 5;
            unsigned long org = (static_cast<unsigned long>(p[0]) << 16) | (p[1] << 8) | p[2];
            unsigned type = get16(p + 3);
            if (org == 0) {
                if (type == 0x0800)
                    next = Kind::Ip;
                else if (type == 0x0806)
                    next = Kind::Arp;
                else if (type == 0x8035)
                    next = Kind::Rarp;
                else if (type == 0x8137)
                    next = Kind::Ipx;
            } else if (org == 0x0080C2 && type == 0x0007) {
                next = Kind::Ieee8023; // bridged 802.3
            }
            break;
        }
        case Kind::Ip: {
            need = 10;
            if (left < need)
                break;
            h.hlen = 4 * (p[0] & 0x0F);
            int total = static_cast<int>(get16(p + 2));
            if (left > total)
                h.avail = total;
            // Only a datagram at offset 0 (unfragmented or a first fragment) carries the
            // transport header.
            unsigned frag_off = ((p[6] & 0x1Fu) << 8) | p[7];
            if (frag_off == 0) {
                next = Kind::Transport;
                next_proto = p[9];
            }
            break;
        }
        case Kind::Transport:
            if (ip_proto == kTcp) {
                need = 13;
                if (left < need)
                    break;
                h.hlen = 4 * (p[12] >> 4);
            } else if (ip_proto == kUdp) {
                h.hlen = 8;
            }
            break;
        case Kind::Arp:
        case Kind::Rarp:
        case Kind::Ipx:
            break;
        }
        if (left < need) {
            // Cut short before its fixed fields: the header covers what is left, and the walk
            // ends.
            h.avail = left;
            h.hlen = left;
            d.hdrs.push_back(h);
            break;
        }
        d.hdrs.push_back(h);
        left = h.avail - h.hlen;
        off += h.hlen;
        if (left <= 0 || !next)
            break;
        kind = *next;
        ip_proto = next_proto;
    }
    return d;
}

std::string describe(const Dissection &d)
{
    if (d.hdrs.empty())
        return "(no headers)";
    std::ostringstream os;
    for (const Header &h : d.hdrs) {
        os << kind_name(h.kind);
        if (h.kind == Kind::Transport)
            os << h.ip_proto;
        os << "[off " << h.off << " avail " << h.avail << " hlen " << h.hlen << "] ";
    }
    return os.str();
}

// The first header of a kind, outermost first.
const Header *first(const Dissection &d, Kind kind, int ip_proto = -1)
{
    for (const Header &h : d.hdrs)
        if (h.kind == kind && (kind != Kind::Transport || h.ip_proto == ip_proto))
            return &h;
    return nullptr;
}

const Header *eth(const Dissection &d)
{
    return first(d, Kind::Eth);
}
const Header *ieee8023(const Dissection &d)
{
    return first(d, Kind::Ieee8023);
}
const Header *llc(const Dissection &d)
{
    return first(d, Kind::Llc);
}
const Header *snap(const Dissection &d)
{
    return first(d, Kind::Snap);
}
const Header *ip(const Dissection &d)
{
    return first(d, Kind::Ip);
}
const Header *transport(const Dissection &d, int proto)
{
    return first(d, Kind::Transport, proto);
}

// ---- field checks --------------------------------------------------------------------------

struct Mac {
    unsigned char b[6];
};
constexpr Mac kBroadcast{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
constexpr Mac kZeroMac{{0, 0, 0, 0, 0, 0}};
constexpr Mac kBusyMac{{0x00, 0x1F, 0x29, 0xDA, 0x2D, 0x79}};

bool mac_at(const Header &h, int at, const Mac &m)
{
    return std::memcmp(h.p + at, m.b, 6) == 0;
}

// An IPv4 network: whole bytes of the prefix compare equal; in a partial byte, every bit that the
// network has set within the prefix must be set in the address (the others are not looked at).
struct Net {
    unsigned char a[4];
    int bits;
};

bool in_net(const unsigned char *addr, const Net &net)
{
    int whole = net.bits / 8;
    for (int i = 0; i < whole; ++i)
        if (addr[i] != net.a[i])
            return false;
    if (whole == 4)
        return true;
    unsigned mask = (0xFFu << (8 - net.bits % 8)) & 0xFFu;
    unsigned m = net.a[whole] & mask;
    return (addr[whole] & m) == m;
}

constexpr Net kTen8{{10, 0, 0, 0}, 8};
constexpr Net kTen12Zero{{10, 0, 0, 0}, 12};
constexpr Net kTen16Over12{{10, 16, 0, 0}, 12};
constexpr Net kPrivate172{{172, 16, 0, 0}, 12};
constexpr Net kHome16{{192, 168, 0, 0}, 16};
constexpr Net kHome24{{192, 168, 1, 0}, 24};
constexpr Net kHost{{10, 0, 0, 1}, 32};

bool ip_src_in(const Header &h, const Net &n)
{
    return in_net(h.p + 12, n);
}
bool ip_dst_in(const Header &h, const Net &n)
{
    return in_net(h.p + 16, n);
}

bool is_fragment(const Header &h)
{
    return (h.at(6) & 0x20) != 0 || (((h.at(6) & 0x1Fu) << 8) | h.at(7)) != 0;
}

// TCP flags of byte 13 (the two high bits are not flags).
bool tcp_flags(const Header &h, unsigned set, unsigned clear)
{
    if (!h.has(14))
        return false;
    unsigned f = h.at(13) & 0x3F;
    return (f & set) == set && (f & clear) == 0;
}

// ---- atoms used by more than one predicate -------------------------------------------------

// IP SRC=net
bool ip_src(const Dissection &d, const Net &n)
{
    const Header *h = ip(d);
    return h != nullptr && h->has(16) && ip_src_in(*h, n);
}

// IP ^SD=net
bool ip_not_sd(const Dissection &d, const Net &n)
{
    const Header *h = ip(d);
    return h != nullptr && h->has(20) && !(ip_src_in(*h, n) || ip_dst_in(*h, n));
}

// IP F=F
bool ip_fragment(const Dissection &d)
{
    const Header *h = ip(d);
    return h != nullptr && h->has(8) && is_fragment(*h);
}

// TCP or UDP SD=port
bool port_sd(const Dissection &d, int proto, unsigned port)
{
    const Header *h = transport(d, proto);
    return h != nullptr && h->has(4) && (h->be16(0) == port || h->be16(2) == port);
}

// TCP or UDP ^SD=port
bool port_not_sd(const Dissection &d, int proto, unsigned port)
{
    const Header *h = transport(d, proto);
    return h != nullptr && h->has(4) && !(h->be16(0) == port || h->be16(2) == port);
}

// ETH DST=B
bool eth_dst_broadcast(const Dissection &d)
{
    const Header *h = eth(d);
    return h != nullptr && h->has(6) && mac_at(*h, 0, kBroadcast);
}

// ---- the filters and their hand checks -----------------------------------------------------

using Predicate = bool (*)(const Dissection &);

struct Case {
    const char *name; // test name
    const char *text; // filter
    Predicate want;   // hand check of one frame
};

const Case kCases[] = {
    // Link level.
    {"eth", "ETH", [](const Dissection &d) { return eth(d) != nullptr; }},
    {"ieee8023", "802.3", [](const Dissection &d) { return ieee8023(d) != nullptr; }},
    {"eth_etype_ipv4", "ETH ETYPE=2048",
     [](const Dissection &d) {
         const Header *h = eth(d);
         return h != nullptr && h->has(14) && h->be16(12) == 0x0800;
     }},
    {"eth_etype_ipv6", "ETH ETYPE=34525",
     [](const Dissection &d) {
         const Header *h = eth(d);
         return h != nullptr && h->has(14) && h->be16(12) == 0x86DD;
     }},
    {"eth_dst_broadcast", "ETH DST=B", eth_dst_broadcast},
    {"eth_dst_multicast", "ETH DST=M",
     [](const Dissection &d) {
         // M means a first byte of exactly 01, not the group bit.
         const Header *h = eth(d);
         return h != nullptr && h->has(6) && h->at(0) == 0x01;
     }},
    {"eth_src_multicast", "ETH SRC=M",
     [](const Dissection &d) {
         const Header *h = eth(d);
         return h != nullptr && h->has(12) && h->at(6) == 0x01;
     }},
    {"eth_sd1_broadcast", "ETH SD:1=B",
     [](const Dissection &d) {
         const Header *h = eth(d);
         return h != nullptr && h->has(12) &&
                mac_at(*h, 0, kBroadcast) != mac_at(*h, 6, kBroadcast);
     }},
    {"eth_sd_mac", "ETH SD=00:1f:29:da:2d:79",
     [](const Dissection &d) {
         const Header *h = eth(d);
         return h != nullptr && h->has(12) && (mac_at(*h, 0, kBusyMac) || mac_at(*h, 6, kBusyMac));
     }},
    {"eth_not_src_zero", "ETH ^SRC=0:0:0:0:0:0",
     [](const Dissection &d) {
         const Header *h = eth(d);
         return h != nullptr && h->has(12) && !mac_at(*h, 6, kZeroMac);
     }},
    {"ieee8023_sd_multicast", "802.3 SD=M",
     [](const Dissection &d) {
         const Header *h = ieee8023(d);
         return h != nullptr && h->has(12) && (h->at(0) == 0x01 || h->at(6) == 0x01);
     }},
    {"ieee8023_not_sd_multicast", "802.3 ^SD=M",
     [](const Dissection &d) {
         const Header *h = ieee8023(d);
         return h != nullptr && h->has(12) && !(h->at(0) == 0x01 || h->at(6) == 0x01);
     }},
    {"ieee8023_len", "802.3 LEN<64",
     [](const Dissection &d) {
         const Header *h = ieee8023(d);
         return h != nullptr && h->avail < 64;
     }},
    {"llc", "LLC", [](const Dissection &d) { return llc(d) != nullptr; }},
    {"llc_sd_stp", "LLC SD=66",
     [](const Dissection &d) {
         const Header *h = llc(d);
         return h != nullptr && h->has(2) && (h->at(0) == 66 || h->at(1) == 66);
     }},
    {"llc_sd1_stp", "LLC SD:1=66",
     [](const Dissection &d) {
         const Header *h = llc(d);
         return h != nullptr && h->has(2) && ((h->at(0) == 66) != (h->at(1) == 66));
     }},
    {"llc_dst_ctl", "LLC DST=254 C=3",
     [](const Dissection &d) {
         const Header *h = llc(d);
         return h != nullptr && h->has(1) && h->at(0) == 254 && h->has(3) && h->at(2) == 3;
     }},
    {"llc_not_src", "LLC ^SRC=170",
     [](const Dissection &d) {
         const Header *h = llc(d);
         return h != nullptr && h->has(2) && h->at(1) != 170;
     }},
    {"llc_dlen", "LLC DLEN>40",
     [](const Dissection &d) {
         const Header *h = llc(d);
         return h != nullptr && h->dlen() > 40;
     }},
    {"snap", "SNAP", [](const Dissection &d) { return snap(d) != nullptr; }},
    {"snap_org_etype", "SNAP ORG=12 ETYPE=8192",
     [](const Dissection &d) {
         const Header *h = snap(d);
         return h != nullptr && h->has(3) && h->at(0) == 0 && h->at(1) == 0 && h->at(2) == 12 &&
                h->has(5) && h->be16(3) == 0x2000;
     }},

    // Network level.
    {"arp", "ARP", [](const Dissection &d) { return first(d, Kind::Arp) != nullptr; }},
    {"rarp", "RARP", [](const Dissection &d) { return first(d, Kind::Rarp) != nullptr; }},
    {"ipx", "IPX", [](const Dissection &d) { return first(d, Kind::Ipx) != nullptr; }},
    {"ip", "IP", [](const Dissection &d) { return ip(d) != nullptr; }},
    {"ip_src_8", "IP SRC=10.0.0.0/8", [](const Dissection &d) { return ip_src(d, kTen8); }},
    {"ip_src_12", "IP SRC=10.16.0.0/12",
     [](const Dissection &d) { return ip_src(d, kTen16Over12); }},
    {"ip_src_12_private", "IP SRC=172.16.0.0/12",
     [](const Dissection &d) { return ip_src(d, kPrivate172); }},
    {"ip_dst_12_zero_bits", "IP DST=10.0.0.0/12",
     [](const Dissection &d) {
         const Header *h = ip(d);
         return h != nullptr && h->has(20) && ip_dst_in(*h, kTen12Zero);
     }},
    {"ip_dst_16", "IP DST=192.168.0.0/16",
     [](const Dissection &d) {
         const Header *h = ip(d);
         return h != nullptr && h->has(20) && ip_dst_in(*h, kHome16);
     }},
    {"ip_src_24", "IP SRC=192.168.1.0/24", [](const Dissection &d) { return ip_src(d, kHome24); }},
    {"ip_sd_host", "IP SD=10.0.0.1",
     [](const Dissection &d) {
         const Header *h = ip(d);
         return h != nullptr && h->has(20) && (ip_src_in(*h, kHost) || ip_dst_in(*h, kHost));
     }},
    {"ip_sd1", "IP SD:1=10.0.0.0/8",
     [](const Dissection &d) {
         const Header *h = ip(d);
         return h != nullptr && h->has(20) && ip_src_in(*h, kTen8) != ip_dst_in(*h, kTen8);
     }},
    {"ip_sd2", "IP SD:2=10.0.0.0/8",
     [](const Dissection &d) {
         const Header *h = ip(d);
         return h != nullptr && h->has(16) && ip_src_in(*h, kTen8) && h->has(20) &&
                ip_dst_in(*h, kTen8);
     }},
    {"ip_not_src", "IP ^SRC=10.0.0.0/8",
     [](const Dissection &d) {
         const Header *h = ip(d);
         return h != nullptr && h->has(16) && !ip_src_in(*h, kTen8);
     }},
    {"ip_fragment", "IP F=F", ip_fragment},
    {"ip_not_fragment", "IP F=^F",
     [](const Dissection &d) {
         const Header *h = ip(d);
         return h != nullptr && h->has(8) && !is_fragment(*h);
     }},
    {"ip_len", "IP LEN<64",
     [](const Dissection &d) {
         const Header *h = ip(d);
         return h != nullptr && h->avail < 64;
     }},
    {"ip_hlen", "IP HLEN>20",
     [](const Dissection &d) {
         const Header *h = ip(d);
         return h != nullptr && h->hlen > 20;
     }},
    {"ip_short_hlen", "IP HLEN<20",
     [](const Dissection &d) {
         const Header *h = ip(d);
         return h != nullptr && h->hlen < 20;
     }},

    // Carried in IP.
    {"icmp", "ICMP", [](const Dissection &d) { return transport(d, kIcmp) != nullptr; }},
    {"icmp_echo", "ICMP TYPE=echo",
     [](const Dissection &d) {
         const Header *h = transport(d, kIcmp);
         return h != nullptr && h->has(1) && h->at(0) == 8;
     }},
    {"icmp_port_unreach", "ICMP TYPE=unreach CODE=port",
     [](const Dissection &d) {
         const Header *h = transport(d, kIcmp);
         return h != nullptr && h->has(1) && h->at(0) == 3 && h->has(2) && h->at(1) == 3;
     }},
    {"igmp", "IGMP", [](const Dissection &d) { return transport(d, kIgmp) != nullptr; }},
    {"ospf", "OSPF", [](const Dissection &d) { return transport(d, kOspf) != nullptr; }},
    {"gre", "IP#47", [](const Dissection &d) { return transport(d, kGre) != nullptr; }},
    {"pim", "IP#103", [](const Dissection &d) { return transport(d, kPim) != nullptr; }},
    {"tcp", "TCP", [](const Dissection &d) { return transport(d, kTcp) != nullptr; }},
    {"tcp_sd_80", "TCP SD=80", [](const Dissection &d) { return port_sd(d, kTcp, 80); }},
    {"tcp_sd_179", "TCP SD=179", [](const Dissection &d) { return port_sd(d, kTcp, 179); }},
    {"tcp_not_sd_80", "TCP ^SD=80", [](const Dissection &d) { return port_not_sd(d, kTcp, 80); }},
    {"tcp_dst_below_1024", "TCP DST<1024",
     [](const Dissection &d) {
         const Header *h = transport(d, kTcp);
         return h != nullptr && h->has(4) && h->be16(2) < 1024;
     }},
    {"tcp_src_above_1023", "TCP SRC>1023",
     [](const Dissection &d) {
         const Header *h = transport(d, kTcp);
         return h != nullptr && h->has(2) && h->be16(0) > 1023;
     }},
    {"tcp_syn_no_ack", "TCP F=S^A",
     [](const Dissection &d) {
         const Header *h = transport(d, kTcp);
         return h != nullptr && tcp_flags(*h, 0x02, 0x10);
     }},
    {"tcp_all_flags", "TCP F=S*",
     [](const Dissection &d) {
         // A positive '*' asks for every flag not named negative.
         const Header *h = transport(d, kTcp);
         return h != nullptr && tcp_flags(*h, 0x3F, 0);
     }},
    {"tcp_syn_ack_only", "TCP F=SA^*",
     [](const Dissection &d) {
         const Header *h = transport(d, kTcp);
         return h != nullptr && tcp_flags(*h, 0x12, 0x2D);
     }},
    {"tcp_not_ack", "TCP ^F=A",
     [](const Dissection &d) {
         const Header *h = transport(d, kTcp);
         return h != nullptr && h->has(14) && !tcp_flags(*h, 0x10, 0);
     }},
    {"tcp_dlen", "TCP DLEN>0",
     [](const Dissection &d) {
         const Header *h = transport(d, kTcp);
         return h != nullptr && h->dlen() > 0;
     }},
    {"tcp_hlen", "TCP HLEN>20",
     [](const Dissection &d) {
         const Header *h = transport(d, kTcp);
         return h != nullptr && h->hlen > 20;
     }},
    {"tcp_short_hlen", "TCP HLEN<20",
     [](const Dissection &d) {
         const Header *h = transport(d, kTcp);
         return h != nullptr && h->hlen < 20;
     }},
    {"udp", "UDP", [](const Dissection &d) { return transport(d, kUdp) != nullptr; }},
    {"udp_sd_53", "UDP SD=53", [](const Dissection &d) { return port_sd(d, kUdp, 53); }},
    {"udp_not_dst_53", "UDP ^DST=53",
     [](const Dissection &d) {
         const Header *h = transport(d, kUdp);
         return h != nullptr && h->has(4) && h->be16(2) != 53;
     }},
    {"udp_dlen", "UDP DLEN>100",
     [](const Dissection &d) {
         const Header *h = transport(d, kUdp);
         return h != nullptr && h->dlen() > 100;
     }},
    {"udp_negative_dlen", "UDP DLEN<0",
     [](const Dissection &d) {
         // The UDP header is 8 bytes even when fewer were captured.
         const Header *h = transport(d, kUdp);
         return h != nullptr && h->dlen() < 0;
     }},

    // Negation and groups.
    {"not_tcp", "^(TCP)", [](const Dissection &d) { return transport(d, kTcp) == nullptr; }},
    {"not_tcp_not_80", "^(TCP ^SD=80)",
     [](const Dissection &d) { return !port_not_sd(d, kTcp, 80); }},
    {"not_ip_src_8", "^(IP SRC=10.0.0.0/8)", [](const Dissection &d) { return !ip_src(d, kTen8); }},
    {"web_or_dns_from_10", "((TCP SD=80) | (UDP SD=53)) & (IP SRC=10.0.0.0/8)",
     [](const Dissection &d) {
         return (port_sd(d, kTcp, 80) || port_sd(d, kUdp, 53)) && ip_src(d, kTen8);
     }},
    {"bgp_or_dns_from_10", "((TCP SD=179) | (UDP SD=53)) & (IP SRC=10.0.0.0/8)",
     [](const Dissection &d) {
         return (port_sd(d, kTcp, 179) || port_sd(d, kUdp, 53)) && ip_src(d, kTen8);
     }},
    {"mixed_groups", "((TCP) & (IP ^SD=10.0.0.0/8)) | ((UDP ^SD=53) & (ETH DST=B))",
     [](const Dissection &d) {
         return (transport(d, kTcp) != nullptr && ip_not_sd(d, kTen8)) ||
                (port_not_sd(d, kUdp, 53) && eth_dst_broadcast(d));
     }},
    {"first_fragment_tcp", "(IP F=F) & (TCP)",
     [](const Dissection &d) { return ip_fragment(d) && transport(d, kTcp) != nullptr; }},
    {"first_fragment_udp", "(IP F=F) & (UDP)",
     [](const Dissection &d) { return ip_fragment(d) && transport(d, kUdp) != nullptr; }},
    {"fragment_not_tcp_udp", "(IP F=F) & ^((TCP) | (UDP))",
     [](const Dissection &d) {
         return ip_fragment(d) && transport(d, kTcp) == nullptr && transport(d, kUdp) == nullptr;
     }},
    {"neither_arp_nor_ip", "^((ARP) | (IP))",
     [](const Dissection &d) { return first(d, Kind::Arp) == nullptr && ip(d) == nullptr; }},
    {"arp_rarp_ipx", "(ARP) | (RARP) | (IPX)",
     [](const Dissection &d) {
         return first(d, Kind::Arp) != nullptr || first(d, Kind::Rarp) != nullptr ||
                first(d, Kind::Ipx) != nullptr;
     }},
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << "'" << c.text << "'";
}

// ---- reporting -----------------------------------------------------------------------------

std::string hex_dump(const std::vector<unsigned char> &frame, size_t max)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    size_t n = std::min(frame.size(), max);
    for (size_t i = 0; i < n; ++i) {
        if (i != 0)
            s += (i % 16 == 0) ? "\n      " : " ";
        s += digits[frame[i] >> 4];
        s += digits[frame[i] & 0xF];
    }
    return n == 0 ? "(empty)" : s;
}

struct Disagreement {
    size_t index;
    int got;     // library, zero padding
    int got_alt; // library, other padding (frames under 16 bytes), else got
    bool want;
};

// ---- tests ---------------------------------------------------------------------------------

TEST(CaptureFile, HoldsAllFrames)
{
    const Capture &cap = capture();
    REQUIRE_CAPTURE(cap);
    EXPECT_EQ(cap.frames.size(), kCaptureFrames) << cap.path;
}

// The out-values name the outermost header: 802.3 up to a type/length of 1500, Ethernet II above.
TEST(CaptureFile, OutermostHeaderNamed)
{
    const Capture &cap = capture();
    REQUIRE_CAPTURE(cap);
    int size = 0;
    filt_node *filter = nif_filt_parse("ETH", &size);
    ASSERT_NE(filter, nullptr) << gnl_usrmsg;
    std::unique_ptr<filt_node, void (*)(filt_node *)> owner(filter, nif_filt_free);
    GuardedFrame guard(cap.max_len);
    ASSERT_TRUE(guard.ok());
    FaultNote note("ETH");

    size_t wrong = 0;
    for (size_t i = 0; i < cap.frames.size(); ++i) {
        g_frame_index = static_cast<sig_atomic_t>(i);
        const auto &f = cap.frames[i];
        const unsigned char *buf = guard.load(f, 0);
        int32_t want = get16(buf + 12) <= 1500 ? 2 : 1;
        int32_t layer = -9, proto = -9, skip = -9;
        nif_filt_match(filter, buf, static_cast<int32_t>(f.size()), NIF_LINK_ETHER, &layer, &proto,
                       &skip, NIF_OPT_LINKHDR);
        int32_t id_layer = -9, id_skip = -9;
        int32_t id = nif_proto_id(NIF_LINK_ETHER, buf, &id_layer, &id_skip, NIF_OPT_LINKHDR);
        if (layer != 2 || proto != want || skip != 0 || id != want || id_layer != 2 ||
            id_skip != 0) {
            if (++wrong <= kShownDiffs)
                ADD_FAILURE() << "frame " << i << ": match out-values " << layer << "/" << proto
                              << "/" << skip << ", nif_proto_id " << id_layer << "/" << id << "/"
                              << id_skip << ", want 2/" << want << "/0";
        }
    }
    EXPECT_EQ(wrong, 0u);
}

class CaptureFilter : public ::testing::TestWithParam<Case> {};

TEST_P(CaptureFilter, VerdictsAgreeWithHandChecks)
{
    const Case &c = GetParam();
    const Capture &cap = capture();
    REQUIRE_CAPTURE(cap);

    int size = 0;
    filt_node *filter = nif_filt_parse(c.text, &size);
    ASSERT_NE(filter, nullptr) << c.text << ": " << gnl_usrmsg;
    std::unique_ptr<filt_node, void (*)(filt_node *)> owner(filter, nif_filt_free);
    GuardedFrame guard(cap.max_len);
    ASSERT_TRUE(guard.ok());

    zeriza_test::LogCapture log;
    size_t lib_count = 0;
    size_t hand_count = 0;
    std::vector<Disagreement> diffs;
    {
        FaultNote note(c.text);
        for (size_t i = 0; i < cap.frames.size(); ++i) {
            g_frame_index = static_cast<sig_atomic_t>(i);
            const auto &f = cap.frames[i];
            const auto len = static_cast<int32_t>(f.size());
            const unsigned char *buf = guard.load(f, 0x00);
            bool want = c.want(dissect(buf, len));
            int got = nif_filt_match(filter, buf, len, NIF_LINK_ETHER, nullptr, nullptr, nullptr,
                                     NIF_OPT_LINKHDR);
            int got_alt = got;
            if (len < kMinReadable) {
                buf = guard.load(f, 0xFF);
                got_alt = nif_filt_match(filter, buf, len, NIF_LINK_ETHER, nullptr, nullptr,
                                         nullptr, NIF_OPT_LINKHDR);
            }
            lib_count += got == 1;
            hand_count += want;
            if (got != static_cast<int>(want) || got_alt != got)
                diffs.push_back({i, got, got_alt, want});
        }
    }

    std::cout << "[   counts ] " << c.text << ": library " << lib_count << ", hand checks "
              << hand_count << " of " << cap.frames.size() << " frames\n";
    EXPECT_EQ(lib_count, hand_count) << c.text;
    EXPECT_TRUE(diffs.empty()) << [&] {
        std::ostringstream os;
        os << c.text << ": " << diffs.size() << " frames disagree; the first ones:";
        for (size_t k = 0; k < diffs.size() && k < kShownDiffs; ++k) {
            const Disagreement &x = diffs[k];
            const auto &f = cap.frames[x.index];
            os << "\n  frame " << x.index << " (" << f.size() << " bytes): library " << x.got;
            if (x.got_alt != x.got)
                os << " (" << x.got_alt << " with other padding)";
            os << ", hand check " << x.want << "\n    headers: "
               << describe(dissect(guard.load(f, 0x00), static_cast<int>(f.size())))
               << "\n    bytes " << hex_dump(f, 64);
        }
        return os.str();
    }();
    // Filters made by the compiler never carry a parameter their protocol cannot have, so
    // matching them logs nothing.
    EXPECT_TRUE(log.lines.empty())
        << c.text << ": " << log.lines.size() << " lines logged, the first: " << log.lines.front();
}

INSTANTIATE_TEST_SUITE_P(Capture, CaptureFilter, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
