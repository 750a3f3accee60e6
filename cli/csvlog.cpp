#include "cli/csvlog.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// The first line of the file, and whether its last byte ends a line; nothing read when empty.
struct FileStart {
    QByteArray firstLine;
    bool empty = true;
    bool endsWithNewline = true;
};

FileStart fileStart(int fd) {
    FileStart start;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_size == 0)
        return start;
    start.empty = false;
    char buffer[4096];
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, 0);
    if (got > 0) {
        const QByteArray head(buffer, got);
        const qsizetype end = head.indexOf('\n');
        start.firstLine = end < 0 ? head : head.left(end);
        if (start.firstLine.endsWith('\r'))
            start.firstLine.chop(1);
    }
    char last = '\n';
    if (::pread(fd, &last, 1, info.st_size - 1) == 1)
        start.endsWithNewline = last == '\n';
    return start;
}

std::atomic<bool> hangup{false};
struct sigaction previousHup {};

void onHangup(int) {
    hangup = true;
}

} // namespace

CsvLog::CsvLog(QString path, QByteArray header, Say say)
    : path_(std::move(path)), header_(std::move(header)), say_(std::move(say)) {}

CsvLog::~CsvLog() {
    close();
}

bool CsvLog::open(QString& error) {
    return openFile(error) == Opened::Ok;
}

CsvLog::Opened CsvLog::openFile(QString& error) {
    close();
    const QByteArray name = QFile::encodeName(path_);
    // Read and write, so that the first line can be checked on the same file that is appended
    // to; O_APPEND puts every row at the end whoever else writes the file.
    const int fd = ::open(name.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = QStringLiteral("cannot write %1: %2").arg(path_, errnoText(errno));
        return Opened::Failed;
    }
    const FileStart start = fileStart(fd);
    if (!start.empty && start.firstLine != header_) {
        ::close(fd);
        error = QStringLiteral("%1 begins with '%2', not with this log's header '%3': give "
                               "another file, or move that one away")
                    .arg(path_, QString::fromUtf8(start.firstLine.left(80)),
                         QString::fromUtf8(header_));
        return Opened::Foreign;
    }
    fd_ = fd;
    // A row cut short (by a full disk before this run) is ended, so the next row starts a line.
    const QByteArray first =
        start.empty ? header_ + '\n' : (start.endsWithNewline ? QByteArray() : "\n");
    if (!first.isEmpty() && !writeWhole(first, error)) {
        close();
        return Opened::Failed;
    }
    return Opened::Ok;
}

bool CsvLog::writeWhole(const QByteArray& bytes, QString& error) {
    ssize_t done = 0;
    int cause = 0;
    while (done < bytes.size()) {
        const ssize_t written =
            ::write(fd_, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (written <= 0) {
            cause = written < 0 ? errno : ENOSPC;
            if (cause == EINTR)
                continue;
            break;
        }
        done += written;
    }
    if (done == bytes.size())
        return true;
    // Part of a row is no row: what went in is taken back off the end (when even that fails,
    // the next open ends the cut row with a line end).
    if (done > 0) {
        struct stat info {};
        if (::fstat(fd_, &info) == 0) {
            [[maybe_unused]] const int cut = ::ftruncate(fd_, info.st_size - done);
        }
    }
    error = QStringLiteral("cannot write %1: %2").arg(path_, errnoText(cause));
    return false;
}

void CsvLog::write(const QByteArray& row) {
    hold(row);
    QString error;
    if (!writeHeld(error))
        failed(error);
}

void CsvLog::flush() {
    QString error;
    if (heldRows_ && !writeHeld(error))
        failed(error);
}

bool CsvLog::writeHeld(QString& error) {
    // A file removed under the poll would swallow every row: a new one is started instead.
    struct stat info {};
    if (fd_ >= 0 && ::fstat(fd_, &info) == 0 && info.st_nlink == 0) {
        say_(QStringLiteral("qf7320: %1 was removed; a new %1 is started").arg(path_));
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
        say_(waited > 0
                 ? QStringLiteral("qf7320: writing %1 again; the %2 rows that waited went in")
                       .arg(path_)
                       .arg(waited)
                 : QStringLiteral("qf7320: writing %1 again").arg(path_));
    }
    return true;
}

void CsvLog::hold(const QByteArray& row) {
    held_ += row;
    held_ += '\n';
    ++heldRows_;
    if (held_.size() <= kMostHeldBytes)
        return;
    // The oldest quarter goes at once, so that a file that stays full does not move the rest
    // for every row.
    qsizetype cut = 0;
    while (cut < held_.size() && held_.size() - cut > kMostHeldBytes / 4 * 3) {
        const qsizetype end = held_.indexOf('\n', cut);
        cut = end < 0 ? held_.size() : end + 1;
        --heldRows_;
        ++droppedRows_;
    }
    held_.remove(0, cut);
}

void CsvLog::failed(const QString& error) {
    if (failing_)
        return;
    failing_ = true;
    say_(QStringLiteral("qf7320: %1; polling goes on, the rows wait in memory until the file "
                        "takes them again")
             .arg(error));
}

void CsvLog::reopen() {
    close();
    QString error;
    if (openFile(error) != Opened::Ok)
        failed(error);
}

void CsvLog::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

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

} // namespace cli
