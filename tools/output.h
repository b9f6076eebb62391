// Output files that never destroy the user's data: an output that is one of
// the inputs is refused before anything is opened for writing, and a
// regular file is written under a temporary name beside it and renamed only
// when it is complete, so that a failed run leaves no file that looks valid
// (and leaves an earlier file of that name as it was).
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ztool {

// Which file an open descriptor or a path is, for regular files only: a
// device or a pipe can be read and written at once without harm.
struct FileId {
    dev_t dev;
    ino_t ino;
    bool operator==(const FileId &) const = default;
};
std::optional<FileId> file_id(int fd);
std::optional<FileId> file_id(const std::string &path);

// An input: its name for messages and the file it is.
struct InputFile {
    std::string name;
    std::optional<FileId> id;
};

class OutputFile {
  public:
    // Opens `path` ("-" for standard output) for writing. `what` names the
    // kind of output in messages ("log", "capture"). Throws Failure when the
    // output is one of `inputs` or cannot be created.
    OutputFile(const std::string &path, const char *what, const std::vector<InputFile> &inputs);
    ~OutputFile(); // not committed: the temporary file is removed
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // The stream to write, fully buffered; it belongs to this object
    // (standard output is reached through a stream of its own, so that
    // closing it is safe).
    FILE *stream() const { return fp_; }

    // Throws Failure naming the output and the reason of the last failed
    // write, when the stream has seen one.
    void check() const;

    // Flush and close the stream and give the file its name. Throws Failure
    // when anything written was lost.
    void commit();

    const std::string &path() const { return path_; }

    // "capture out.pcap", "log on standard output": for messages.
    std::string describe() const;

  private:
    void open(const std::vector<InputFile> &inputs);
    [[noreturn]] void fail(int err) const;

    std::string path_;
    const char *what_;
    std::string temp_; // the name written under until commit, or empty
    std::unique_ptr<char[]> buf_;
    FILE *fp_ = nullptr;
};

} // namespace ztool
