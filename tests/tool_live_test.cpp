// Live capture on the loopback interface: exactly the datagrams a filter
// names are written, recorded and exported; a stop signal leaves a log that
// reads back whole; capture without the privilege says which one it needs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "tests/tool_support.h"

namespace tooltest {
namespace {

using namespace std::chrono_literals;

// Why this process cannot capture on the loopback interface, or empty.
std::string cannot_capture()
{
    char err[PCAP_ERRBUF_SIZE] = "";
    pcap_t *p = pcap_create("lo", err);
    if (!p)
        return err;
    int rc = pcap_activate(p);
    std::string why = rc < 0 ? pcap_statustostr(rc) + std::string(": ") + pcap_geterr(p) : "";
    pcap_close(p);
    return why;
}

// A UDP socket bound to a free port of 127.0.0.1, so that the port stays
// ours while the test runs, and a second one to send from.
struct Loopback {
    int receiver = socket(AF_INET, SOCK_DGRAM, 0), sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    uint16_t port = 0;

    Loopback()
    {
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof at;
        EXPECT_EQ(bind(receiver, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
        EXPECT_EQ(getsockname(receiver, reinterpret_cast<sockaddr *>(&at), &len), 0);
        port = ntohs(at.sin_port);
    }
    ~Loopback()
    {
        close(receiver);
        close(sender);
    }
    // `n` datagrams to our port, each followed by one to the next port.
    void send(int n)
    {
        for (int i = 0; i < n; ++i)
            for (uint16_t p : {port, static_cast<uint16_t>(port + 1)}) {
                sockaddr_in to = at;
                to.sin_port = htons(p);
                EXPECT_EQ(
                    sendto(sender, "zeriza", 6, 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
                    6);
            }
    }
};

struct Live : Tool {
    void SetUp() override
    {
        if (std::string why = cannot_capture(); !why.empty())
            GTEST_SKIP() << "cannot capture on lo here (" << why << "); CI runs this as root";
        Tool::SetUp();
    }

    // Start the tool and wait until it says it is capturing. A duration
    // ends it should what it waits for never come.
    std::unique_ptr<Child> start(std::vector<std::string> args)
    {
        args.insert(args.end(), {"--duration", "20"});
        fs::remove(io / "live-err"); // what an earlier run said
        auto child = std::make_unique<Child>(args, (io / "live-err").string());
        for (auto until = std::chrono::steady_clock::now() + 20s;
             slurp(io / "live-err").find("listening on lo") == std::string::npos;
             std::this_thread::sleep_for(10ms))
            if (std::chrono::steady_clock::now() > until) {
                ADD_FAILURE() << "the capture did not start: " << slurp(io / "live-err");
                break;
            }
        return child;
    }

    // The UDP destination ports of an Ethernet capture's frames.
    std::vector<int> ports(const fs::path &capture)
    {
        std::vector<int> out;
        for (const auto &[sec, nsec, bytes, len] : read_pcap(capture)) {
            const auto *b = reinterpret_cast<const uint8_t *>(bytes.data());
            size_t udp = 14 + (b[14] & 0xF) * 4;
            out.push_back(bytes.size() >= udp + 4 && b[23] == 17 ? b[udp + 2] << 8 | b[udp + 3]
                                                                 : -1);
        }
        return out;
    }
};

TEST_F(Live, ExactlyTheNamedDatagramsAreWrittenRecordedAndExported)
{
    constexpr int n = 5;
    Loopback lo;
    const std::string filter = "UDP SD=" + std::to_string(lo.port);
    const std::vector<int> expected(n, lo.port);
    const fs::path out = dir / "out.pcap", log = dir / "live.log", back = dir / "back.pcap";
    for (const bool recording : {false, true}) {
        SCOPED_TRACE(recording ? "record" : "match");
        auto child =
            recording
                ? start({"record", "-i", "lo", "-c", std::to_string(n), "-w", log.string(), filter})
                : start({"match", "-i", "lo", filter, "-c", std::to_string(n), "-w", out.string()});
        lo.send(n + 2); // the count stops it at the n-th passing datagram
        EXPECT_EQ(child->wait(), 0) << slurp(io / "live-err");
        EXPECT_NE(slurp(io / "live-err").find("lo: "), std::string::npos);
        if (recording) {
            Outcome d = ok("dump -q " + q(log));
            EXPECT_NE(d.out.find("session 1: interface lo, link type 1"), std::string::npos)
                << d.out;
            EXPECT_NE(d.out.find("stopped at the frame count); events counted: 5 frames"),
                      std::string::npos)
                << d.out;
            ok("export " + q(log) + " -w " + q(back));
            EXPECT_EQ(ports(back), expected);
        } else {
            EXPECT_EQ(ports(out), expected);
        }
    }
    if (std::system("command -v tcpdump >/dev/null 2>&1") == 0) {
        Outcome t = shell("tcpdump -n -r " + q(out));
        EXPECT_EQ(t.status, 0) << t.err;
        EXPECT_EQ(std::count(t.out.begin(), t.out.end(), '\n'), n) << t.out;
    }
}

TEST_F(Live, AStopSignalLeavesALogThatReadsBackWhole)
{
    constexpr int n = 4;
    Loopback lo;
    const fs::path log = dir / "live.log";
    auto child =
        start({"record", "-i", "lo", "-w", log.string(), "UDP SD=" + std::to_string(lo.port)});
    lo.send(n);
    std::this_thread::sleep_for(500ms); // libpcap hands frames over within a tenth of a second
    child->signal(SIGINT);
    EXPECT_EQ(child->wait(), 0) << slurp(io / "live-err"); // the normal end of a live capture
    EXPECT_NE(slurp(io / "live-err").find(std::to_string(n) + " recorded"), std::string::npos)
        << slurp(io / "live-err");
    Outcome d = ok("dump -q " + q(log));
    EXPECT_NE(d.out.find("interrupted); events counted: 4 frames"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("counts agree"), std::string::npos) << d.out;
}

// The duration ends a capture; with a terminal, the status line (seen,
// passed, dropped) is redrawn while nothing arrives, and wiped before the
// summary.
TEST_F(Live, DurationEndsTheCaptureAndTheStatusLineIsWiped)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int terminal = open(ptsname(master), O_RDWR | O_NOCTTY); // no hang-up before the tool opens it
    {
        Child child({"match", "-i", "lo", "IP", "--duration", "1", "-p"}, ptsname(master));
        EXPECT_EQ(child.wait(), 0);
    }
    close(terminal);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    close(master);
    const size_t drawn = text.find("\rlo: "), wiped = text.find("\r\x1b[Klo: ");
    ASSERT_NE(drawn, std::string::npos) << text;
    EXPECT_NE(text.find(" seen, ", drawn), std::string::npos) << text;
    EXPECT_NE(text.find(" dropped\x1b[K", drawn), std::string::npos) << text;
    ASSERT_NE(wiped, std::string::npos) << text;
    EXPECT_LT(drawn, wiped);
    EXPECT_NE(text.find(" frames seen, ", wiped), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with(" dropped by the interface\r\n")) << text;
}

TEST_F(Tool, CaptureWithoutThePrivilegeSaysWhichItNeeds)
{
    // As root, the tool is run as nobody; as anyone else, as it is.
    std::string as = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    if (!as.empty() && std::system("command -v setpriv >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "setpriv is not installed";
    Outcome o = shell(as + tool + " match -i lo IP -c 1");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "zeriza: cannot capture on lo: permission denied; capturing needs root or "
                     "the CAP_NET_RAW capability\n");
}

} // namespace
} // namespace tooltest
