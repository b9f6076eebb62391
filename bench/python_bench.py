"""Benchmark of zeriza's Python matching against the C batch entry point and dpkt.

Run from the repository root, after a build into build/:

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py [CAPTURE.pcap]

Frames come from CAPTURE.pcap when given, else from ../shared/captures/ether_all.pcap
when it exists, else from a capture made by build/tools/zeriza-sample (20000 frames).
For each filter it prints ns/frame of Filter.match_many, of Filter.match in a Python
loop, of a hand-written check over dpkt parsing, and of nif_filt_match_batch called
through ctypes, then the ratios match_many/C-batch (target <= 3x) and
dpkt/match_many (target >= 50x).
"""

import ctypes
import glob
import os
import subprocess
import sys
import tempfile
import time

import dpkt

import zeriza

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
SHARED = os.path.join(ROOT, "..", "shared", "captures", "ether_all.pcap")
REPS = 7          # repetitions of the fast measurements; the best one counts
DPKT_MAX = 20000  # dpkt is slow: at most this many frames (the first ones) go through it


def read_pcap(path):
    with open(path, "rb") as f:
        return [bytes(buf) for _, buf in dpkt.pcap.Reader(f)]


def load_frames():
    if len(sys.argv) > 1:
        return sys.argv[1], read_pcap(sys.argv[1])
    if os.path.exists(SHARED):
        return os.path.normpath(SHARED) + " (shared capture)", read_pcap(SHARED)
    tool = os.path.join(BUILD, "tools", "zeriza-sample")
    print(f"{SHARED} not found: generating frames with {tool}")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "sample.pcap")
        subprocess.run([tool, out, "20000"], check=True, stdout=subprocess.DEVNULL)
        return "zeriza-sample, 20000 generated frames", read_pcap(out)


def load_c_batch():
    """nif_filt_match_batch from the shared library, its host layer loaded first."""
    def find(*patterns):
        for pat in patterns:
            hits = sorted(glob.glob(os.path.join(BUILD, "**", pat), recursive=True))
            if hits:
                return hits[0]
        sys.exit(f"no {' or '.join(patterns)} under {BUILD}")
    ctypes.CDLL(find("libzeriza-host.so*"), mode=ctypes.RTLD_GLOBAL)
    lib = ctypes.CDLL(find("zeriza.so.1", "libzeriza.so*"))
    fn = lib.nif_filt_match_batch
    fn.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p),
                   ctypes.POINTER(ctypes.c_int32), ctypes.c_int32, ctypes.c_int32,
                   ctypes.c_uint32, ctypes.c_char_p]
    fn.restype = ctypes.c_int32
    return fn


def best_ns(fn, reps):
    """Best wall time in ns of `reps` calls of fn(), and fn's last result."""
    best, result = None, None
    for _ in range(reps):
        t0 = time.perf_counter_ns()
        result = fn()
        dt = time.perf_counter_ns() - t0
        best = dt if best is None else min(best, dt)
    return best, result


def hand_check(kind, port):
    """IPv4 in Ethernet II carrying `kind` (TCP or UDP) with either port == `port`."""
    def check(buf):
        try:
            eth = dpkt.ethernet.Ethernet(buf)
        except Exception:  # dpkt raises several kinds on cut or odd frames
            return False
        ip = eth.data
        if eth.type != dpkt.ethernet.ETH_TYPE_IP or not isinstance(ip, dpkt.ip.IP):
            return False
        l4 = ip.data
        return isinstance(l4, kind) and (l4.sport == port or l4.dport == port)
    return check


def main():
    source, frames = load_frames()
    n = len(frames)
    sub = frames[:DPKT_MAX]
    print(f"frames: {n} from {source}; dpkt runs over the first {len(sub)}")
    print("the dpkt version checks the common case only (IPv4 in Ethernet II); the library's "
          "rule\nalso takes IPv4 in SNAP and sees a header only within the IP total length\n")

    batch = load_c_batch()
    ptrs = (ctypes.c_char_p * n)(*frames)
    lens = (ctypes.c_int32 * n)(*(len(f) for f in frames))
    verdicts = ctypes.create_string_buffer(n)

    cases = [("TCP SD=80", hand_check(dpkt.tcp.TCP, 80)),
             ("UDP SD=53", hand_check(dpkt.udp.UDP, 53))]
    print(f"{'filter':<10} {'match_many':>10} {'match':>8} {'dpkt':>8} {'C batch':>8}   ns/frame")
    ratios, counts = [], []
    for text, check in cases:
        flt = zeriza.compile(text)
        fbytes = bytes(flt)
        t_many, res = best_ns(lambda: flt.match_many(frames, link=zeriza.ETHERNET,
                                                     header=True), REPS)
        t_one, _ = best_ns(lambda: [flt.match(f) for f in frames], REPS)
        t_c, c_pass = best_ns(lambda: batch(fbytes, ptrs, lens, n, zeriza.ETHERNET, 1,
                                            verdicts), REPS)
        t_dpkt, hand = best_ns(lambda: [check(f) for f in sub], 3)
        many, one, hd, cb = t_many / n, t_one / n, t_dpkt / len(sub), t_c / n
        print(f"{text:<10} {many:>10.1f} {one:>8.1f} {hd:>8.1f} {cb:>8.1f}")
        ratios.append((text, many / cb, hd / many))
        lib_sub = [bool(v) for v in res[:len(sub)]]
        same_c = verdicts.raw == res.astype("uint8").tobytes()
        counts.append(f"{text}: library {int(res.sum())}/{n}, C batch {c_pass}/{n} "
                      f"({'same' if same_c else 'DIFFERENT'} verdicts); on the dpkt subset "
                      f"library {sum(lib_sub)}, hand {sum(hand)}, "
                      f"{sum(a != b for a, b in zip(lib_sub, hand))} frames differ")
    print(f"(best of {REPS} runs over all frames; dpkt best of 3)\n")
    print("frames passed:\n  " + "\n  ".join(counts) + "\n")
    for text, many_c, dpkt_many in ratios:
        print(f"{text}: match_many / C batch = {many_c:.2f}x (target <= 3x: "
              f"{'met' if many_c <= 3 else 'NOT met'}); dpkt / match_many = {dpkt_many:.0f}x "
              f"(target >= 50x: {'met' if dpkt_many >= 50 else 'NOT met'})")


if __name__ == "__main__":
    main()
