/* A user's program: compile a filter and match one Ethernet II frame. It
 * calls into the library, so it links only if the host routines the library
 * needs are found. */
#include <stdio.h>
#include <string.h>

#include "zeriza.h"
#include "zeriza_host.h"

int main(void)
{
    /* Ethernet II, IPv4 10.0.0.1 -> 10.0.0.2, UDP 1024 -> 53. */
    unsigned char frame[14 + 20 + 8];
    memset(frame, 0, sizeof frame);
    frame[12] = 0x08;
    frame[14] = 0x45;
    frame[17] = 28;
    frame[23] = 17;
    frame[26] = 10, frame[29] = 1;
    frame[30] = 10, frame[33] = 2;
    frame[34] = 4, frame[37] = 53;
    int size = 0;
    filt_node *f = nif_filt_parse("(UDP DST=53) & (IP SRC=10.0.0.1)", &size);
    if (!f) {
        printf("compile failed: %s\n", gnl_usrmsg);
        return 1;
    }
    int32_t layer, proto, skip;
    int32_t verdict = nif_filt_match(f, frame, (int32_t)sizeof frame, NIF_LINK_ETHER, &layer,
                                     &proto, &skip, NIF_OPT_LINKHDR);
    nif_filt_free(f);
    printf("compiled %d bytes, verdict %d\n", size, (int)verdict);
    return size == 3 * 112 && verdict == 1 ? 0 : 1;
}
