// The link types the tool reads and captures on, and how a frame of each is
// given to the matcher, so that every rule of the language works on it as
// on Ethernet: Ethernet frames as they are; raw IP, and IP over BSD
// loopback, as IPv4 packets under the library's raw-IPv4 code (anything
// else under a code that identifies nothing, so that an IPv6 packet is never
// taken for IPv4); Linux cooked frames as the Ethernet frame their cooked
// header describes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ztool {

enum class Link {
    Ethernet, // EN10MB
    RawIp,    // RAW, IPV4: the frame is an IP packet
    Null,     // NULL: a 4-byte address family in the writer's byte order
    Loop,     // LOOP: the same in network byte order
    Cooked,   // LINUX_SLL: a 16-byte cooked header
    Cooked2,  // LINUX_SLL2: a 20-byte cooked header
};

// The link of a pcap link type (DLT), or none when it is not supported.
std::optional<Link> link_of(int dlt);

// "LINUX_SLL (113)": a link type as messages name it.
std::string link_name(int dlt);

// "capture x.pcap: unsupported link type PPP (9); supported: ...", for a
// source ("capture x.pcap", "interface lo") of a link type the tool cannot read.
std::string unsupported_link(const std::string &source, int dlt);

// The supported link types, for --help and messages.
extern const char *const kSupportedLinks;

// The library's link-type code the frames of a link are matched under
// (NIF_LINK_ETHER or NIF_LINK_RAWIP), as the log records it.
int32_t link_code(Link link);

// What the matcher is given for one frame.
struct MatchInput {
    const uint8_t *frame; // at least 16 readable bytes
    int32_t len;
    int32_t link_type;
    uint32_t opts;
};

// The room `present` may need for a frame of `caplen` bytes.
constexpr uint32_t view_room(uint32_t caplen)
{
    return caplen > 16 ? caplen : 16;
}

// The frame as the matcher must see it: the frame itself, a part of it, or
// a copy built in `view` (view_room(caplen) bytes): the Ethernet view of a
// cooked frame, or a frame shorter than 16 bytes followed by zeros.
MatchInput present(Link link, const uint8_t *data, uint32_t caplen, uint8_t *view);

} // namespace ztool
