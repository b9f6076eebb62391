#include "output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "report.h"

namespace ztool {

namespace {

std::optional<FileId> regular(int rc, const struct stat &st)
{
    if (rc != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}

mode_t creation_mode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

} // namespace

std::optional<FileId> file_id(int fd)
{
    struct stat st;
    return regular(fstat(fd, &st), st);
}

std::optional<FileId> file_id(const std::string &path)
{
    struct stat st;
    return regular(stat(path.c_str(), &st), st);
}

namespace {

// Large writes, few system calls: output is written in this many bytes.
constexpr size_t kBufferSize = size_t{1} << 18;

} // namespace

OutputFile::OutputFile(const std::string &path, const char *what,
                       const std::vector<InputFile> &inputs)
    : path_(path), what_(what)
{
    open(inputs);
    buf_ = std::make_unique<char[]>(kBufferSize);
    std::setvbuf(fp_, buf_.get(), _IOFBF, kBufferSize);
}

void OutputFile::open(const std::vector<InputFile> &inputs)
{
    const bool to_stdout = path_ == "-";
    if (auto id = to_stdout ? file_id(STDOUT_FILENO) : file_id(path_))
        for (const InputFile &in : inputs)
            if (in.id == id)
                throw Failure("refusing to write " + describe() + ": it is the input " + in.name);

    if (to_stdout) {
        int fd = dup(STDOUT_FILENO);
        if (fd < 0 || !(fp_ = fdopen(fd, "w"))) {
            int err = errno;
            if (fd >= 0)
                close(fd);
            fail(err);
        }
        return;
    }
    // A device, a pipe or a link is written where it is; a regular file, new
    // or not, under a temporary name in its own folder until it is whole.
    struct stat st;
    const bool exists = lstat(path_.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        errno = 0;
        if (!(fp_ = std::fopen(path_.c_str(), "w")))
            fail(errno);
        return;
    }
    std::filesystem::path p(path_);
    temp_ = (p.parent_path() / ("." + p.filename().string() + ".zeriza-XXXXXX")).string();
    int fd = mkstemp(temp_.data());
    if (fd < 0) {
        int err = errno;
        temp_.clear();
        fail(err);
    }
    // The mode a plain open would have given: the old file's, or the umask's.
    fchmod(fd, exists ? st.st_mode & 07777 : creation_mode());
    if (!(fp_ = fdopen(fd, "w"))) {
        int err = errno;
        close(fd);
        unlink(temp_.c_str()); // a constructor that throws gets no destructor
        temp_.clear();
        fail(err);
    }
}

OutputFile::~OutputFile()
{
    if (fp_)
        std::fclose(fp_);
    if (!temp_.empty())
        unlink(temp_.c_str());
}

std::string OutputFile::describe() const
{
    return std::string(what_) + (path_ == "-" ? " on standard output" : " " + path_);
}

void OutputFile::fail(int err) const
{
    throw Failure("cannot write " + describe() + ": " + errno_text(err ? err : EIO));
}

void OutputFile::check() const
{
    if (std::ferror(fp_))
        fail(errno);
}

void OutputFile::commit()
{
    errno = 0;
    bool flushed = std::fflush(fp_) == 0 && !std::ferror(fp_);
    int err = errno;
    if (std::fclose(fp_) != 0 && flushed) {
        flushed = false;
        err = errno;
    }
    fp_ = nullptr;
    if (!flushed)
        fail(err);
    if (!temp_.empty()) {
        if (std::rename(temp_.c_str(), path_.c_str()) != 0)
            fail(errno);
        temp_.clear();
    }
}

} // namespace ztool
