// zeriza-sample OUT.pcap [FRAMES [LINKTYPE]]: write the sample capture, as
// Ethernet frames or as another link type would carry them (LINUX_SLL,
// LINUX_SLL2, NULL, LOOP, RAW, IPV4).
#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>

#include "framegen/sample.h"

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: zeriza-sample OUT.pcap [FRAMES [LINKTYPE]]\n");
        return 2;
    }
    int n = argc >= 3 ? std::atoi(argv[2]) : 240;
    int dlt = argc == 4 ? pcap_datalink_name_to_val(argv[3]) : DLT_EN10MB;
    if (n <= 0 || dlt < 0) {
        std::fprintf(stderr, "zeriza-sample: bad frame count or link type\n");
        return 2;
    }
    auto frames = sample::frames(n);
    if (dlt != DLT_EN10MB)
        frames = sample::as_link(frames, dlt);
    if (!sample::write_pcap(argv[1], frames, dlt)) {
        std::fprintf(stderr, "zeriza-sample: cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%s: %zu frames\n", argv[1], frames.size());
    return 0;
}
