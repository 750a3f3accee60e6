#include "logger/csvlog.h"

#include "platform/text.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include "platform/files.h"

#include <io.h>
#include <share.h>
#else
#include <unistd.h>
#endif

namespace logger {

namespace {

std::string errnoText(int error) {
    return text::validUtf8(std::strerror(error));
}

// The few file calls the log makes, on a descriptor, the same on POSIX and Windows.
#ifdef _WIN32
int openForAppending(const std::string& path) {
    int fd = -1;
    ::_wsopen_s(&fd, platform::wide(path).c_str(),
                _O_RDWR | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                _S_IREAD | _S_IWRITE);
    return fd;
}

long long readAt(int fd, char* buffer, std::size_t size, long long offset) {
    if (::_lseeki64(fd, offset, SEEK_SET) < 0)
        return -1;
    return ::_read(fd, buffer, static_cast<unsigned>(size));
}

long long writeSome(int fd, const char* data, std::size_t size) {
    return ::_write(fd, data, static_cast<unsigned>(size));
}

// The file's size, and how many names it has (0 once it is removed).
bool fileInfo(int fd, long long& size, long long& links) {
    struct _stat64 info {};
    if (::_fstat64(fd, &info) != 0)
        return false;
    size = info.st_size;
    links = info.st_nlink;
    return true;
}

void truncateTo(int fd, long long size) {
    ::_chsize_s(fd, size);
}

void closeFile(int fd) {
    ::_close(fd);
}
#else
int openForAppending(const std::string& path) {
    return ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

long long readAt(int fd, char* buffer, std::size_t size, long long offset) {
    return ::pread(fd, buffer, size, static_cast<off_t>(offset));
}

long long writeSome(int fd, const char* data, std::size_t size) {
    return ::write(fd, data, size);
}

bool fileInfo(int fd, long long& size, long long& links) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return false;
    size = info.st_size;
    links = static_cast<long long>(info.st_nlink);
    return true;
}

void truncateTo(int fd, long long size) {
    [[maybe_unused]] const int cut = ::ftruncate(fd, static_cast<off_t>(size));
}

void closeFile(int fd) {
    ::close(fd);
}
#endif

// The first line of the file, and whether its last byte ends a line; nothing read when empty.
struct FileStart {
    std::string firstLine;
    bool empty = true;
    bool endsWithNewline = true;
};

FileStart fileStart(int fd) {
    FileStart start;
    long long size = 0;
    long long links = 0;
    if (!fileInfo(fd, size, links) || size == 0)
        return start;
    start.empty = false;
    char buffer[4096];
    const long long got = readAt(fd, buffer, sizeof buffer, 0);
    if (got > 0) {
        const std::string head(buffer, static_cast<std::size_t>(got));
        start.firstLine = head.substr(0, head.find('\n'));
        if (!start.firstLine.empty() && start.firstLine.back() == '\r')
            start.firstLine.pop_back();
    }
    char last = '\n';
    if (readAt(fd, &last, 1, size - 1) == 1)
        start.endsWithNewline = last == '\n';
    return start;
}

#ifndef _WIN32
std::atomic<bool> hangup{false};
struct sigaction previousHup {};

void onHangup(int) {
    hangup = true;
}
#endif

} // namespace

CsvLog::CsvLog(std::string path, std::string header, Say say)
    : path_(std::move(path)), header_(std::move(header)), say_(std::move(say)) {}

CsvLog::~CsvLog() {
    close();
}

bool CsvLog::open(std::string& error) {
    return openFile(error) == Opened::Ok;
}

CsvLog::Opened CsvLog::openFile(std::string& error) {
    close();
    // Read and write, so that the first line can be checked on the same file that is appended
    // to; O_APPEND puts every row at the end whoever else writes the file.
    const int fd = openForAppending(path_);
    if (fd < 0) {
        error = text::format("cannot write %1: %2", {path_, errnoText(errno)});
        return Opened::Failed;
    }
    const FileStart start = fileStart(fd);
    if (!start.empty && start.firstLine != header_) {
        closeFile(fd);
        error = text::format("%1 begins with '%2', not with this log's header '%3': give "
                             "another file, or move that one away",
                             {path_, text::validUtf8(start.firstLine.substr(0, 80)), header_});
        return Opened::Foreign;
    }
    fd_ = fd;
    // A row cut short (by a full disk before this run) is ended, so the next row starts a line.
    const std::string first =
        start.empty ? header_ + '\n' : (start.endsWithNewline ? std::string() : "\n");
    if (!first.empty() && !writeWhole(first, error)) {
        close();
        return Opened::Failed;
    }
    return Opened::Ok;
}

bool CsvLog::writeWhole(const std::string& bytes, std::string& error) {
    const auto size = static_cast<long long>(bytes.size());
    long long done = 0;
    int cause = 0;
    while (done < size) {
        const long long written =
            writeSome(fd_, bytes.data() + done, static_cast<std::size_t>(size - done));
        if (written <= 0) {
            cause = written < 0 ? errno : ENOSPC;
            if (cause == EINTR)
                continue;
            break;
        }
        done += written;
    }
    if (done == size)
        return true;
    // Part of a row is no row: what went in is taken back off the end (when even that fails,
    // the next open ends the cut row with a line end).
    long long fileSize = 0;
    long long links = 0;
    if (done > 0 && fileInfo(fd_, fileSize, links))
        truncateTo(fd_, fileSize - done);
    error = text::format("cannot write %1: %2", {path_, errnoText(cause)});
    return false;
}

void CsvLog::write(const std::string& row) {
    hold(row);
    std::string error;
    if (!writeHeld(error))
        failed(error);
}

void CsvLog::flush() {
    std::string error;
    if (heldRows_ && !writeHeld(error))
        failed(error);
}

bool CsvLog::writeHeld(std::string& error) {
    // A file removed under the poll would swallow every row: a new one is started instead.
    long long size = 0;
    long long links = 1;
    if (fd_ >= 0 && fileInfo(fd_, size, links) && links == 0) {
        say_(text::format("qf7320: %1 was removed; a new %1 is started", {path_}));
        close();
    }
    if (fd_ < 0 && openFile(error) != Opened::Ok)
        return false;
    if (!writeWhole(held_, error))
        return false;
    const long long waited = heldRows_ - 1;
    held_.clear();
    heldRows_ = 0;
    if (failing_) {
        failing_ = false;
        say_(waited > 0 ? text::format("qf7320: writing %1 again; the %2 rows that waited went in",
                                       {path_, waited})
                        : text::format("qf7320: writing %1 again", {path_}));
    }
    return true;
}

void CsvLog::hold(const std::string& row) {
    held_ += row;
    held_ += '\n';
    ++heldRows_;
    if (held_.size() <= kMostHeldBytes)
        return;
    // The oldest quarter goes at once, so that a file that stays full does not move the rest
    // for every row.
    std::size_t cut = 0;
    while (cut < held_.size() && held_.size() - cut > kMostHeldBytes / 4 * 3) {
        const std::size_t end = held_.find('\n', cut);
        cut = end == std::string::npos ? held_.size() : end + 1;
        --heldRows_;
        ++droppedRows_;
    }
    held_.erase(0, cut);
}

void CsvLog::failed(const std::string& error) {
    if (failing_)
        return;
    failing_ = true;
    say_(text::format("qf7320: %1; polling goes on, the rows wait in memory until the file "
                      "takes them again",
                      {error}));
}

void CsvLog::reopen() {
    close();
    std::string error;
    if (openFile(error) != Opened::Ok)
        failed(error);
}

void CsvLog::close() {
    if (fd_ >= 0)
        closeFile(fd_);
    fd_ = -1;
}

// Windows has no SIGHUP: there a log is never rotated under a running poll.
#ifndef _WIN32
HangupSignal::HangupSignal() {
    hangup = false;
    struct sigaction action {};
    action.sa_handler = onHangup;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGHUP, &action, &previousHup);
}

HangupSignal::~HangupSignal() {
    ::sigaction(SIGHUP, &previousHup, nullptr);
}

bool HangupSignal::take() {
    return hangup.exchange(false);
}
#else
HangupSignal::HangupSignal() = default;
HangupSignal::~HangupSignal() = default;

bool HangupSignal::take() {
    return false;
}
#endif

} // namespace logger
