// Names of the log types, for callers that show them.
#include "zeriza.h"

extern "C" const char *const nif_logdesc[NIF_NLOGDESC] = {
    nullptr, "Dorerez-O", "Snoop", "Tcpdump", "IP", "Ethernet",
};
