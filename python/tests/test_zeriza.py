"""The Python package against the C library, as the zeriza tool speaks for it.

ZERIZA_TOOL and ZERIZA_SAMPLE name the built tool and sample writer (CTest
sets them); the verdicts, messages and logs of the package are compared with
the tool's on the project's generated capture.
"""

import concurrent.futures
import io
import os
import struct
import subprocess

import numpy as np
import pytest

import zeriza

TOOL = os.environ.get("ZERIZA_TOOL", "zeriza")
SAMPLE = os.environ.get("ZERIZA_SAMPLE", "zeriza-sample")

FILTERS = ["IP", "TCP SD=80", "(TCP DST<1024) | (UDP SD=53)", "ARP", "^(IP)", "LLC",
           "SNAP ETYPE=2048", "IP SRC=10.0.0.0/8", "TCP F=S^A", "ETH SRC=2:0:0:0:0:1"]


def tool(*args, **kw):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, **kw)


def read_pcap(path):
    """(seconds, fraction, data, original length) for each frame of a pcap file."""
    with open(path, "rb") as f:
        raw = f.read()
    order = "<" if raw[:4] in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1") else ">"
    frames, at = [], 24
    while at < len(raw):
        sec, frac, caplen, origlen = struct.unpack(order + "IIII", raw[at:at + 16])
        frames.append((sec, frac, raw[at + 16:at + 16 + caplen], origlen))
        at += 16 + caplen
    return frames


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    path = tmp_path_factory.mktemp("sample") / "sample.pcap"
    subprocess.run([SAMPLE, path, "240"], check=True, capture_output=True)
    return path


def passed_by_tool(capture, text, tmp_path):
    out = tmp_path / "passed.pcap"
    assert tool("match", text, "-r", capture, "-w", out).returncode == 0
    return [f[2] for f in read_pcap(out)]


@pytest.mark.parametrize("text", FILTERS)
def test_verdicts_are_the_libraries(sample, tmp_path, text):
    frames = [f[2] for f in read_pcap(sample)]
    f = zeriza.compile(text)
    expected = passed_by_tool(sample, text, tmp_path)
    assert [fr for fr in frames if f.match(fr)] == expected
    verdicts = f.match_many(frames)
    assert verdicts.dtype == np.bool_ and len(verdicts) == len(frames)
    assert [fr for fr, v in zip(frames, verdicts) if v] == expected


def test_every_bytes_like_frame(sample):
    f = zeriza.compile("TCP SD=80")
    frame = next(fr for _, _, fr, _ in read_pcap(sample) if f.match(fr))
    kinds = [frame, bytearray(frame), memoryview(frame), np.frombuffer(frame, dtype=np.uint8)]
    assert all(f.match(k) for k in kinds)
    assert list(f.match_many(kinds)) == [True] * 4
    # Nothing past a frame is read: a frame cut anywhere is judged on its bytes.
    assert [f.match(frame[:n]) for n in range(len(frame))] == list(
        f.match_many([frame[:n] for n in range(len(frame))]))
    with pytest.raises(BufferError):
        f.match(memoryview(frame)[::2])
    with pytest.raises(TypeError):
        f.match("not bytes")


@pytest.mark.parametrize("text", ["TCP SD=x", "TCP & UDP", "((TCP)", "IP SRC=256.1.1.1/8", ""])
def test_filter_errors_carry_the_librarys_message(text):
    told = tool("compile", text)
    assert told.returncode == 1
    with pytest.raises(zeriza.FilterError) as e:
        zeriza.compile(text)
    assert "zeriza: bad filter: " + str(e.value) + "\n" == told.stderr.decode()


def test_short_forms():
    assert zeriza.short("10.1.1.1:80") == tool("short", "10.1.1.1:80").stdout.decode().strip()
    with pytest.raises(zeriza.FilterError):
        zeriza.short(":")


def test_stored_nodes_round_trip_and_corrupt_ones_are_refused():
    f = zeriza.compile("(TCP SD=80) | (UDP SD=53)")
    assert len(f) == 3 and len(bytes(f)) == 3 * 112
    assert str(f) == tool("compile", f.text).stdout.decode()
    again = zeriza.Filter.from_bytes(bytes(f))
    assert bytes(again) == bytes(f) and str(again) == str(f)
    for bad, message in [(bytes(f)[:200], "Filter size 200 is not a positive multiple of 112 bytes"),
                         (b"", "Filter size 0 is not a positive multiple of 112 bytes")]:
        with pytest.raises(zeriza.FilterError, match=message):
            zeriza.Filter.from_bytes(bad)
    nodes = bytearray(bytes(f))
    nodes[112 + 108] = 1  # an atom that claims a child
    with pytest.raises(zeriza.FilterError):
        zeriza.Filter.from_bytes(bytes(nodes))


def test_a_log_written_by_python_is_read_by_the_tool(sample, tmp_path):
    frames = read_pcap(sample)
    web = zeriza.compile("TCP SD=80")
    log = tmp_path / "py.log"
    with zeriza.LogWriter(log, sessions=3) as w:
        s = w.session(web, capture=str(sample))
        for sec, usec, data, orig in frames[:50]:
            w.write_frame(s, data, sec, usec * 1000, orig)
        s = w.session(None, capture="second")
        w.write_frame(s, frames[0][2][:20], 7, 8, orig_len=100)
    dump = tool("dump", log)
    assert dump.returncode == 0, dump.stderr
    text = dump.stdout.decode()
    assert "session 1: capture %s, link type 1 (code 4)" % sample in text
    assert "filter 'TCP SD=80'" in text and "session 3 trailer: 0 frames" in text
    assert text.endswith("counts agree\n")
    out = tmp_path / "back.pcap"
    assert tool("export", log, "-w", out, "--session", 1).returncode == 0
    assert [(f[0], f[1] * 1000, f[2], f[3]) for f in read_pcap(out)] == \
        [(s, u * 1000, d, o) for s, u, d, o in frames[:50]]
    # To a binary file object, the same bytes but the time of writing.
    buf = io.BytesIO()
    with zeriza.LogWriter(buf) as w:
        w.write_frame(w.session(web), frames[0][2], 1, 2)
    assert [e.type for e in zeriza.LogReader(io.BytesIO(buf.getvalue()))] == [1, 3]


def test_a_log_recorded_by_the_tool_is_read_by_python(sample, tmp_path):
    log = tmp_path / "tool.log"
    assert tool("record", "-r", sample, "-r", sample, "-w", log, "UDP").returncode == 0
    expected = [f for f in read_pcap(sample) if zeriza.compile("UDP").match(f[2])]
    with open(log, "rb") as f:
        r = zeriza.LogReader(f)
    events = list(r)
    assert [s.capture for s in r.sessions] == [str(sample)] * 2
    assert all(s.filter_text == "UDP" and bytes(s.filter) == bytes(zeriza.compile("UDP"))
               for s in r.sessions)
    for ses in (0, 1):
        got = [e for e in events if e.session == ses and e.type == zeriza.FRAME]
        assert [(e.ts_sec, e.ts_nsec, e.data, e.orig_len) for e in got] == \
            [(s, u * 1000, d, o) for s, u, d, o in expected]


def test_a_cut_log_yields_its_whole_events_then_says_where_it_ends(sample, tmp_path):
    log, cut = tmp_path / "whole.log", tmp_path / "cut.log"
    assert tool("record", "-r", sample, "-w", log).returncode == 0
    raw = log.read_bytes()
    whole = list(zeriza.LogReader(log))
    for end in (len(raw) - 1, len(raw) // 2, 300, 15, 3):
        cut.write_bytes(raw[:end])
        told = tool("dump", "-q", cut).stderr.decode().splitlines()[-1]
        got = []
        with pytest.raises(zeriza.LogError) as e:
            for event in zeriza.LogReader(cut):
                got.append(event)
        assert "zeriza: " + str(e.value) == told
        assert got == whole[:len(got)]
        # The frames export gets out of the cut log are those Python yielded.
        tool("export", cut, "-w", tmp_path / "x.pcap")
        frames = [e for e in got if e.type == zeriza.FRAME]
        assert [f[2] for f in read_pcap(tmp_path / "x.pcap")] == [e.data for e in frames]


def test_threads_compile_and_match_at_once(sample):
    frames = [f[2] for f in read_pcap(sample)]
    expected = {t: list(zeriza.compile(t).match_many(frames)) for t in FILTERS}

    def work(i):
        text = FILTERS[i % len(FILTERS)]
        return text, list(zeriza.compile(text).match_many(frames))

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        for text, verdicts in pool.map(work, range(200)):
            assert verdicts == expected[text]


def test_a_log_that_cannot_be_written_says_why(tmp_path):
    with pytest.raises(zeriza.LogError, match="cannot write log .*no/such/dir"):
        zeriza.LogWriter(tmp_path / "no" / "such" / "dir" / "x.log")

    class Full(io.RawIOBase):
        def write(self, b):
            raise OSError(28, "No space left on device")

    with pytest.raises(zeriza.LogError, match="No space left on device"):
        with zeriza.LogWriter(Full()) as w:
            w.write_frame(w.session(), b"x" * 20000, 1, 2)
    with pytest.raises(zeriza.LogError, match="opened for 1 sessions"):
        with zeriza.LogWriter(io.BytesIO()) as w:
            w.session()
            w.session()
