#pragma once

// The CSV file a poll logs to, as a logger keeps one: appended to rather than replaced, every
// row written whole in one write and on disk before the next sample, closed and opened again on
// request (logrotate's SIGHUP), and a failed write said once and tried again with the next row
// instead of ending the poll.

#include <QByteArray>
#include <QString>

#include <functional>

namespace cli {

class CsvLog {
public:
    using Say = std::function<void(const QString& text)>;

    CsvLog(QString path, QByteArray header, Say say);
    ~CsvLog();
    CsvLog(const CsvLog&) = delete;
    CsvLog& operator=(const CsvLog&) = delete;

    // Opens the file for appending. A new or empty file gets the header; a file that begins
    // with the header is appended to; a file that begins with anything else is refused and left
    // as it is. False with the reason in `error` when the file cannot be used.
    bool open(QString& error);

    // Writes one row (without its line end). A failure is said once, until a row goes in again,
    // and counted; the next row tries again, opening the file afresh when it was not open.
    void write(const QByteArray& row);

    // Closes the file and opens it again at its path, as after logrotate moved it away: a new
    // file gets the header.
    void reopen();

    long long failedRows() const { return failedRows_; }
    const QString& path() const { return path_; }

private:
    enum class Opened { Ok, Foreign, Failed };
    Opened openFile(QString& error);
    bool writeWhole(const QByteArray& bytes, QString& error);
    void close();
    void failed(const QString& error);

    QString path_;
    QByteArray header_;
    Say say_;
    int fd_ = -1;
    long long failedRows_ = 0;
    bool failing_ = false; // a failure has been said and no row has gone in since
};

// SIGHUP as a request to reopen the log file, taken between two samples. Until this object is
// gone, SIGHUP no longer ends the program.
class HangupSignal {
public:
    HangupSignal();
    ~HangupSignal();
    HangupSignal(const HangupSignal&) = delete;
    HangupSignal& operator=(const HangupSignal&) = delete;

    // True once for every SIGHUP (several before a call count as one).
    bool take();
};

} // namespace cli
