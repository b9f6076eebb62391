/* Compiled as C11: the public headers, their typedefs and their sizes. */
#include <stdio.h>
#include <string.h>

#include "zeriza.h"
#include "zeriza_host.h"

int main(void)
{
    filt_node node;
    nif_log log;
    memset(&node, 0, sizeof node);
    memset(&log, 0, sizeof log);
    node.tok = 23;
    log.hdr.nses = 2;
    printf("filt_node %zu, nif_loghdr %zu, nif_seshdr %zu, nif_evthdr %zu, nif_trailer %zu\n",
           sizeof(filt_node), sizeof(nif_loghdr), sizeof(nif_seshdr), sizeof(nif_evthdr),
           sizeof(nif_trailer));
    printf("log type 3: %s\n", nif_logdesc[3]);
    gnl_usrmsg[0] = '\0';
    if (sizeof(filt_node) != 112 || sizeof(nif_loghdr) != 15 || strcmp(nif_logdesc[3], "Tcpdump"))
        return 1;
    return node.tok == 23 && log.hdr.nses == 2 ? 0 : 1;
}
