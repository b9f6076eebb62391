// What the log writer and reader share: opening the stream, its buffer, the
// sessions array, and the checks of a session index.
#pragma once

#include <cstdint>

#include "zeriza.h"

namespace zeriza {

constexpr int kLogHdrSize = 15;
constexpr int kSesHdrSize = 216;
constexpr int kEvtHdrSize = 40;
constexpr int kTrailerSize = 40;
constexpr int8_t kMajor = 3;
constexpr int8_t kMinor = 1;
constexpr uint16_t kOrderMark = 0x1234;

// Open `path` with `mode` unless the caller gave a stream. False with a
// message when there is no stream to use.
bool open_stream(nif_log *log, const char *mode);

// Make the stream fully buffered with the caller's buffer or one of the
// library's, when bufsize is not 0.
bool set_buffer(nif_log *log, char *buf, int bufsize);

// A zero-filled array of `nses` session records, owned by the library.
bool alloc_sessions(nif_log *log, int nses);

// The session record of index `ses`, or null with a message when the handle
// has no such session.
nif_session *session_at(nif_log *log, int ses);

} // namespace zeriza
