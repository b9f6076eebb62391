// Protocol identification and the header walk, on frames built byte by byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "pktfilt/matcher.h"
#include "tests/support.h"

namespace {

using namespace framegen;
using namespace zeriza_test;

// Bytes from hex digits ("-" for none), padded to the 16 readable bytes
// callers promise.
Bytes padded(const char *hex)
{
    Bytes b;
    for (; hex[0] && hex[1]; hex += 2)
        b.push_back(static_cast<uint8_t>(std::stoi(std::string(hex, 2), nullptr, 16)));
    b.resize(std::max<size_t>(b.size(), 16), 0xEE);
    return b;
}

TEST(ProtoId, LinkTypesAndBytes)
{
    // "link opts frame -> id layer skip;", the frame in hex ('-' for none),
    // padded with EE to 16 bytes.
    std::istringstream table(
        // Ethernet: a length, a type.
        "4 1 00000000000000000000000005DC -> 2 2 0; 4 1 00000000000000000000000005DD -> 1 2 0;"
        // The first byte of an IPv4 header.
        "4 0 45 -> 1 3 0; 4 0 FF -> 1 3 0; 4 0 44 -> 0 -1 0;"
        // ARP reply, request with hardware 6, RARP reply and request; near misses.
        "4 0 0001080006040002 -> 2 3 0; 4 0 0006080006040001 -> 2 3 0;"
        "4 0 0006080000000004 -> 3 3 0; 4 0 0001080000000003 -> 3 3 0;"
        "4 0 0101080006040001 -> 0 -1 0; 4 0 0001080000000005 -> 0 -1 0;"
        "4 0 0001080000000101 -> 0 -1 0; 4 0 0002080000000001 -> 0 -1 0;"
        "4 0 000186DD00000001 -> 0 -1 0;"
        // HDLC protocol fields, and the frame with its header; raw IP.
        "5 0 0021 -> 0x0021 3 2; 5 0 C021 -> 0xC021 3 2; 5 0 8035 -> 0x8035 3 2;"
        "5 0 FF03 -> 0 -1 0; 5 1 0021 -> 9 2 0; 129 0 00 -> 1 3 0; 129 1 00 -> 1 3 0;"
        // 802.3 with its header, Novell raw and LLC; media named by the link type
        // alone, with their headers and without.
        "0 1 FFFF -> 2 2 0; 0 0 FFFF -> 6 3 0; 0 0 FFFE -> 7 2 0; 1 1 - -> 4 2 0;"
        "2 1 - -> 3 2 0; 3 1 - -> 5 2 0; 8 1 - -> 6 2 0; 1 0 - -> 7 2 0; 8 0 - -> 7 2 0;"
        // Unknown link types; only bit 0 of the options counts.
        "6 1 - -> 0 -1 0; 130 1 - -> 0 -1 0; -1 1 - -> 0 -1 0; 130 0 - -> 7 2 0;"
        "4 0xFFFFFFFE 45 -> 1 3 0;");
    int rows = 0;
    for (std::string c; std::getline(table, c, ';'); ++rows) {
        int32_t link, id, want_layer, want_skip, layer = 99, skip = 99;
        long opts;
        char hex[40];
        ASSERT_EQ(std::sscanf(c.c_str(), "%i %li %39s -> %i %i %i", &link, &opts, hex, &id,
                              &want_layer, &want_skip),
                  6)
            << c;
        int32_t got = nif_proto_id(link, padded(hex).data(), &layer, &skip, uint32_t(opts));
        EXPECT_EQ((std::vector{got, layer, skip}), (std::vector{id, want_layer, want_skip})) << c;
    }
    EXPECT_EQ(rows, 35);
    // Media without a type field never read the frame.
    int32_t layer, skip;
    for (int32_t link : {1, 2, 3, 8, 129})
        for (uint32_t opts : {0u, 1u})
            EXPECT_NE(nif_proto_id(link, nullptr, &layer, &skip, opts), 0) << link;
}

// The records of the walk over the first `len` bytes (all when negative), one
// "layer.id@offset:avail/header" a record.
std::string walk(const Bytes &frame, int32_t link, uint32_t opts, int32_t len = -1)
{
    len = len < 0 ? static_cast<int32_t>(frame.size()) : len;
    int32_t layer, skip;
    int32_t proto = nif_proto_id(link, frame.data(), &layer, &skip, opts);
    zeriza::hdr_rec recs[zeriza::kMaxRecords];
    int n = zeriza::walk_headers(frame.data(), len - skip, layer, proto, recs);
    std::string out;
    for (int i = 0; i < n; ++i)
        out += (i ? " " : "") + std::to_string(recs[i].layer) + "." +
               std::to_string(recs[i].proto_id) + "@" +
               std::to_string(recs[i].start - frame.data()) + ":" + std::to_string(recs[i].avail) +
               "/" + std::to_string(recs[i].hdr_len);
    return out;
}

// The dissection rows of tests/dissect.h check the walk of Ethernet frames
// through their verdicts on every cut; these are the frames and the link
// types they do not cover.
TEST(Walk, RecordsOfEachKindOfFrameUpToThirty)
{
    const Bytes tcp54 = eth_ip(6).tcp(1024, 80).bytes(),
                novell = Frame().ieee8023(mac(1), mac(2)).raw({0xFF, 0xFF}).fill(28).bytes(),
                hdlc = Frame().raw({0x00, 0x21}).fill(40).bytes();
    const struct {
        Bytes frame;
        const char *recs;
        int32_t len = -1, link = NIF_LINK_ETHER;
        uint32_t opts = NIF_OPT_LINKHDR;
    } cases[] = {
        {tcp54, "2.1@0:54/14 3.1@14:40/20 4.6@34:20/20"},
        {novell, "2.2@0:44/14 3.6@14:30/30"},
        {Frame().eth(mac(1), mac(2), 0x86DD).ipv6_stub(6).bytes(), "2.1@0:54/14"},
        {eth_ip(1).icmp(8, 0).fill(8).bytes(), "2.1@0:50/14 3.1@14:36/20 4.1@34:16/16"},
        {hdlc, "3.33@0:40/40", -1, 5, 0},
        {hdlc, "2.9@0:42/7", -1, 5},
        {Frame().raw({0xFE, 0xFE, 0x03, 0xCC}).ipv4(kA, kB, 17).udp(7, 7).bytes(),
         "2.7@0:32/4 3.1@4:28/20 4.17@24:8/8", -1, 0, 0},
        {Frame().raw({0xFE, 0xFE, 0x03, 0x80}).snap(0, 0x0806).fill(28).bytes(),
         "2.7@0:37/4 2.8@4:33/5 3.2@9:28/28", -1, 0, 0},
        {Frame().llc(0xE0, 0xE0).fill(30).bytes(), "2.7@0:33/3 3.6@3:30/30", -1, 0, 0},
        {Frame().llc(0x42, 0x42).fill(10).bytes(), "2.7@0:13/3", -1, 0, 0},
        {Frame().llc(0xE0, 0xE0, 0x04).fill(10).bytes(), "2.7@0:13/3", -1, 0, 0}, // not IPX
        {Bytes(novell.begin() + 14, novell.end()), "3.6@0:30/30", -1, 0, 0},
        {Frame().ipv4(kA, kB, 17).udp(1, 2).bytes(), "3.1@0:28/20 4.17@20:8/8", -1, 129, 0},
        {Bytes(tcp54.begin() + 14, tcp54.end()), "3.1@0:40/20 4.6@20:20/20", -1, 4, 0},
        {padded("01"), "-1.0@0:16/16", -1, 4, 0},
        // Short data ends the walk with a record of what is left.
        {tcp54, "", 0},
        {tcp54, "2.1@0:13/13", 13},
        {tcp54, "2.1@0:14/14", 14},
        {hdlc, "", 2, 5, 0}, // nothing after the skip
        {hdlc, "3.33@0:1/1", 3, 5, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(walk(c.frame, c.link, c.opts, c.len), c.recs) << c.link << ", " << c.len;
    // The walk ends after 30 records. 802.3 / LLC / SNAP(bridged) repeated: three records a round.
    Frame f;
    for (int i = 0; i < 12; ++i)
        f.ieee8023(mac(1), mac(2)).llc(0xAA, 0xAA).snap(0x0080C2, 0x0007);
    Bytes b = f.fill(20).bytes();
    std::string recs = walk(b, 4, 1), last = " 2.8@215:" + std::to_string(b.size() - 215) + "/5";
    EXPECT_EQ(std::count(recs.begin(), recs.end(), '@'), 30);
    EXPECT_EQ(recs.substr(recs.size() - last.size()), last);
}

} // namespace
