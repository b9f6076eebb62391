// How the zeriza tool fills the caller-defined fields of a capture log, so
// that `record` writes and `dump` and `export` read them the same way.
//
// Layout of a log the tool records: the log header, then for each input
// capture in order (or the one interface captured on): its session header (with the compiled
// filter), one type-1 event per passing frame, and a type-3 event that closes the session (the
// library writes the trailer after it).
//
//   session header  usr_bytes0[72]  path of the capture or name of the
//                                   interface, NUL-terminated, cut
//                   usr_word0       pcap link type (DLT) of the capture
//                   usr_bytes1[40]  filter text, NUL-terminated, cut
//                   usr_words1[0]   library link-type code the frames were
//                                   matched under (4: Ethernet and cooked;
//                                   129: raw IP and loopback)
//                   usr_words1[1]   snapshot length of the capture
//                   usr_words2[0]   when the session was recorded (Unix seconds)
//                   usr_words2[1]   what usr_bytes0 names (Source)
//                   usr_bytes2[24]  "zeriza" and the tool's version
//   type-1 event    word1, word2    frame timestamp: seconds, nanoseconds
//                   datalen         captured length (the frame follows)
//                   totlen          original length on the wire
//   type-3 event    word1           frames read from the capture, passing or not
//   trailer         usr_word0       frames read from the capture, as above
//                   usr_word1       why the session ended (SessionEnd)
//
// A session whose capture was read to its end is closed by a type-3 event;
// one that was closed before (the -c count reached, a stop signal, a read
// error, or an earlier session's stop, with no frame read), and every live
// capture, which has no end of its own, by a type-4 event with the same
// fields.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "zeriza.h"

namespace ztool {

constexpr int kEvtFrame = NIF_EVT_FRAME;
constexpr int kEvtClose = NIF_EVT_CLOSE;
constexpr int kEvtEarly = NIF_EVT_ABORT;

// Why a session ended: the trailer's usr_word1.
enum class SessionEnd : int64_t {
    Complete = 0,  // the capture was read to its end
    Count = 1,     // the -c count of frames was reached
    Signal = 2,    // SIGINT or SIGTERM
    ReadError = 3, // the capture could not be read on
    Duration = 4,  // the --duration of a live capture was over
};

// What a session header's usr_bytes0 names: usr_words2[1].
enum class Source : int64_t {
    File = 0,      // a capture file ("-": standard input)
    Interface = 1, // a live capture on that interface
};

inline const char *describe(SessionEnd e)
{
    switch (e) {
    case SessionEnd::Complete:
        return "read to its end";
    case SessionEnd::Count:
        return "stopped at the frame count";
    case SessionEnd::Signal:
        return "interrupted";
    case SessionEnd::ReadError:
        return "stopped by a read error";
    case SessionEnd::Duration:
        return "stopped at the duration";
    }
    return "ended for an unknown reason";
}

// Store text in a fixed field, cut to leave room for the NUL.
template <size_t N> void put_text(unsigned char (&field)[N], const std::string &text)
{
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

// Text from a fixed field, which may come from any writer: never past it.
template <size_t N> std::string get_text(const unsigned char (&field)[N])
{
    const auto *end = static_cast<const unsigned char *>(std::memchr(field, 0, N));
    return std::string(reinterpret_cast<const char *>(field), end ? end - field : N);
}

} // namespace ztool
