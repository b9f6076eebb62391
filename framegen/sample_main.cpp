// zeriza-sample OUT.pcap [N]: write the sample capture.
#include <cstdio>
#include <cstdlib>

#include "framegen/sample.h"

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: zeriza-sample OUT.pcap [FRAMES]\n");
        return 2;
    }
    int n = argc == 3 ? std::atoi(argv[2]) : 240;
    if (n <= 0 || !sample::write_pcap(argv[1], sample::frames(n))) {
        std::fprintf(stderr, "zeriza-sample: cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%s: %d frames\n", argv[1], n);
    return 0;
}
