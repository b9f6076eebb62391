// What the filter compiler tells its caller: the exact one-line message left
// in gnl_usrmsg for every way filter text can be refused, the texts it must
// accept, and the host:port short form with its expansions and refusals.
//
// Messages are part of the interface: capture programs show them to the
// operator as they are, and scripts around those programs match on them. So
// every expected message below is written out in full, quoting rules
// included: at most 20 characters of text, then "...".
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support.h"
#include "zeriza.h"
#include "zeriza_host.h"

namespace {

using zeriza_test::nest;

struct Refusal {
    const char *text;
    const char *message;
};

constexpr int kUntouched = -7777;

// Compile `text`, which must be refused with exactly `message`; `size` must
// not be written and the caller's text must come back unchanged.
void expect_refused(const std::string &text, const std::string &message)
{
    SCOPED_TRACE("filter '" + text + "'");
    std::string copy = text;
    std::strcpy(gnl_usrmsg, "stale message from an earlier call");
    int size = kUntouched;
    filt_node *f = nif_filt_parse(copy.c_str(), &size);
    EXPECT_EQ(f, nullptr);
    nif_filt_free(f);
    EXPECT_EQ(size, kUntouched) << "size written by a failed compilation";
    EXPECT_STREQ(gnl_usrmsg, message.c_str());
    EXPECT_EQ(copy, text) << "the caller's text was changed";
}

void expect_all_refused(const std::vector<Refusal> &cases)
{
    for (const auto &c : cases)
        expect_refused(c.text, c.message);
}

// Compile `text`, which must be accepted; returns its bytes (empty when
// refused, after reporting the failure).
std::string compiled_bytes(const std::string &text)
{
    int size = kUntouched;
    filt_node *f = nif_filt_parse(text.c_str(), &size);
    if (!f) {
        ADD_FAILURE() << "'" << text << "' refused: " << gnl_usrmsg;
        return {};
    }
    EXPECT_GT(size, 0) << text;
    EXPECT_EQ(size % NIF_NODE_SIZE, 0) << text;
    std::string bytes(reinterpret_cast<const char *>(f), size > 0 ? size : 0);
    nif_filt_free(f);
    return bytes;
}

// ---- grammar -----------------------------------------------------------------

TEST(ParseMessages, PrematureEnd)
{
    // Nothing to quote: the position is the end of the text.
    expect_all_refused({
        {"", "rule terminated prematurely, at {...}"},
        {"   ", "rule terminated prematurely, at {...}"},
        {"()", "rule terminated prematurely, at {...}"},
        {"( )", "rule terminated prematurely, at {...}"},
        {"^", "rule terminated prematurely, at {...}"},
        {"^   ", "rule terminated prematurely, at {...}"},
        {"(TCP) &", "rule terminated prematurely, at {...}"},
        {"(TCP) |  ", "rule terminated prematurely, at {...}"},
        {"(TCP) | ^", "rule terminated prematurely, at {...}"},
        {"(TCP) & ()", "rule terminated prematurely, at {...}"},
    });
}

TEST(ParseMessages, MisplacedRules)
{
    expect_all_refused({
        // A complete rule can only be followed by '&', '|' or the end.
        {"(TCP) (UDP)", "misplaced start-of-rule, at {(UDP)...}"},
        {"(TCP)(UDP)", "misplaced start-of-rule, at {(UDP)...}"},
        {"(TCP) UDP", "misplaced start-of-rule, at {UDP...}"},
        {"(TCP)   udp SD=80", "misplaced start-of-rule, at {udp SD=80...}"},
        // Operands of a Boolean must be bracketed. The bracket count is looked
        // at before the word, so an unknown word gets the same message.
        {"(TCP) & UDP", "subrule not in parentheses, at {UDP...}"},
        {"(TCP) | ^UDP", "subrule not in parentheses, at {UDP...}"},
        {"(TCP) | FOO", "subrule not in parentheses, at {FOO...}"},
        {"^^TCP", "misplaced Negation, at {^TCP...}"},
        {"^ ^(TCP)", "misplaced Negation, at {^(TCP)...}"},
        {"(TCP) ^(UDP)", "misplaced Negation, at {^(UDP)...}"},
        {"& (TCP)", "misplaced Boolean, '&', at {& (TCP)...}"},
        {"| (TCP)", "misplaced Boolean, '|', at {| (TCP)...}"},
        {"(TCP) | | (UDP)", "misplaced Boolean, '|', at {| (UDP)...}"},
        {"(TCP) & ^& (UDP)", "misplaced Boolean, '&', at {& (UDP)...}"},
        {"^|", "misplaced Boolean, '|', at {|...}"},
    });
}

TEST(ParseMessages, BooleansDoNotMixAtOneLevel)
{
    expect_all_refused({
        {"(TCP) | (UDP) & (ARP)", "conflicting Boolean, '&', at {& (ARP)...}"},
        {"(TCP) & (UDP) | (ARP)", "conflicting Boolean, '|', at {| (ARP)...}"},
        {"(TCP) & (UDP) & (ARP) | (IP)", "conflicting Boolean, '|', at {| (IP)...}"},
        // Inside a bracket the quote stops where the bracket closed.
        {"((TCP) | (UDP) & (ARP)) | (IP)", "conflicting Boolean, '&', at {& (ARP)...}"},
    });
}

TEST(ParseMessages, Brackets)
{
    expect_all_refused({
        {"(", "Unterminated bracket, at {(...}"},
        {"(TCP", "Unterminated bracket, at {(TCP...}"},
        {"((TCP)", "Unterminated bracket, at {((TCP)...}"},
        {"(TCP) | (UDP", "Unterminated bracket, at {(UDP...}"},
        {"((TCP) | (UDP) & (ARP)", "Unterminated bracket, at {((TCP) | (UDP) & (AR...}"},
        {")", "invalid operator, ')', at {)...}"},
        {"(TCP))", "invalid operator, ')', at {)...}"},
        {"(TCP)) | (UDP)", "invalid operator, ')', at {) | (UDP)...}"},
        {"!TCP", "invalid operator, '!', at {!TCP...}"},
        {"#6", "invalid operator, '#', at {#6...}"},
        {"(TCP) , (UDP)", "invalid operator, ',', at {, (UDP)...}"},
        {"(TCP) | (UDP) ; (ARP)", "invalid operator, ';', at {; (ARP)...}"},
    });
}

TEST(ParseMessages, Keywords)
{
    expect_all_refused({
        {"FOO", "unrecognised keyword, at {FOO...}"},
        {"^Foo", "unrecognised keyword, at {Foo...}"},
        // ':' and digits belong to keywords, so these are single unknown words.
        {"IP:6", "unrecognised keyword, at {IP:6...}"},
        {"tcp:80", "unrecognised keyword, at {tcp:80...}"},
        {"(TCP) & (FOO BAR)", "unrecognised keyword, at {FOO BAR...}"},
        // Exactly 20 characters are shown whole; a 21st is cut.
        {"FOOBARBAZQUUXFOOBARB", "unrecognised keyword, at {FOOBARBAZQUUXFOOBARB...}"},
        {"FOOBARBAZQUUXFOOBARBA", "unrecognised keyword, at {FOOBARBAZQUUXFOOBARB...}"},
        // After a protocol, everything up to the end is its parameter list.
        {"TCP & UDP", "unrecognised keyword, at {& UDP...}"},
        {"TCP | (UDP)", "unrecognised keyword, at {| (UDP)...}"},
        {"TCP 80", "unrecognised keyword, at {80...}"},
        {"TCP)", "unrecognised keyword, at {)...}"},
        {"TCP#6", "unrecognised keyword, at {#6...}"},
        {"TCP FOO=1", "unrecognised keyword, at {FOO=1...}"},
        {"TCP SRC:80", "unrecognised keyword, at {SRC:80...}"},
        {"TCP ABCDEFGHIJKLMNOPQRSTUVWXYZ=1", "unrecognised keyword, at {ABCDEFGHIJKLMNOPQRST...}"},
        {"TCP SRC=80 =81", "unrecognised keyword, at {=81...}"},
        // No blank may stand between '^' and the parameter it negates.
        {"TCP ^ SRC=80", "unrecognised keyword, at { SRC=80...}"},
        {"TCP ^^SRC=80", "unrecognised keyword, at {^SRC=80...}"},
        {"TCP ^", "unrecognised keyword, at {...}"},
    });
}

TEST(ParseMessages, RuleStartsWithAParameter)
{
    // The keyword is named from its token, whatever case the text used; the
    // quote starts after the blanks that follow the word.
    expect_all_refused({
        {"SRC=1.2.3.4", "invalid protocol=SRC, at {=1.2.3.4...}"},
        {"src = 1.2.3.4", "invalid protocol=SRC, at {= 1.2.3.4...}"},
        {"sd:2=80", "invalid protocol=SD:2, at {=80...}"},
        {"LEN>5", "invalid protocol=LEN, at {>5...}"},
        {"^F", "invalid protocol=F, at {...}"},
        {"(TCP) | (Etype=2048)", "invalid protocol=ETYPE, at {=2048...}"},
    });
}

TEST(ParseMessages, NumberedIpProtocol)
{
    expect_all_refused({
        // The protocol must follow the '#' directly.
        {"IP# 6", "invalid protocol-id, after 'IP:' { 6...}"},
        {"IP#", "invalid protocol-id, after 'IP:' {...}"},
        {"ip #(6)", "invalid protocol-id, after 'IP:' {(6)...}"},
        // Not a number, so a protocol name, and not a known one. Only the
        // word is quoted, not what follows it.
        {"IP#nosuchproto", "Invalid IP protocol (nosuchproto...)"},
        {"IP#6x LEN=1", "Invalid IP protocol (6x...)"},
        {"IP#abcdefghijklmnopqrstuvwxyz", "Invalid IP protocol (abcdefghijklmnopqrst...)"},
    });
}

TEST(ParseMessages, NegatedProtocolTakesNoParameters)
{
    expect_all_refused({
        {"^TCP SRC=80", "parameters supplied for a negated rule, at {SRC=80...}"},
        {"^ tcp   junk", "parameters supplied for a negated rule, at {junk...}"},
        {"(TCP) | (^UDP SD=53)", "parameters supplied for a negated rule, at {SD=53...}"},
    });
}

TEST(ParseMessages, MissingRelop)
{
    expect_all_refused({
        {"TCP SRC", "expected relop, got {...}"},
        {"TCP SRC 80", "expected relop, got {80...}"},
        {"TCP SRC!=80", "expected relop, got {!=80...}"},
        {"(TCP DST) | (UDP)", "expected relop, got {...}"},
    });
}

// ---- parameter checks (messages with the " [at {...}]" suffix) --------------

TEST(ParseMessages, ParameterNotAllowedForProtocol)
{
    expect_all_refused({
        {"UDP F=S", "invalid param for protocol=UDP [at {F=S...}]"},
        // Both keywords are named from their tokens.
        {"udp f=S", "invalid param for protocol=UDP [at {F=S...}]"},
        {"ARP SRC=1.2.3.4", "invalid param for protocol=ARP [at {SRC=1.2.3.4...}]"},
        {"RARP DLEN=5", "invalid param for protocol=RARP [at {DLEN=5...}]"},
        {"IPX HLEN=5", "invalid param for protocol=IPX [at {HLEN=5...}]"},
        {"IGMP SD=1", "invalid param for protocol=IGMP [at {SD=1...}]"},
        {"IGMP HLEN=8", "invalid param for protocol=IGMP [at {HLEN=8...}]"},
        {"OSPF DLEN=8", "invalid param for protocol=OSPF [at {DLEN=8...}]"},
        {"OSPF TYPE=1", "invalid param for protocol=OSPF [at {TYPE=1...}]"},
        {"ICMP SRC=1", "invalid param for protocol=ICMP [at {SRC=1...}]"},
        {"SNAP HLEN=1", "invalid param for protocol=SNAP [at {HLEN=1...}]"},
        {"LLC HLEN=14", "invalid param for protocol=LLC [at {HLEN=14...}]"},
        {"802.3 ETYPE=2048", "invalid param for protocol=802.3 [at {ETYPE=2048...}]"},
        {"ETH C=3", "invalid param for protocol=ETH [at {C=3...}]"},
        {"IP CODE=1", "invalid param for protocol=IP [at {CODE=1...}]"},
        {"TCP ORG=1", "invalid param for protocol=TCP [at {ORG=1...}]"},
        {"UDP C=1", "invalid param for protocol=UDP [at {C=1...}]"},
        {"ARP SD:2=1", "invalid param for protocol=ARP [at {SD:2=1...}]"},
        // The numbered form has no protocol row: LEN only.
        {"IP#6 SRC=1.2.3.4", "invalid param for protocol=<-1> [at {SRC=1.2.3.4...}]"},
        {"IP#6 HLEN=20", "invalid param for protocol=<-1> [at {HLEN=20...}]"},
        // A protocol keyword where a parameter belongs.
        {"TCP UDP=5", "invalid param for protocol=TCP [at {UDP=5...}]"},
        {"tcp ip = 5", "invalid param for protocol=TCP [at {IP=5...}]"},
        // The value is quoted from its start, not cut at its end.
        {"TCP SRC=80 DST=81 ETYPE=5 HLEN=5",
         "invalid param for protocol=TCP [at {ETYPE=5 HLEN=5...}]"},
    });
}

TEST(ParseMessages, DuplicateParameter)
{
    expect_all_refused({
        {"TCP SRC=80 SRC=81", "Duplicate 'SRC' parameter [at {SRC=81...}]"},
        {"tcp src=80 Src = 81", "Duplicate 'SRC' parameter [at {SRC=81...}]"},
        {"TCP SRC=80 SRC=81 HLEN=5", "Duplicate 'SRC' parameter [at {SRC=81 HLEN=5...}]"},
        {"IP LEN>1 LEN<5", "Duplicate 'LEN' parameter [at {LEN<5...}]"},
        {"IP#6 LEN>1 LEN<5", "Duplicate 'LEN' parameter [at {LEN<5...}]"},
        {"TCP F=S F=A", "Duplicate 'F' parameter [at {F=A...}]"},
        {"ICMP TYPE=3 CODE=1 TYPE=5", "Duplicate 'TYPE' parameter [at {TYPE=5...}]"},
        // The duplicate check comes before the relop check.
        {"IP SRC=1.2.3.4 SRC<5.6.7.8", "Duplicate 'SRC' parameter [at {SRC<5.6.7.8...}]"},
        // SD:2 is checked as SRC, then as DST; the suffix still says SD:2.
        {"TCP SD:2=1 SD:2=2", "Duplicate 'SRC' parameter [at {SD:2=2...}]"},
        {"TCP SRC=1 SD:2=2", "Duplicate 'SRC' parameter [at {SD:2=2...}]"},
        {"TCP DST=1 SD:2=2", "Duplicate 'DST' parameter [at {SD:2=2...}]"},
    });
}

TEST(ParseMessages, ConflictingParameters)
{
    // The earlier parameter is named first; with several earlier conflicts,
    // the first one on the later parameter's list wins.
    expect_all_refused({
        {"TCP SD=80 SRC=81", "'SD' and 'SRC' in same rule [at {SRC=81...}]"},
        {"TCP SRC=80 SD=81", "'SRC' and 'SD' in same rule [at {SD=81...}]"},
        {"TCP DST=1 SRC=2 SD=3", "'SRC' and 'SD' in same rule [at {SD=3...}]"},
        {"TCP DST=1 SD:1=2", "'DST' and 'SD:1' in same rule [at {SD:1=2...}]"},
        {"UDP SD:1=1 DST=2", "'SD:1' and 'DST' in same rule [at {DST=2...}]"},
        {"IP SD=1.2.3.4 SD:1=5.6.7.8", "'SD' and 'SD:1' in same rule [at {SD:1=5.6.7.8...}]"},
        {"TCP SD=1 SD:2=2", "'SD' and 'SRC' in same rule [at {SD:2=2...}]"},
        {"TCP SD:1=1 SD:2=2", "'SD:1' and 'SRC' in same rule [at {SD:2=2...}]"},
        {"TCP SD:2=1 SD=2", "'SRC' and 'SD' in same rule [at {SD=2...}]"},
        {"ETH SD:2=B SD:1=M", "'SRC' and 'SD:1' in same rule [at {SD:1=M...}]"},
    });
}

TEST(ParseMessages, RelopNotAllowed)
{
    expect_all_refused({
        {"TCP F<S", "'=' is only valid relop for 'F' parameters [at {F<S...}]"},
        {"IP F>F", "'=' is only valid relop for 'F' parameters [at {F>F...}]"},
        {"ETH ETYPE>2048", "'=' is only valid relop for 'ETYPE' parameters [at {ETYPE>2048...}]"},
        {"ICMP TYPE<3", "'=' is only valid relop for 'TYPE' parameters [at {TYPE<3...}]"},
        {"ICMP TYPE=3 code>1", "'=' is only valid relop for 'CODE' parameters [at {CODE>1...}]"},
        {"LLC C>3", "'=' is only valid relop for 'C' parameters [at {C>3...}]"},
        {"SNAP ORG<5", "'=' is only valid relop for 'ORG' parameters [at {ORG<5...}]"},
        // Addresses of ETH, 802.3, LLC and IP compare for equality only.
        {"IP SRC<1.2.3.4", "'=' is only valid relop for IP 'SRC' parameter [at {SRC<1.2.3.4...}]"},
        {"ip dst > 1.2.3.4",
         "'=' is only valid relop for IP 'DST' parameter [at {DST>1.2.3.4...}]"},
        {"IP SD:2<10.0.0.0/8",
         "'=' is only valid relop for IP 'SRC' parameter [at {SD:2<10.0.0.0/8...}]"},
        {"ETH SRC<B", "'=' is only valid relop for ETH 'SRC' parameter [at {SRC<B...}]"},
        {"802.3 SD>M", "'=' is only valid relop for 802.3 'SD' parameter [at {SD>M...}]"},
        {"LLC SD:1>5", "'=' is only valid relop for LLC 'SD:1' parameter [at {SD:1>5...}]"},
    });
}

// ---- values --------------------------------------------------------------------

TEST(ValueMessages, Lengths)
{
    // Quoted from the value's start, running on past its end.
    expect_all_refused({
        {"IP LEN>abc", "expected numeric parameter, at {abc...}"},
        {"IP LEN=1x HLEN=5", "expected numeric parameter, at {1x HLEN=5...}"},
        {"TCP HLEN<", "expected numeric parameter, at {...}"},
        {"UDP DLEN=-1", "expected numeric parameter, at {-1...}"},
        {"(IP LEN=x) | (TCP)", "expected numeric parameter, at {x...}"},
        {"(TCP) | (UDP SD=80 HLEN=abc)", "expected numeric parameter, at {abc...}"},
        {"ARP HLEN=abcdefghijklmnopqrstuvwxyz",
         "expected numeric parameter, at {abcdefghijklmnopqrst...}"},
    });
}

TEST(ValueMessages, Addresses)
{
    expect_all_refused({
        // These quote the value alone.
        {"ETH SRC=zz HLEN=5", "Invalid/unknown ethernet address [zz...]"},
        {"802.3 DST=1:2:3:4:5", "Invalid/unknown ethernet address [1:2:3:4:5...]"},
        {"ETH SD:2=BB", "Invalid/unknown ethernet address [BB...]"},
        {"LLC SRC=256", "LLC Address must be numeric, in range 0-255"},
        {"LLC DST=abc", "LLC Address must be numeric, in range 0-255"},
        {"LLC SD:2=-1", "LLC Address must be numeric, in range 0-255"},
        // Too big for 32 bits: must not wrap round into range.
        {"LLC SD=4294967296", "LLC Address must be numeric, in range 0-255"},
        {"IP SRC=10.0.0.0/0", "IP Address mask must be numeric, in range 1-32 {0...}"},
        {"IP SRC=10.0.0.0/33", "IP Address mask must be numeric, in range 1-32 {33...}"},
        {"IP DST=10.0.0.0/x", "IP Address mask must be numeric, in range 1-32 {x...}"},
        {"IP SD=10.0.0.0/", "IP Address mask must be numeric, in range 1-32 {...}"},
        {"IP SD:2=10.0.0.0/-8 HLEN=5", "IP Address mask must be numeric, in range 1-32 {-8...}"},
        // Neither dotted nor a host name; the prefix is cut off the quote.
        {"IP SRC=1.2.3.4.5", "Invalid/unknown host/network spec [1.2.3.4.5...]"},
        {"IP DST=256.1.1.1/8 HLEN=5", "Invalid/unknown host/network spec [256.1.1.1...]"},
    });
}

TEST(ValueMessages, Ports)
{
    expect_all_refused({
        {"TCP SRC=nosuchsvc", "Invalid tcp protocol (nosuchsvc...)"},
        // telnet is a TCP service only, tftp a UDP service only.
        {"UDP DST=telnet", "Invalid udp protocol (telnet...)"},
        {"TCP DST=tftp HLEN=5", "Invalid tcp protocol (tftp...)"},
        // The name is lowered before the lookup.
        {"UDP SD:2=NoSuchSvc", "Invalid udp protocol (nosuchsvc...)"},
        {"TCP SD=abcdefghijklmnopqrstuvwxyz", "Invalid tcp protocol (abcdefghijklmnopqrst...)"},
        {"TCP SRC==80", "Invalid tcp protocol (=80...)"},
    });
}

TEST(ValueMessages, NumericFields)
{
    expect_all_refused({
        {"ETH ETYPE=65536", "Eth-Type must be numeric, in range 0-65535"},
        {"SNAP ETYPE=0x800", "Eth-Type must be numeric, in range 0-65535"},
        {"ETH ETYPE=99999999999999999999", "Eth-Type must be numeric, in range 0-65535"},
        {"ETH ETYPE=4294969344", "Eth-Type must be numeric, in range 0-65535"},
        {"LLC C=256", "LLC Control must be numeric, in range 0-255"},
        {"LLC C=x", "LLC Control must be numeric, in range 0-255"},
        {"LLC C=4294967299", "LLC Control must be numeric, in range 0-255"},
        {"SNAP ORG=16777216", "SNAP Org must be numeric, in range 0-16777215"},
        {"SNAP ORG=-1", "SNAP Org must be numeric, in range 0-16777215"},
    });
}

TEST(ValueMessages, Icmp)
{
    expect_all_refused({
        // The name is shown whole and as written.
        {"ICMP TYPE=bogus", "Unrecognised ICMP type, bogus, try using numeric code"},
        {"ICMP TYPE=Echoes HLEN=8", "Unrecognised ICMP type, Echoes, try using numeric code"},
        {"ICMP TYPE=-1", "Unrecognised ICMP type, -1, try using numeric code"},
        {"ICMP TYPE=abcdefghijklmnopqrstuvwxyz0123",
         "Unrecognised ICMP type, abcdefghijklmnopqrstuvwxyz0123, try using numeric code"},
        // A code needs a non-zero type before it; the quote is what follows
        // the value, from the blank that ended it.
        {"ICMP CODE=1", "ICMP code must be qualified by type {...}"},
        {"ICMP CODE=1 HLEN=5", "ICMP code must be qualified by type { HLEN=5...}"},
        {"ICMP CODE=3 TYPE=3", "ICMP code must be qualified by type { TYPE=3...}"},
        {"(ICMP CODE=net) | (TCP)", "ICMP code must be qualified by type {...}"},
        {"ICMP TYPE=echorep CODE=0", "ICMP code must be qualified by type {...}"},
        {"ICMP TYPE=0 CODE=0", "ICMP code must be qualified by type {...}"},
        // Code names belong to their type.
        {"ICMP TYPE=8 CODE=foo", "Unrecognised ICMP code, foo, try using numeric code"},
        {"ICMP TYPE=5 CODE=port", "Unrecognised ICMP code, port, try using numeric code"},
        {"ICMP TYPE=8 CODE=net", "Unrecognised ICMP code, net, try using numeric code"},
        {"ICMP TYPE=11 CODE=host", "Unrecognised ICMP code, host, try using numeric code"},
        {"ICMP TYPE=unreach CODE=Needfragment DLEN=5",
         "Unrecognised ICMP code, Needfragment, try using numeric code"},
    });
}

TEST(ValueMessages, Flags)
{
    expect_all_refused({
        {"TCP F=^^S", "duplicate negation, at {^S...}"},
        {"IP F=^^F", "duplicate negation, at {^F...}"},
        // The quote is what follows the whole value.
        {"TCP F=S^", "dangling negation in 'F' param, at {...}"},
        {"TCP F=S^ DST=80", "dangling negation in 'F' param, at { DST=80...}"},
        {"IP F=^", "dangling negation in 'F' param, at {...}"},
        {"(IP F=F^) | (TCP)", "dangling negation in 'F' param, at {...}"},
        {"IP F=X", "unrecognised IP flag, at {X...}"},
        {"IP F=F^G", "unrecognised IP flag, at {G...}"},
        {"IP F=S", "unrecognised IP flag, at {S...}"},
        {"IP F=*", "unrecognised IP flag, at {*...}"},
        {"TCP F=SX", "unrecognised TCP flag, at {X...}"},
        {"TCP F=S^A1", "unrecognised TCP flag, at {1...}"},
        {"(TCP F=SX) | (UDP)", "unrecognised TCP flag, at {X...}"},
        {"TCP F=*S", "'*' must be last TCP flag {*S...}"},
        {"TCP F=S^A*P", "'*' must be last TCP flag {*P...}"},
        {"TCP F=**", "'*' must be last TCP flag {**...}"},
        // One flag of the same sign before '*' is allowed; two are not.
        {"TCP F=AS*", "Meaningless to combine positive individual TCP flags with '*', {*...}"},
        {"TCP F=s^Ra*", "Meaningless to combine positive individual TCP flags with '*', {*...}"},
        {"TCP F=^A^S^*", "Meaningless to combine negative individual TCP flags with '^*', {*...}"},
        {"TCP F=S^a^r^*", "Meaningless to combine negative individual TCP flags with '^*', {*...}"},
        // The letter is shown upper-cased, then what follows the whole value.
        {"TCP F=S^S", "TCP flag, 'S', specified twice {...}"},
        {"TCP F=s^s", "TCP flag, 'S', specified twice {...}"},
        {"TCP F=^AA DST=80", "TCP flag, 'A', specified twice { DST=80...}"},
        {"TCP F=SS", "Duplicate TCP flag, 'S', at {...}"},
        {"TCP F=uu", "Duplicate TCP flag, 'U', at {...}"},
        {"TCP F=^r^R", "Duplicate TCP flag, 'R', at {...}"},
        {"TCP F=SS^A DST=80", "Duplicate TCP flag, 'S', at { DST=80...}"},
    });
}

TEST(ValueMessages, LongValueIsCutToTheBuffer)
{
    // These two messages show the whole value, which can be longer than the
    // message buffer: the message must be cut there, not written past it.
    const std::string name(2000, 'x');
    struct Long {
        std::string text;
        std::string full;
    } cases[] = {
        {"ICMP TYPE=" + name, "Unrecognised ICMP type, " + name + ", try using numeric code"},
        {"ICMP TYPE=3 CODE=" + name + " HLEN=5",
         "Unrecognised ICMP code, " + name + ", try using numeric code"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 30));
        int size = kUntouched;
        EXPECT_EQ(nif_filt_parse(c.text.c_str(), &size), nullptr);
        EXPECT_EQ(size, kUntouched);
        ASSERT_EQ(std::strlen(gnl_usrmsg), static_cast<size_t>(GNL_USRMSG_SIZE - 1));
        EXPECT_EQ(std::string(gnl_usrmsg), c.full.substr(0, GNL_USRMSG_SIZE - 1));
    }
}

// ---- bracket depth -------------------------------------------------------------

TEST(ParseMessages, BracketDepthLimit)
{
    // The inner rule is longer than the quote, so the quote is the same
    // whether or not the closing bracket has been cut off yet.
    const std::string rule = "TCP SD=80 HLEN=20 DLEN=30";
    const std::string too_deep =
        "brackets nested too deeply (limit 64), at {(TCP SD=80 HLEN=20 D...}";

    EXPECT_FALSE(compiled_bytes(nest(64, rule)).empty());
    EXPECT_FALSE(compiled_bytes(nest(64, rule, "^(")).empty());
    // Depth is counted along one path, not over the whole filter.
    EXPECT_FALSE(compiled_bytes("(" + nest(63, "TCP") + ") | (" + nest(63, "UDP") + ")").empty());
    EXPECT_FALSE(compiled_bytes(nest(32, nest(32, rule) + " & " + nest(32, rule))).empty());

    expect_refused(nest(65, rule), too_deep);
    expect_refused(nest(65, rule, "^("), too_deep);
    expect_refused("(TCP) | " + nest(65, rule), too_deep);
    // The quote starts at the 65th '(', not at the innermost one.
    expect_refused(nest(100, rule),
                   "brackets nested too deeply (limit 64), at {((((((((((((((((((((...}");
}

// ---- accepted texts ------------------------------------------------------------

TEST(ParseAccepts, ValidFilters)
{
    struct Accepted {
        const char *text;
        int nodes;
    } cases[] = {
        {"TCP", 1},
        {"ip", 1},
        {"(TCP)", 1},
        {"^TCP", 1},
        {"^(TCP SRC=80)", 1},
        {"^ (TCP)", 1},
        {"^(^TCP)", 1},
        {"(TCP) | (UDP)", 3},
        {"(TCP)|(UDP)", 3},
        {"( TCP ) | ( UDP )", 3},
        {"(^TCP) | (^UDP)", 3},
        {"((TCP) & (IP)) | (ARP)", 5},
        {"(TCP) & (UDP) & (ARP)", 4},
        {"((TCP) & (UDP) & (ARP)) | (IP) | ((RARP))", 7},
        {"((TCP SD=80) | (UDP SD=80)) & (IP SD=10.0.0.1)", 5},
        {"  TCP  ", 1},
        {"\tTCP\tSRC=80\tDST=81\t", 1},
        {"TCP HLEN=20 SRC=80", 1},
        {"TCP DST<1024", 1},
        {"UDP SD>1023", 1},
        {"TCP SRC = 80", 1},
        {"TCP ^SRC=80", 1},
        {"Tcp sd:1=80", 1},
        {"TCP SD=80 HLEN<20 DLEN>0 F=SA LEN=60", 1},
        {"TCP SRC=Telnet", 1},
        {"UDP SD:2=domain", 1},
        {"IP#6", 1},
        {"IP #tcp", 1},
        {"IP#6 LEN>100", 1},
        {"IP#6 ^LEN<40", 1},
        {"^IP#17", 1},
        {"IP LEN > 100", 1},
        {"IP SRC=1.2.3.4 DST=5.6.7.8", 1},
        {"IP SRC=10.1.2.3/12", 1},
        {"IP SRC=10.0.0.0/32", 1},
        {"IP SRC=10.0.0.0/1", 1},
        {"IP SD:2=10.0.0.0/8", 1},
        {"IP SD=localhost", 1},
        {"IP F=^F", 1},
        {"IP F=", 1},
        {"TCP F=S* DST=80", 1},
        {"TCP F=S*", 1},
        {"TCP F=SA^*", 1},
        {"TCP F=^R*", 1},
        {"TCP F=^A^*", 1},
        {"TCP F=S^A*", 1},
        {"TCP F=*", 1},
        {"TCP F=^*", 1},
        {"TCP F=", 1},
        {"ICMP TYPE=unreach CODE=needfrag", 1},
        {"ICMP TYPE=redir CODE=host", 1},
        {"ICMP TYPE=3 CODE=unknown-host", 1},
        {"ICMP TYPE=8 CODE=0", 1},
        {"SNAP ORG=16777215", 1},
        {"SNAP ORG=0 ETYPE=65535", 1},
        {"ETH ETYPE=2048", 1},
        {"ETH SD:2=8:0:20:1:2:3", 1},
        {"802.3 SRC=B DST=m", 1},
        {"LLC SRC=255 C=255", 1},
        {"LLC SD:2=0 C=0", 1},
        {"ARP HLEN=28 LEN<60", 1},
        {"IPX LEN>0", 1},
        {"IGMP LEN<100", 1},
        {"OSPF LEN=40", 1},
        {"RARP HLEN=28", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::string bytes = compiled_bytes(c.text);
        EXPECT_EQ(bytes.size(), static_cast<size_t>(c.nodes) * NIF_NODE_SIZE);
    }
}

TEST(ParseAccepts, FailureLeavesNothingBehind)
{
    // A refused text may leave a half-built tree and half-converted values
    // behind it; none of that may reach the next compilation.
    struct Pair {
        std::string bad;
        std::string good;
    } pairs[] = {
        {"((TCP) & (ARP)) | (UDP SD=nosuchsvc)", "((TCP) & (ARP)) | (UDP)"},
        {"ICMP TYPE=3 CODE=foo", "ICMP TYPE=3 CODE=port"},
        {"ICMP TYPE=bogus", "ICMP TYPE=echo LEN>64"},
        {"(TCP F=SS) | (IP SRC=10.1.2.3/12)", "IP SRC=10.1.2.3/12"},
        {"(TCP F=SA^) | (UDP)", "TCP F=SA"},
        {"ETH SD:2=8:0:20:1:2:3 ETYPE=x", "ETH SRC=B"},
        {nest(65, "TCP SD=80 HLEN=20 DLEN=30"), "TCP"},
        {"", "(TCP) | (UDP)"},
    };
    for (const auto &p : pairs) {
        SCOPED_TRACE(p.bad.substr(0, 40) + " then " + p.good);
        std::string alone = compiled_bytes(p.good);
        EXPECT_EQ(nif_filt_parse(p.bad.c_str(), nullptr), nullptr);
        EXPECT_EQ(compiled_bytes(p.good), alone);
    }
}

// ---- short form ----------------------------------------------------------------

std::string replace_all(std::string s, const std::string &from, const std::string &to)
{
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// Expand `input`, which must succeed; the caller's text must stay unchanged.
std::string expand(const std::string &input)
{
    std::string copy = input;
    const char *out = nif_filt_short(copy.c_str());
    EXPECT_EQ(copy, input) << "the caller's text was changed";
    if (!out) {
        ADD_FAILURE() << "'" << input << "' refused: " << gnl_usrmsg;
        return {};
    }
    return out;
}

void expect_short_refused(const std::string &input, const char *message)
{
    SCOPED_TRACE("short form '" + input.substr(0, 40) + "'");
    std::string copy = input;
    std::strcpy(gnl_usrmsg, "stale message from an earlier call");
    EXPECT_EQ(nif_filt_short(copy.c_str()), nullptr);
    EXPECT_STREQ(gnl_usrmsg, message);
    EXPECT_EQ(copy, input);
}

// On this machine's services database, 'domain' is a TCP and a UDP service,
// 'telnet' and 'www' (an alias of http) TCP only and 'tftp' UDP only.
struct Expansion {
    const char *input;
    const char *output;
    int nodes; // node count of the compiled expansion; 0: not compiled
};

// 'gate' stands for a host name that need not resolve. For the compile check
// it is replaced by 10.1.1.1, in the input and in the expected output alike.
const Expansion kExpansions[] = {
    {"10.1.1.1", "(IP SD=10.1.1.1)", 1},
    {"!10.1.1.1", "^(IP SD=10.1.1.1)", 1},
    {"gate:80", "((TCP SD=80) | (UDP SD=80)) & (IP SD=gate)", 5},
    {"gate:!80", "^((TCP SD=80) | (UDP SD=80)) & (IP SD=gate)", 5},
    {":Domain", "((TCP SD=domain) | (UDP SD=domain))", 3},
    {"!gate : telnet", "((TCP SD=telnet)) & ^(IP SD=gate)", 3},
    {"gate:", "(IP SD=gate)", 1},
    // Blanks around the ':' go, and blanks after it before the port.
    {"gate : 80", "((TCP SD=80) | (UDP SD=80)) & (IP SD=gate)", 5},
    {"gate:   domain", "((TCP SD=domain) | (UDP SD=domain)) & (IP SD=gate)", 5},
    {" : 80", "((TCP SD=80) | (UDP SD=80))", 3},
    {":80", "((TCP SD=80) | (UDP SD=80))", 3},
    {":!80", "^((TCP SD=80) | (UDP SD=80))", 3},
    {"10.1.1.1:0", "((TCP SD=0) | (UDP SD=0)) & (IP SD=10.1.1.1)", 5},
    // A service name is lowered; the host keeps its case.
    {"GaTe:TELNET", "((TCP SD=telnet)) & (IP SD=GaTe)", 0},
    {"gate:DOMAIN", "((TCP SD=domain) | (UDP SD=domain)) & (IP SD=gate)", 5},
    {":tftp", "((UDP SD=tftp))", 1},
    {"localhost:www", "((TCP SD=www)) & (IP SD=localhost)", 3},
    {"!10.1.1.1:!domain", "^((TCP SD=domain) | (UDP SD=domain)) & ^(IP SD=10.1.1.1)", 5},
    {"10.1.0.0/16:telnet", "((TCP SD=telnet)) & (IP SD=10.1.0.0/16)", 3},
    // Without a ':' the host is taken as it is, blanks and all.
    {" 10.1.1.1 ", "(IP SD= 10.1.1.1 )", 1},
};

TEST(ShortForm, Expansions)
{
    for (const auto &e : kExpansions) {
        SCOPED_TRACE(e.input);
        EXPECT_EQ(expand(e.input), e.output);
    }
}

TEST(ShortForm, ExpansionsCompile)
{
    for (const auto &e : kExpansions) {
        if (!e.nodes)
            continue;
        std::string input = replace_all(e.input, "gate", "10.1.1.1");
        std::string output = replace_all(e.output, "gate", "10.1.1.1");
        SCOPED_TRACE(input);
        std::string text = expand(input);
        EXPECT_EQ(text, output);
        std::string bytes = compiled_bytes(text);
        EXPECT_EQ(bytes.size(), static_cast<size_t>(e.nodes) * NIF_NODE_SIZE);
    }
}

TEST(ShortForm, Refusals)
{
    const char *null_expr = "filter-spec evaluated to a null expression";
    expect_short_refused("", null_expr);
    expect_short_refused(":", null_expr);
    expect_short_refused(" : ", null_expr);
    expect_short_refused(":   ", null_expr);
    expect_short_refused(":nosuch", "Unknown TCP/UDP service, 'nosuch'");
    expect_short_refused("gate:NoSuch", "Unknown TCP/UDP service, 'nosuch'");
    // Split at the first ':' only.
    expect_short_refused("gate:80:x", "Unknown TCP/UDP service, '80:x'");
    // Blanks after '!' stay, so this is no number.
    expect_short_refused("gate:! 80", "Unknown TCP/UDP service, ' 80'");
    expect_short_refused("gate:-1", "Unknown TCP/UDP service, '-1'");
}

TEST(ShortForm, ExpansionLengthBound)
{
    // The output holds 1024 characters. Each input below expands to exactly
    // 1024 (or, for the doubled port, 1023) characters, and one character
    // more makes it too long.
    const char *too_long = "filter-spec too long (expansion exceeds 1024 characters)";
    struct Bound {
        std::string fits;
        std::string fits_output;
        std::string one_more;
    };
    const std::string h986(986, 'h'), h1016(1016, 'h'), h1015(1015, 'h'), h984(984, 'h');
    const std::string d500(500, '1');
    Bound bounds[] = {
        {h986 + ":80", "((TCP SD=80) | (UDP SD=80)) & (IP SD=" + h986 + ")", h986 + "h:80"},
        {h1016, "(IP SD=" + h1016 + ")", h1016 + "h"},
        // '!' is one character of input but also one of output.
        {"!" + h1015, "^(IP SD=" + h1015 + ")", "!" + h1015 + "h"},
        // The longest form: 36 characters, twice the port, and the host.
        {"!" + h984 + ":!80", "^((TCP SD=80) | (UDP SD=80)) & ^(IP SD=" + h984 + ")",
         "!" + h984 + "h:!80"},
        // The port appears twice in the output.
        {":" + d500, "((TCP SD=" + d500 + ") | (UDP SD=" + d500 + "))", ":" + d500 + "1"},
    };
    for (const auto &b : bounds) {
        SCOPED_TRACE(b.fits.substr(0, 3) + "... of " + std::to_string(b.fits.size()));
        std::string out = expand(b.fits);
        EXPECT_EQ(out.size(), b.fits_output.size());
        EXPECT_EQ(out, b.fits_output);
        EXPECT_LE(out.size(), 1024u);
        expect_short_refused(b.one_more, too_long);
    }
}

} // namespace
