// Protocol identification and the header walk, on frames built byte by byte.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "pktfilt/matcher.h"
#include "tools/framegen.h"
#include "zeriza.h"

namespace {

using framegen::Bytes;
using framegen::Frame;
using framegen::mac;

// At least 16 readable bytes, as the callers promise.
Bytes padded(std::initializer_list<uint8_t> bytes)
{
    Bytes b(bytes);
    b.resize(std::max<size_t>(b.size(), 16), 0xEE);
    return b;
}

TEST(ProtoId, LinkTypesAndBytes)
{
    struct Case {
        const char *what;
        int32_t link;
        uint32_t opts;
        Bytes frame;
        int32_t id, layer, skip;
    } cases[] = {
        {"eth 05DC is a length", 4, 1, padded({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05, 0xDC}), 2,
         2, 0},
        {"eth 05DD is a type", 4, 1, padded({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05, 0xDD}), 1, 2,
         0},
        {"eth 0800", 4, 1, padded({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x00}), 1, 2, 0},
        {"eth 0000", 4, 1, Bytes(16, 0), 2, 2, 0},
        {"ip first byte 45", 4, 0, padded({0x45}), 1, 3, 0},
        {"ip first byte 60", 4, 0, padded({0x60}), 1, 3, 0},
        {"ip first byte FF", 4, 0, padded({0xFF}), 1, 3, 0},
        {"first byte 44", 4, 0, padded({0x44}), 0, -1, 0},
        {"first byte 01", 4, 0, padded({0x01, 0x01, 0x08, 0x00, 6, 4, 0, 1}), 0, -1, 0},
        {"arp reply", 4, 0, padded({0, 1, 8, 0, 6, 4, 0, 2}), 2, 3, 0},
        {"arp request hw 6", 4, 0, padded({0, 6, 8, 0, 6, 4, 0, 1}), 2, 3, 0},
        {"rarp reply", 4, 0, padded({0, 6, 8, 0, 0, 0, 0, 4}), 3, 3, 0},
        {"rarp request", 4, 0, padded({0, 1, 8, 0, 0, 0, 0, 3}), 3, 3, 0},
        {"arp op 5", 4, 0, padded({0, 1, 8, 0, 0, 0, 0, 5}), 0, -1, 0},
        {"arp op 0101", 4, 0, padded({0, 1, 8, 0, 0, 0, 1, 1}), 0, -1, 0},
        {"arp hw 2", 4, 0, padded({0, 2, 8, 0, 0, 0, 0, 1}), 0, -1, 0},
        {"arp proto 86dd", 4, 0, padded({0, 1, 0x86, 0xDD, 0, 0, 0, 1}), 0, -1, 0},
        {"hdlc 0021", 5, 0, padded({0x00, 0x21}), 0x0021, 3, 2},
        {"hdlc c021", 5, 0, padded({0xC0, 0x21}), 0xC021, 3, 2},
        {"hdlc 8035", 5, 0, padded({0x80, 0x35}), 0x8035, 3, 2},
        {"hdlc ff03", 5, 0, padded({0xFF, 0x03}), 0, -1, 0},
        {"hdlc with header", 5, 1, padded({0x00, 0x21}), 9, 2, 0},
        {"raw ip", 129, 0, padded({0x00}), 1, 3, 0},
        {"raw ip, header flag", 129, 1, padded({0x00}), 1, 3, 0},
        {"802.3 with header", 0, 1, padded({0xFF, 0xFF}), 2, 2, 0},
        {"novell raw", 0, 0, padded({0xFF, 0xFF}), 6, 3, 0},
        {"802.3 payload llc", 0, 0, padded({0xFF, 0xFE}), 7, 2, 0},
        {"link 1", 1, 1, padded({}), 4, 2, 0},
        {"link 2", 2, 1, padded({}), 3, 2, 0},
        {"link 3", 3, 1, padded({}), 5, 2, 0},
        {"fddi", 8, 1, padded({}), 6, 2, 0},
        {"link 1 payload", 1, 0, padded({}), 7, 2, 0},
        {"fddi payload", 8, 0, padded({}), 7, 2, 0},
        {"link 6 header", 6, 1, padded({}), 0, -1, 0},
        {"link 7 header", 7, 1, padded({}), 0, -1, 0},
        {"link 130 header", 130, 1, padded({}), 0, -1, 0},
        {"link -1 header", -1, 1, padded({}), 0, -1, 0},
        {"link 6 payload", 6, 0, padded({}), 7, 2, 0},
        {"link 130 payload", 130, 0, padded({}), 7, 2, 0},
        {"only bit 0 counts", 4, 0xFFFFFFFE, padded({0x45}), 1, 3, 0},
    };
    for (const auto &c : cases) {
        int32_t layer = 99, skip = 99;
        EXPECT_EQ(nif_proto_id(c.link, c.frame.data(), &layer, &skip, c.opts), c.id) << c.what;
        EXPECT_EQ(layer, c.layer) << c.what;
        EXPECT_EQ(skip, c.skip) << c.what;
    }
}

TEST(ProtoId, MediaWithoutTypeFieldNeverReadTheFrame)
{
    int32_t layer, skip;
    for (int32_t link : {1, 2, 3, 8, 129})
        for (uint32_t opts : {0u, 1u})
            EXPECT_NE(nif_proto_id(link, nullptr, &layer, &skip, opts), 0) << link;
}

struct Rec {
    int32_t layer, id, offset, avail, hdr_len;
    bool operator==(const Rec &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Rec &r)
{
    return os << "(" << r.layer << "," << r.id << " @" << r.offset << " avail " << r.avail
              << " hdr " << r.hdr_len << ")";
}

std::vector<Rec> walk(const Bytes &frame, int32_t link, uint32_t opts, int32_t len = -1)
{
    if (len < 0)
        len = static_cast<int32_t>(frame.size());
    int32_t layer, skip;
    int32_t proto = nif_proto_id(link, frame.data(), &layer, &skip, opts);
    zeriza::hdr_rec recs[zeriza::kMaxRecords];
    int n = zeriza::walk_headers(frame.data(), len - skip, layer, proto, recs);
    std::vector<Rec> out;
    for (int i = 0; i < n; ++i)
        out.push_back({recs[i].layer, recs[i].proto_id,
                       static_cast<int32_t>(recs[i].start - frame.data()), recs[i].avail,
                       recs[i].hdr_len});
    return out;
}

const framegen::Ip4 kA = {10, 0, 0, 1}, kB = {192, 168, 1, 2};

Frame eth_ip(uint8_t proto, framegen::Ipv4Opts o = {})
{
    return Frame().eth(mac(1), mac(2), 0x0800).ipv4(kA, kB, proto, o);
}

TEST(Walk, RecordsOfEachKindOfFrame)
{
    Bytes tcp54 = eth_ip(6).tcp(1024, 80).bytes();
    Bytes tcp60 = eth_ip(6).tcp(1024, 80).seal().fill(6).bytes();
    Bytes ieee = Frame().ieee8023(mac(1), mac(2), 46).llc(0x42, 0x42).fill(63).bytes();
    Bytes novell = Frame().ieee8023(mac(1), mac(2)).raw({0xFF, 0xFF}).fill(28).bytes();
    Bytes snap_udp = Frame()
                         .ieee8023(mac(1), mac(2))
                         .llc(0xAA, 0xAA)
                         .snap(0, 0x0800)
                         .ipv4(kA, kB, 17)
                         .udp(53, 53)
                         .fill(4)
                         .bytes();
    Bytes bridged = Frame()
                        .ieee8023(mac(1), mac(2))
                        .llc(0xAA, 0xAA)
                        .snap(0x0080C2, 0x0007)
                        .ieee8023(mac(3), mac(4))
                        .llc(0x06, 0x06)
                        .fill(10)
                        .bytes();
    Bytes ipv6 = Frame().eth(mac(1), mac(2), 0x86DD).ipv6_stub(6).bytes();
    Bytes icmp = eth_ip(1).icmp(8, 0).fill(8).bytes();
    Bytes first = eth_ip(6, framegen::Ipv4Opts::fragment(true, 0)).tcp(1, 2).fill(8).bytes();
    Bytes later = eth_ip(6, framegen::Ipv4Opts::fragment(false, 185)).fill(28).bytes();
    Bytes arp =
        Frame().eth(framegen::kBroadcast, mac(2), 0x0806).arp(1, mac(2), kA, {}, kB).bytes();
    Bytes ipx = Frame().eth(mac(1), mac(2), 0x8137).fill(30).bytes();
    Bytes ip_opts = eth_ip(17, framegen::Ipv4Opts::words(6)).udp(1, 2).bytes();
    Bytes tcp_opts = eth_ip(6).tcp(1, 2, framegen::SYN, 8).bytes();
    Bytes hdlc = Frame().raw({0x00, 0x21}).fill(40).bytes();
    Bytes llc_ip = Frame().raw({0xFE, 0xFE, 0x03, 0xCC}).ipv4(kA, kB, 17).udp(7, 7).bytes();
    Bytes llc_snap = Frame().raw({0xFE, 0xFE, 0x03, 0x80}).snap(0, 0x0806).fill(28).bytes();
    Bytes llc_ipx = Frame().llc(0xE0, 0xE0).fill(30).bytes();
    Bytes llc_other = Frame().llc(0x42, 0x42).fill(10).bytes();
    Bytes rawip = Frame().ipv4(kA, kB, 17).udp(1, 2).bytes();

    struct Case {
        const char *what;
        const Bytes &frame;
        int32_t link;
        uint32_t opts;
        std::vector<Rec> recs;
    } cases[] = {
        {"eth ip tcp 54", tcp54, 4, 1, {{2, 1, 0, 54, 14}, {3, 1, 14, 40, 20}, {4, 6, 34, 20, 20}}},
        {"6 filler bytes",
         tcp60,
         4,
         1,
         {{2, 1, 0, 60, 14}, {3, 1, 14, 40, 20}, {4, 6, 34, 20, 20}}},
        {"802.3 length cut", ieee, 4, 1, {{2, 2, 0, 60, 14}, {2, 7, 14, 46, 3}}},
        {"novell raw", novell, 4, 1, {{2, 2, 0, 44, 14}, {3, 6, 14, 30, 30}}},
        {"802.3 llc snap ip udp",
         snap_udp,
         4,
         1,
         {{2, 2, 0, 54, 14},
          {2, 7, 14, 40, 3},
          {2, 8, 17, 37, 5},
          {3, 1, 22, 32, 20},
          {4, 17, 42, 12, 8}}},
        {"bridged 802.3 in snap",
         bridged,
         4,
         1,
         {{2, 2, 0, 49, 14},
          {2, 7, 14, 35, 3},
          {2, 8, 17, 32, 5},
          {2, 2, 22, 27, 14},
          {2, 7, 36, 13, 3}}},
        {"ipv6", ipv6, 4, 1, {{2, 1, 0, 54, 14}}},
        {"icmp echo", icmp, 4, 1, {{2, 1, 0, 50, 14}, {3, 1, 14, 36, 20}, {4, 1, 34, 16, 16}}},
        {"first fragment",
         first,
         4,
         1,
         {{2, 1, 0, 62, 14}, {3, 1, 14, 48, 20}, {4, 6, 34, 28, 20}}},
        {"later fragment", later, 4, 1, {{2, 1, 0, 62, 14}, {3, 1, 14, 48, 20}}},
        {"arp", arp, 4, 1, {{2, 1, 0, 42, 14}, {3, 2, 14, 28, 28}}},
        {"ipx", ipx, 4, 1, {{2, 1, 0, 44, 14}, {3, 6, 14, 30, 30}}},
        {"ip options", ip_opts, 4, 1, {{2, 1, 0, 46, 14}, {3, 1, 14, 32, 24}, {4, 17, 38, 8, 8}}},
        {"tcp options",
         tcp_opts,
         4,
         1,
         {{2, 1, 0, 66, 14}, {3, 1, 14, 52, 20}, {4, 6, 34, 32, 32}}},
        {"hdlc protocol field", hdlc, 5, 0, {{3, 0x21, 0, 40, 40}}},
        {"hdlc with header", hdlc, 5, 1, {{2, 9, 0, 42, 7}}},
        {"llc FE FE 03 CC ip",
         llc_ip,
         0,
         0,
         {{2, 7, 0, 32, 4}, {3, 1, 4, 28, 20}, {4, 17, 24, 8, 8}}},
        {"llc FE FE 03 80 snap",
         llc_snap,
         0,
         0,
         {{2, 7, 0, 37, 4}, {2, 8, 4, 33, 5}, {3, 2, 9, 28, 28}}},
        {"llc E0 E0 03 ipx", llc_ipx, 0, 0, {{2, 7, 0, 33, 3}, {3, 6, 3, 30, 30}}},
        {"llc other", llc_other, 0, 0, {{2, 7, 0, 13, 3}}},
        {"novell raw payload", Bytes(novell.begin() + 14, novell.end()), 0, 0, {{3, 6, 0, 30, 30}}},
        {"raw ip", rawip, 129, 0, {{3, 1, 0, 28, 20}, {4, 17, 20, 8, 8}}},
        {"ip payload of ethernet",
         Bytes(tcp54.begin() + 14, tcp54.end()),
         4,
         0,
         {{3, 1, 0, 40, 20}, {4, 6, 20, 20, 20}}},
        {"unknown first byte", padded({0x01}), 4, 0, {{-1, 0, 0, 16, 16}}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(walk(c.frame, c.link, c.opts), c.recs) << c.what;
}

TEST(Walk, ShortDataEndsTheWalkWithARecordOfWhatIsLeft)
{
    Bytes tcp = eth_ip(6).tcp(1024, 80).bytes();
    Bytes hdlc = Frame().raw({0x00, 0x21}).fill(14).bytes();
    struct Case {
        const char *what;
        const Bytes &frame;
        int32_t link;
        uint32_t opts;
        int32_t len;
        std::vector<Rec> recs;
    } cases[] = {
        {"nothing", tcp, 4, 1, 0, {}},
        {"ethernet cut", tcp, 4, 1, 13, {{2, 1, 0, 13, 13}}},
        {"ethernet only", tcp, 4, 1, 14, {{2, 1, 0, 14, 14}}},
        {"ip cut before protocol", tcp, 4, 1, 23, {{2, 1, 0, 23, 14}, {3, 1, 14, 9, 9}}},
        {"ip fixed fields only", tcp, 4, 1, 24, {{2, 1, 0, 24, 14}, {3, 1, 14, 10, 20}}},
        {"tcp cut before offset",
         tcp,
         4,
         1,
         46,
         {{2, 1, 0, 46, 14}, {3, 1, 14, 32, 20}, {4, 6, 34, 12, 12}}},
        {"tcp offset present",
         tcp,
         4,
         1,
         47,
         {{2, 1, 0, 47, 14}, {3, 1, 14, 33, 20}, {4, 6, 34, 13, 20}}},
        {"length equal to the skip", hdlc, 5, 0, 2, {}},
        {"one byte past the skip", hdlc, 5, 0, 3, {{3, 0x21, 0, 1, 1}}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(walk(c.frame, c.link, c.opts, c.len), c.recs) << c.what;
}

TEST(Walk, EndsAfterThirtyRecords)
{
    // 802.3 / LLC / SNAP(bridged) repeated: three records a round.
    Frame f;
    for (int i = 0; i < 12; ++i)
        f.ieee8023(mac(1), mac(2)).llc(0xAA, 0xAA).snap(0x0080C2, 0x0007);
    Bytes b = f.fill(20).bytes();
    auto recs = walk(b, 4, 1);
    ASSERT_EQ(recs.size(), 30u);
    EXPECT_EQ(recs[29], (Rec{2, 8, 9 * 22 + 17, static_cast<int32_t>(b.size()) - 215, 5}));
}

} // namespace
