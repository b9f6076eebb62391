// Matching the frames of a real capture.
//
// ether_all.pcap holds 8510 real Ethernet frames of many kinds: IPv4 with TCP, UDP, ICMP, GRE,
// fragments and odd header lengths, ARP, 802.3 with LLC and SNAP, IPX, IPv6, VLAN tags, frames cut
// short by the capture length and frames of fewer than 14 bytes. Every frame is matched against
// each filter of the rows in tests/dissect.h, and each verdict is compared with that of the row's
// predicate over the hand dissection of the frame's bytes. Each frame ends right before an
// inaccessible page; a frame shorter than 16 bytes is padded to 16 in two different ways, which
// must not change the verdict. The unit tests run the same rows over the generated frames.
//
// The capture is kept outside the repository, in ../shared/captures/ from its top; the tests skip,
// visibly, when it is not there. ZERIZA_CAPTURES names another place: a directory holding
// ether_all.pcap, or the file itself.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/stat.h>

#include <cstdlib>
#include <iostream>

#include "tests/dissect.h"
#include "tests/engines.h"
#include "tests/support.h"

namespace {

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
    const char *env = std::getenv("ZERIZA_CAPTURES");
    struct stat st {};
    if (env == nullptr || *env == '\0')
        cap.path = ZERIZA_SOURCE_DIR "/../shared/captures/ether_all.pcap";
    else
        cap.path = std::string(env) +
                   (stat(env, &st) == 0 && S_ISDIR(st.st_mode) ? "/ether_all.pcap" : "");
    cap.present = access(cap.path.c_str(), F_OK) == 0;
    char err[PCAP_ERRBUF_SIZE] = "";
    pcap_t *pc = cap.present ? pcap_open_offline(cap.path.c_str(), err) : nullptr;
    if (pc == nullptr) {
        cap.error = err;
        return cap;
    }
    pcap_pkthdr *hdr = nullptr;
    const u_char *data = nullptr;
    int rc;
    while ((rc = pcap_next_ex(pc, &hdr, &data)) == 1) {
        cap.frames.emplace_back(data, data + hdr->caplen);
        cap.max_len = std::max<size_t>(cap.max_len, hdr->caplen);
    }
    if (pcap_datalink(pc) != DLT_EN10MB || rc != PCAP_ERROR_BREAK)
        cap.error = "not a readable Ethernet capture: " + std::string(pcap_geterr(pc));
    pcap_close(pc);
    return cap;
}

const Capture &capture()
{
    static const Capture cap = read_capture();
    return cap;
}

// Names the capture `cap`, or skips the test, visibly, when it is not there.
#define CAPTURE_OR_SKIP(cap)                                                                       \
    const Capture &cap = capture();                                                                \
    if (!cap.present)                                                                              \
        GTEST_SKIP() << "capture not found at " << cap.path                                        \
                     << " (set ZERIZA_CAPTURES to its directory or file)";                         \
    ASSERT_TRUE(cap.error.empty()) << cap.path << ": " << cap.error

TEST(CaptureFile, HoldsAllFrames)
{
    CAPTURE_OR_SKIP(cap);
    EXPECT_EQ(cap.frames.size(), 8510u) << cap.path;
}

// The fast engine (nif_filt_match, nif_filt_match_batch) against the
// reference engine on every frame, whole and cut at every length up to 128
// bytes, where its headers are, for the filters of the engine comparison.
TEST(CaptureFile, EnginesAgreeOnEveryFrameAndItsCuts)
{
    CAPTURE_OR_SKIP(cap);
    const auto &texts = zeriza_test::kEngineFilters;
    std::vector<std::vector<filt_node>> filters;
    for (const char *text : texts)
        filters.push_back(zeriza_test::compiled(text));
    long passed = 0;
    for (size_t i = 0; i < cap.frames.size(); ++i) {
        const zeriza_test::Cuts cuts(cap.frames[i], NIF_LINK_ETHER, NIF_OPT_LINKHDR, 128);
        for (size_t k = 0; k < filters.size(); ++k)
            ASSERT_EQ(zeriza_test::engines_disagree(filters[k].data(), cuts, &passed), "")
                << "frame " << i << ", " << texts[k];
    }
    EXPECT_GT(passed, 100000);
}

class CaptureFilter : public ::testing::TestWithParam<dissect::Row> {};

TEST_P(CaptureFilter, VerdictsAgreeWithHandChecks)
{
    CAPTURE_OR_SKIP(cap);
    const dissect::Guard guard(cap.max_len);
    ASSERT_TRUE(guard.ok()) << "cannot map a guarded buffer";
    const dissect::Row &row = GetParam();
    const std::vector<filt_node> filter = zeriza_test::compiled(row.text);
    ASSERT_FALSE(filter.empty());
    zeriza_test::LogCapture log;
    long hand = 0;
    for (size_t i = 0; i < cap.frames.size(); ++i) {
        const auto &f = cap.frames[i];
        ASSERT_EQ(dissect::disagreement(guard, filter.data(), row, f.data(),
                                        static_cast<int32_t>(f.size()), false, &hand),
                  "")
            << row.text << ", frame " << i;
    }
    std::cout << "[   counts ] " << row.text << ": hand checks pass " << hand << " of "
              << cap.frames.size() << " frames\n";
    // Filters made by the compiler never carry a parameter their protocol cannot have, so
    // matching them logs nothing.
    EXPECT_TRUE(log.lines.empty()) << row.text << ": logged " << log.lines.front();
}

INSTANTIATE_TEST_SUITE_P(Capture, CaptureFilter, ::testing::ValuesIn(dissect::kRows));

} // namespace
