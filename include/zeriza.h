/*
 * zeriza: packet filter compiler, frame matcher and capture log.
 *
 * The one public header of zeriza.so.1. It compiles as C (C11 or later) and
 * as C++. Every record whose bytes are stored (compiled filter nodes, log
 * records) has its size and field offsets pinned at the end of this file.
 *
 * The library needs its host process to provide the support routines and the
 * message buffer declared in zeriza_host.h; the reference implementation is
 * libzeriza-host. Link both with `pkg-config --libs zeriza` or CMake's
 * zeriza::zeriza; a host with routines of its own links the library alone
 * (`pkg-config --libs zeriza-core`, zeriza::core).
 *
 * Conventions of every function below:
 * - Messages. A failure writes one line into gnl_usrmsg (zeriza_host.h),
 *   replacing what was there; a success leaves it alone unless a warning is
 *   said to stay there. Offending input is quoted as at most 20 characters
 *   and "...". Failed system calls end in "errno=%d [%s]".
 * - Memory comes from the C heap (malloc/free). What a function allocates
 *   for the caller is said below, with the call that releases it.
 * - Threads. The library starts no threads and takes no locks. Compilation
 *   and the short form use process-wide buffers: one call at a time in a
 *   process. Matching keeps no state: any number of threads at once, also on
 *   one filter. A log handle belongs to one thread at a time. gnl_usrmsg is
 *   one buffer for the whole process.
 */
#ifndef ZERIZA_H
#define ZERIZA_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) || defined(__clang__)
#define NIF_API __attribute__((visibility("default")))
#define NIF_PACKED __attribute__((packed))
#else
#define NIF_API
#define NIF_PACKED
#endif

/* ------------------------------------------------------------------------ */
/* Compiled filter                                                          */
/* ------------------------------------------------------------------------ */

/*
 * The atom block: the 104 bytes that describe one rule. Integers are in the
 * compiling machine's byte order; src, dst, etype and org hold the bytes that
 * are compared with frame bytes, in network order. The same fields open both
 * a compiled node and the compiler's rule-tree record, so they are written
 * once here.
 *
 * Address block forms (src, dst), by the atom's protocol:
 *   ETH, 802.3  bytes 0-5 MAC (all 0xFF for "B"), bytes 8-11 u32 1 for "M"
 *   LLC         bytes 0-3 i32 service access point 0-255
 *   IP          bytes 0-3 IPv4 address, bytes 4-7 i32 whole prefix bytes
 *               (0-4), bytes 8-11 the next address byte masked to the rest
 *               of the prefix
 *   TCP, UDP    bytes 0-1 port (network order), bytes 4-7 i32 relop char
 */
#define NIF_ATOM_BLOCK                                                                             \
    int32_t tok;            /*   0 protocol token, -1 raw IP protocol, 0 group */                  \
    int32_t lyr;            /*   4 protocol layer */                                               \
    int32_t proto;          /*   8 protocol id within the layer */                                 \
    int32_t len;            /*  12 LEN value */                                                    \
    int32_t len_op;         /*  16 '<' '=' '>' */                                                  \
    int32_t hlen;           /*  20 HLEN value */                                                   \
    int32_t hlen_op;        /*  24 */                                                              \
    int32_t dlen;           /*  28 DLEN value */                                                   \
    int32_t dlen_op;        /*  32 */                                                              \
    unsigned char src[12];  /* 36 source address block */                                          \
    unsigned char dst[12];  /* 48 destination address block */                                     \
    unsigned char etype[4]; /* 60 ETYPE, 2 bytes network order, 2 zero */                          \
    int32_t llc_ctl;        /*  64 C value */                                                      \
    unsigned char org[4];   /*  68 ORG, 3 bytes network order, 1 zero */                           \
    int32_t icmp_type;      /*  72 TYPE value */                                                   \
    int32_t icmp_code;      /*  76 CODE value */                                                   \
    int32_t ip_flag;        /*  80 F of IP: 1 fragment wanted, 0 not */                            \
    uint32_t tcp_set;       /*  84 F of TCP: flags that must be set */                             \
    uint32_t tcp_clr;       /*  88 F of TCP: flags that must be clear */                           \
    uint32_t parms;         /*  92 parameters given */                                             \
    uint32_t parms_neg;     /*  96 parameters given negated */                                     \
    uint32_t flags          /* 100 bit 0 negate, bit 1 OR-combine children */

/* One node of a compiled filter: 112 bytes, no pointers. */
typedef struct filt_node {
    NIF_ATOM_BLOCK;
    int32_t kid_off; /* 104 index of first child minus own index; 0 for an atom */
    int32_t nkids;   /* 108 number of children; 0 for an atom */
} filt_node;

#define NIF_NODE_SIZE 112
#define NIF_ATOM_SIZE 104

/* Bits of filt_node.flags. */
#define NIF_FLAG_NEGATE 0x1u
#define NIF_FLAG_OR 0x2u

/* Bits of filt_node.parms and parms_neg: one a parameter (SD:2 sets both
   SRC and DST). */
#define NIF_PARM_LEN 0x0001u
#define NIF_PARM_HLEN 0x0002u
#define NIF_PARM_DLEN 0x0004u
#define NIF_PARM_SRC 0x0008u
#define NIF_PARM_DST 0x0010u
#define NIF_PARM_SD 0x0020u
#define NIF_PARM_SD1 0x0040u
#define NIF_PARM_ETYPE 0x0080u
#define NIF_PARM_TYPE 0x0100u
#define NIF_PARM_CODE 0x0200u
#define NIF_PARM_C 0x0400u
#define NIF_PARM_ORG 0x0800u
#define NIF_PARM_F 0x1000u

/*
 * Protocol layers of filt_node.lyr and of nif_proto_id, and the protocol ids
 * within each (filt_node.proto). They are part of the stored filter format.
 * At layer 4 the id is the IP protocol number. Link ids 3 to 6 and 9 name
 * the link-level header of a link type (1, 2, 3, 8 and 5) and have no
 * keyword; link type 5 without its header gives its 16-bit protocol field
 * itself as a layer-3 id.
 */
#define NIF_LAYER_NONE (-1) /* not identified; the id is 0 */
#define NIF_LAYER_LINK 2
#define NIF_LAYER_NET 3
#define NIF_LAYER_IP 4

#define NIF_PROTO_ETH 1   /* layer 2: Ethernet II */
#define NIF_PROTO_8023 2  /* IEEE 802.3 */
#define NIF_PROTO_LINK2 3 /* link type 2 with its header */
#define NIF_PROTO_LINK1 4 /* link type 1 with its header */
#define NIF_PROTO_LINK3 5 /* link type 3 with its header */
#define NIF_PROTO_FDDI 6  /* link type 8 with its header */
#define NIF_PROTO_LLC 7
#define NIF_PROTO_SNAP 8
#define NIF_PROTO_HDLC 9 /* link type 5 with its header */
#define NIF_PROTO_IP 1   /* layer 3 */
#define NIF_PROTO_ARP 2
#define NIF_PROTO_RARP 3
#define NIF_PROTO_IPX 6
#define NIF_PROTO_ICMP 1 /* layer 4: IP protocol numbers */
#define NIF_PROTO_IGMP 2
#define NIF_PROTO_TCP 6
#define NIF_PROTO_UDP 17
#define NIF_PROTO_OSPF 89

/*
 * Compile filter text into a compiled filter.
 *   text  NUL-terminated rule text; only read (the parser cuts a copy).
 *   size  optional; on success receives the filter's size in bytes (nodes x
 *         112), the `filtlen` to store with it. Not written on failure.
 * Returns the filter, an array of filt_node with the root first, allocated
 * for the caller: release it with nif_filt_free. Null on failure, with the
 * reason in gnl_usrmsg (a syntax error quotes the text where it stopped).
 * One compilation at a time per process.
 */
NIF_API filt_node *nif_filt_parse(const char *text, int *size);

/* Release a filter from nif_filt_parse (free); null is accepted. */
NIF_API void nif_filt_free(filt_node *filter);

/*
 * Expand a host:port short form ("10.0.0.1:80", "!domain", "host") into rule
 * text for nif_filt_parse.
 *   form  NUL-terminated; only read.
 * Returns a process-wide buffer that the next call overwrites (the caller
 * frees nothing), or null with a message in gnl_usrmsg: an unknown service,
 * a form that expands to nothing, or an expansion longer than 1024
 * characters. One call at a
 * time per process, and not at the same time as nif_filt_parse.
 */
NIF_API char *nif_filt_short(const char *form);

/*
 * Check that `size` bytes at `filter` are a well-formed compiled filter, as a
 * filter read from a log or a file must be before it is matched: every group
 * has at least two children, after it and inside the array; every node is
 * reached from the root exactly once; at most 65 levels; no unknown flag
 * bits. Reads only the `size` bytes; allocates nothing it keeps. Returns 0,
 * or 1 with a one-line message in gnl_usrmsg naming the first fault found
 * (also for a null filter, a size that is not a positive multiple of 112,
 * or a filter not aligned for its nodes).
 */
NIF_API int nif_filt_check(const void *filter, int size);

/* ------------------------------------------------------------------------ */
/* Matching                                                                 */
/* ------------------------------------------------------------------------ */

/* Link-type codes. */
#define NIF_LINK_8023 0
#define NIF_LINK_ETHER 4
#define NIF_LINK_HDLC 5
#define NIF_LINK_FDDI 8
#define NIF_LINK_RAWIP 129

/* Option bit: the frame begins with the link-level header of its link type. */
#define NIF_OPT_LINKHDR 0x1u

/*
 * Name the outermost protocol of a frame from its link type and its first
 * bytes.
 *   frame  at least 16 readable bytes, whatever the frame's length: only
 *          bytes 0-3, 6, 7 and 12-15 are ever read.
 *   layer  always written: 2 link, 3 network, or -1 when not identified.
 *   skip   always written: 2 for a recognised link type 5 protocol field
 *          (the bytes to step over to its payload), else 0.
 *   opts   NIF_OPT_LINKHDR when the frame begins with its link-level
 *          header; other bits are ignored.
 * Returns the protocol id within the layer, 0 when not identified. Leaves no
 * message. Reentrant.
 */
NIF_API int32_t nif_proto_id(int32_t link_type, const unsigned char *frame, int32_t *layer,
                             int32_t *skip, uint32_t opts);

/*
 * Decide whether a frame passes a compiled filter.
 *   filter     a compiled filter (from nif_filt_parse, or checked with
 *              nif_filt_check when it comes from elsewhere); never null.
 *   frame      at least 16 readable bytes, as for nif_proto_id, even when
 *              frame_len is smaller; no byte at or past frame_len is
 *              examined by the header walk.
 *   frame_len  the frame's length in bytes.
 *   layer_out, proto_out, skip_out
 *              given together or all null: when layer_out is non-null the
 *              three out-values of nif_proto_id are stored through them.
 *   opts       passed to nif_proto_id.
 * Returns 1 when the frame passes, 0 when not. Allocates nothing and leaves
 * no message (a filter asking a protocol for a field it cannot have logs a
 * line through gnl_msglog and fails that atom). Reads the filter only: safe
 * from any number of threads on one filter.
 */
NIF_API int32_t nif_filt_match(const filt_node *filter, const unsigned char *frame,
                               int32_t frame_len, int32_t link_type, int32_t *layer_out,
                               int32_t *proto_out, int32_t *skip_out, uint32_t opts);

/*
 * Match `count` frames against one filter in one call: frame i is
 * frame_lens[i] bytes at frames[i], of the link type and options given (as
 * for nif_filt_match). When `verdicts` is non-null, verdicts[i] receives 1
 * or 0; nothing else is written.
 *
 * Each verdict is the one nif_filt_match gives for the frame followed by
 * zero bytes up to 16: no byte at or past frame_lens[i] is read, so short
 * frames need no padding. Returns the number of frames that pass, or -1 with
 * a message in gnl_usrmsg for a null filter, frames or frame_lens array, or
 * a negative count. Allocates only for its own use while it runs (a filter
 * of more than 16 atoms). Reentrant; the filter is only read.
 */
NIF_API int32_t nif_filt_match_batch(const filt_node *filter, const unsigned char *const *frames,
                                     const int32_t *frame_lens, int32_t count, int32_t link_type,
                                     uint32_t opts, unsigned char *verdicts);

/* ------------------------------------------------------------------------ */
/* Capture log                                                              */
/* ------------------------------------------------------------------------ */

/* Log header: 15 bytes, the first bytes of every log. */
typedef struct NIF_PACKED nif_loghdr {
    char magic[10];      /*  0 "vavuda" and NUL; bytes 7-9 from the caller */
    int8_t major;        /* 10 format major version (3) */
    int8_t minor;        /* 11 format minor version (1) */
    uint16_t order_mark; /* 12 0x1234 in the writer's byte order */
    int8_t nses;         /* 14 number of sessions */
} nif_loghdr;

/* Session header: 216 bytes, followed in the file by `filtlen` filter bytes. */
typedef struct nif_seshdr {
    unsigned char usr_bytes0[72]; /*   0 caller bytes */
    int64_t usr_word0;            /*  72 caller integer */
    unsigned char usr_bytes1[40]; /*  80 caller bytes */
    int64_t usr_words1[3];        /* 120 caller integers */
    int64_t filtlen;              /* 144 compiled filter bytes that follow */
    int64_t usr_words2[5];        /* 152 caller integers */
    unsigned char usr_bytes2[24]; /* 192 caller bytes */
} nif_seshdr;

/* Event header: 40 bytes, followed by `datalen` data bytes. */
typedef struct nif_evthdr {
    uint8_t ses_id;             /*  0 session index */
    uint8_t type;               /*  1 event type: 1 counted, 3 and 4 close */
    unsigned char usr_bytes[6]; /* 2 caller bytes */
    int64_t word1;              /*  8 caller integer */
    int64_t word2;              /* 16 caller integer */
    int64_t datalen;            /* 24 data bytes that follow */
    int64_t totlen;             /* 32 length added to the byte totals (type 1) */
} nif_evthdr;

/* Session trailer: 40 bytes, after the data of a type 3 or 4 event. */
typedef struct nif_trailer {
    int64_t usr_word0;    /*  0 caller integer */
    uint64_t nframes;     /*  8 type-1 events of the session */
    uint64_t frame_bytes; /* 16 sum of their totlen */
    int64_t usr_word1;    /* 24 caller integer */
    int64_t usr_word2;    /* 32 caller integer */
} nif_trailer;

/* Event types with a meaning to the library. */
#define NIF_EVT_FRAME 1
#define NIF_EVT_CLOSE 3
#define NIF_EVT_ABORT 4

/*
 * One session of a log handle. The writer's caller fills hdr (filtlen
 * included), filter and, before each event, evt; the reader fills them.
 * The library keeps the trailer's counts, nevts and the two flags.
 */
typedef struct nif_session {
    nif_seshdr hdr;    /* session header */
    nif_trailer trl;   /* session trailer: nframes and frame_bytes kept by the library */
    filt_node *filter; /* compiled filter of hdr.filtlen bytes */
    nif_evthdr evt;    /* header of the session's current event */
    uint64_t nevts;    /* events of this session so far */
    int trl_seen;      /* trailer written or read */
    int filter_owned;  /* the reader allocated `filter`; nif_close_logfile frees it */
} nif_session;

/*
 * Log handle. The caller allocates it and zero-fills it before first use.
 * Its layout is part of the ABI: the fields keep their order, grouped here
 * by who sets them.
 */
typedef struct nif_log {
    /* Set by the caller (before nif_write_loghdr or nif_read_loghdr). */
    nif_loghdr hdr;        /* first, written and read as the file's 15 bytes:
                              the writer's caller sets hdr.nses, the reader
                              fills it (and a preset nses sizes `sessions`) */
    nif_session *sessions; /* hdr.nses records, or null for the library to allocate */
    const char *path;      /* file to open, or null with a caller `fp` */
    FILE *fp;              /* the caller's open stream, or filled when `path` is opened */
    int nobuf;             /* no stdio buffer, flush after every event; the
                              writer may change it (QOV_STDOUT_NOBUF, or a
                              caller stream that is not a regular file) */

    /* Kept by the library; the caller reads them. */
    int eof;              /* the reader met end of file at an event header */
    int swap;             /* the file is of the other byte order */
    nif_evthdr evt;       /* event header when the reader names no session */
    uint64_t nbytes;      /* bytes consumed by the reader */
    uint64_t nevts;       /* events written or read */
    uint64_t nframes;     /* type-1 events written or read */
    uint64_t frame_bytes; /* sum of their totlen */

    /* Private: what nif_close_logfile releases. */
    char *stdio_buf;    /* stdio buffer the library allocated */
    int fp_owned;       /* the library opened fp */
    int sessions_owned; /* the library allocated sessions */
} nif_log;

/*
 * Writing a log: nif_write_loghdr once, nif_write_seshdr for each session,
 * nif_write_evt for each event, nif_close_logfile. `ses` names a session by
 * its index, 0 to hdr.nses - 1, and is not checked. Each returns 0, or 1
 * with one message in gnl_usrmsg; what a failed call had done stays in the
 * handle for nif_close_logfile to release. Nothing is retried.
 */

/*
 * Open the output (`path` with mode "w", creating or truncating it, unless
 * `fp` is set), choose its buffering, allocate `sessions` if null, and write
 * the 15-byte log header: "vavuda", format 3.1, the byte-order mark and
 * hdr.nses. `buf` is a stdio buffer of `bufsize` bytes for the stream, or
 * null for the library to allocate one (freed by nif_close_logfile); a
 * `bufsize` of 0 leaves the stream's buffering alone. QOV_STDOUT_NOBUF=y in
 * the environment, or a caller stream that is a pipe, terminal or socket,
 * turns buffering off and makes every event flush.
 */
NIF_API int nif_write_loghdr(nif_log *log, char *buf, int bufsize);

/* Write session `ses`'s 216-byte header, then its hdr.filtlen filter bytes. */
NIF_API int nif_write_seshdr(nif_log *log, int ses);

/*
 * Write the event in sessions[ses].evt (its ses_id set by the caller) and
 * its evt.datalen bytes from `data`, then count it: nevts of the handle and
 * the session; for type 1 also nframes and frame_bytes (by totlen) of both.
 * An event of type 3 or 4 is followed by the session's trailer with the
 * totals so far. With `count_only` non-zero the event itself is not written
 * but everything else happens, the trailer included. A failed event write
 * counts nothing.
 */
NIF_API int nif_write_evt(nif_log *log, int ses, const void *data, int count_only);

/*
 * End the use of a handle, writer's or reader's: flush `fp` (every output
 * stream when it is null), close it if the library opened it, free the
 * stdio buffer, the filters and the sessions array the library allocated,
 * and clear the owned flags. Writes nothing to the log and leaves the
 * counters alone; a second call does nothing more than the flush. The
 * caller's own buffer, sessions, filters and stream stay the caller's.
 */
NIF_API void nif_close_logfile(nif_log *log);

/* Bits of nif_read_evt's mode. */
#define NIF_READ_HAVE_HDR 0x1
#define NIF_READ_HDR_ONLY 0x2

/*
 * Reading a log: nif_read_loghdr once, nif_read_seshdr where the writer
 * wrote session headers, nif_read_evt until it returns 1 with `eof` set,
 * nif_close_logfile. A file of the other byte order is converted as it is
 * read (`swap`); compiled filter bytes never are. Each returns 0, or 1 with
 * one message in gnl_usrmsg, unless said otherwise; the stream is then
 * wherever the failed read left it.
 */

/*
 * Open the input (`path` with mode "r", unless `fp` is set), set its
 * buffering as nif_write_loghdr does (without the environment or the file
 * type), read and check the 15-byte log header, and allocate `sessions` for
 * hdr.nses when it is null. A major version other than 3 fails; another
 * minor version leaves a "WARNING: ..." in gnl_usrmsg and returns 0.
 */
NIF_API int nif_read_loghdr(nif_log *log, char *buf, int bufsize);

/*
 * Read the next session header into sessions[ses].hdr, then its filter into
 * a new allocation of hdr.filtlen bytes at sessions[ses].filter
 * (filter_owned set; freed by nif_close_logfile). The filter is as stored:
 * check it with nif_filt_check before matching with it.
 */
NIF_API int nif_read_seshdr(nif_log *log, int ses);

/*
 * Read the next event into the slot H of session `ses`'s evt, or of the
 * handle's evt for -1, and up to `size` of its data into `data`; the event
 * counts for the session its own ses_id names.
 *   mode       NIF_READ_HAVE_HDR: H already holds the header read by an
 *              earlier call. NIF_READ_HDR_ONLY: stop after reading and
 *              checking the header, counting nothing.
 *   truncated  receives 1 when the data were cut to `size` (the rest is
 *              skipped), else 0.
 * Returns 0 when the event was read whole. Returns 1 for: the end of the
 * log (`eof` set, no message); an event read but cut (*truncated 1, a
 * message, the event counted); or a failure (a message), such as a
 * ses_id beyond hdr.nses or an event after its session's trailer. A type 3
 * or 4 event's trailer replaces the session's counts with the file's.
 */
NIF_API int nif_read_evt(nif_log *log, int ses, void *data, int size, int mode, int *truncated);

/* Log type names, indexed 0 to 5 ("Dorerez-O", "Snoop", "Tcpdump", "IP",
   "Ethernet"); entry 0 is null. The log functions never consult it. */
#define NIF_NLOGDESC 6
NIF_API extern const char *const nif_logdesc[NIF_NLOGDESC];

/* ------------------------------------------------------------------------ */
/* Pinned layouts                                                           */
/* ------------------------------------------------------------------------ */

#ifdef __cplusplus
#define NIF_STATIC_ASSERT static_assert
#else
#define NIF_STATIC_ASSERT _Static_assert
#endif

NIF_STATIC_ASSERT(sizeof(filt_node) == NIF_NODE_SIZE, "filt_node is 112 bytes");
NIF_STATIC_ASSERT(offsetof(filt_node, lyr) == 4, "lyr");
NIF_STATIC_ASSERT(offsetof(filt_node, proto) == 8, "proto");
NIF_STATIC_ASSERT(offsetof(filt_node, len) == 12, "len");
NIF_STATIC_ASSERT(offsetof(filt_node, dlen_op) == 32, "dlen_op");
NIF_STATIC_ASSERT(offsetof(filt_node, src) == 36, "src");
NIF_STATIC_ASSERT(offsetof(filt_node, dst) == 48, "dst");
NIF_STATIC_ASSERT(offsetof(filt_node, etype) == 60, "etype");
NIF_STATIC_ASSERT(offsetof(filt_node, llc_ctl) == 64, "llc_ctl");
NIF_STATIC_ASSERT(offsetof(filt_node, org) == 68, "org");
NIF_STATIC_ASSERT(offsetof(filt_node, icmp_type) == 72, "icmp_type");
NIF_STATIC_ASSERT(offsetof(filt_node, icmp_code) == 76, "icmp_code");
NIF_STATIC_ASSERT(offsetof(filt_node, ip_flag) == 80, "ip_flag");
NIF_STATIC_ASSERT(offsetof(filt_node, tcp_set) == 84, "tcp_set");
NIF_STATIC_ASSERT(offsetof(filt_node, tcp_clr) == 88, "tcp_clr");
NIF_STATIC_ASSERT(offsetof(filt_node, parms) == 92, "parms");
NIF_STATIC_ASSERT(offsetof(filt_node, parms_neg) == 96, "parms_neg");
NIF_STATIC_ASSERT(offsetof(filt_node, flags) == 100, "flags");
NIF_STATIC_ASSERT(offsetof(filt_node, kid_off) == NIF_ATOM_SIZE, "kid_off");
NIF_STATIC_ASSERT(offsetof(filt_node, nkids) == 108, "nkids");

NIF_STATIC_ASSERT(sizeof(nif_loghdr) == 15, "nif_loghdr is 15 bytes");
NIF_STATIC_ASSERT(offsetof(nif_loghdr, major) == 10, "major");
NIF_STATIC_ASSERT(offsetof(nif_loghdr, minor) == 11, "minor");
NIF_STATIC_ASSERT(offsetof(nif_loghdr, order_mark) == 12, "order_mark");
NIF_STATIC_ASSERT(offsetof(nif_loghdr, nses) == 14, "nses");

NIF_STATIC_ASSERT(sizeof(nif_seshdr) == 216, "nif_seshdr is 216 bytes");
NIF_STATIC_ASSERT(offsetof(nif_seshdr, usr_word0) == 72, "usr_word0");
NIF_STATIC_ASSERT(offsetof(nif_seshdr, usr_bytes1) == 80, "usr_bytes1");
NIF_STATIC_ASSERT(offsetof(nif_seshdr, usr_words1) == 120, "usr_words1");
NIF_STATIC_ASSERT(offsetof(nif_seshdr, filtlen) == 144, "filtlen");
NIF_STATIC_ASSERT(offsetof(nif_seshdr, usr_words2) == 152, "usr_words2");
NIF_STATIC_ASSERT(offsetof(nif_seshdr, usr_bytes2) == 192, "usr_bytes2");

NIF_STATIC_ASSERT(sizeof(nif_evthdr) == 40, "nif_evthdr is 40 bytes");
NIF_STATIC_ASSERT(offsetof(nif_evthdr, type) == 1, "type");
NIF_STATIC_ASSERT(offsetof(nif_evthdr, usr_bytes) == 2, "usr_bytes");
NIF_STATIC_ASSERT(offsetof(nif_evthdr, word1) == 8, "word1");
NIF_STATIC_ASSERT(offsetof(nif_evthdr, word2) == 16, "word2");
NIF_STATIC_ASSERT(offsetof(nif_evthdr, datalen) == 24, "datalen");
NIF_STATIC_ASSERT(offsetof(nif_evthdr, totlen) == 32, "totlen");

NIF_STATIC_ASSERT(sizeof(nif_trailer) == 40, "nif_trailer is 40 bytes");
NIF_STATIC_ASSERT(offsetof(nif_trailer, nframes) == 8, "nframes");
NIF_STATIC_ASSERT(offsetof(nif_trailer, frame_bytes) == 16, "frame_bytes");
NIF_STATIC_ASSERT(offsetof(nif_trailer, usr_word1) == 24, "usr_word1");
NIF_STATIC_ASSERT(offsetof(nif_trailer, usr_word2) == 32, "usr_word2");

NIF_STATIC_ASSERT(offsetof(nif_log, hdr) == 0, "the handle opens with the log header");

#undef NIF_STATIC_ASSERT

#ifdef __cplusplus
}
#endif

#endif /* ZERIZA_H */
