"""zeriza for Python: compiled packet filters, matching at C speed, capture logs.

    >>> import zeriza
    >>> web = zeriza.compile("(TCP SD=80) | (UDP SD=80)")
    >>> web.match(frame)                    # one bytes-like frame
    >>> web.match_many(frames)              # numpy bool array, one library call

Logs are written and read in the layout of ``zeriza record``, so that the
tool and Python programs read each other's logs.
"""

from __future__ import annotations

import os
from typing import BinaryIO, Iterator, NamedTuple, Optional, Union

from ._zeriza import (  # noqa: F401  (re-exported)
    ETHERNET,
    FDDI,
    HDLC,
    IEEE802_3,
    RAW_IPV4,
    Filter,
    FilterError,
    LogError,
    _LogWriter,
    _read_log,
    compile,
    short,
)

__all__ = [
    "ETHERNET", "FDDI", "HDLC", "IEEE802_3", "RAW_IPV4", "Filter", "FilterError", "LogError",
    "LogEvent", "LogReader", "LogWriter", "Session", "compile", "short",
]

Target = Union[str, "os.PathLike[str]", BinaryIO]

FRAME = 1  # event type of a captured frame
CLOSE = 3  # event type that closes a session read to its end
ABORT = 4  # event type that closes a session stopped early


class LogEvent(NamedTuple):
    """One event of a log: a frame (type 1) or the event closing a session."""

    session: int
    type: int
    ts_sec: int
    ts_nsec: int
    data: bytes
    orig_len: int


class Session(NamedTuple):
    """The header fields of a log session, as ``zeriza record`` fills them."""

    index: int
    capture: str  # path of the capture, or name of the interface
    interface: bool  # whether the frames were captured live on `capture`
    link: int  # the library's link-type code the frames were matched under
    dlt: int  # pcap link type
    snaplen: int
    filter: Optional[Filter]
    filter_text: str  # cut to 39 bytes
    recorded: int  # Unix seconds


class LogWriter:
    """Write a capture log.

    ``sessions`` is the number of sessions the log holds (its header says it
    before any of them is written); sessions follow one another, opening the
    next one closes the one before, and leaving the ``with`` block closes the
    open one, writes any never opened as empty, and closes the log.
    """

    def __init__(self, target: Target, sessions: int = 1) -> None:
        self._w = _LogWriter(target, sessions)

    def session(self, filter: Optional[Filter] = None, link: int = ETHERNET, capture: str = "",
                dlt: Optional[int] = None, snaplen: int = 262144) -> int:
        """Open the next session (its header carries `filter`) and return its index."""
        return self._w.session(filter, link, capture, dlt, snaplen)

    def write_frame(self, session: int, data: bytes, ts_sec: int, ts_nsec: int,
                    orig_len: Optional[int] = None) -> None:
        """Write a frame (a type-1 event) to the open session."""
        self._w.write_frame(session, data, ts_sec, ts_nsec, orig_len)

    def close(self) -> None:
        self._w.close()

    def __enter__(self) -> "LogWriter":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class LogReader:
    """Read a capture log of either byte order.

    Iterating yields every event as a :class:`LogEvent`; a log that is
    damaged or cut short yields every whole event before the damage, then
    raises :class:`LogError` saying at which byte it ends and why.
    """

    def __init__(self, target: Target) -> None:
        sessions, events, self._problem = _read_log(target)
        self.sessions = [
            Session(index=s["index"], capture=s["capture"], interface=s["interface"],
                    link=s["link"], dlt=s["dlt"], snaplen=s["snaplen"],
                    filter=None if s["filter"] is None else Filter.from_bytes(s["filter"]),
                    filter_text=s["filter_text"], recorded=s["recorded"])
            for s in sessions
        ]
        self._events = events

    def __iter__(self) -> Iterator[LogEvent]:
        for e in self._events:
            yield LogEvent(*e)
        if self._problem is not None:
            raise LogError(self._problem)

    def __enter__(self) -> "LogReader":
        return self

    def __exit__(self, *exc: object) -> None:
        pass
