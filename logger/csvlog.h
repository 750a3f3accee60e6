#pragma once

// The CSV file a poll logs to, as a logger keeps one: appended to rather than replaced, every
// row written whole in one write and on disk before the next sample, closed and opened again on
// request (logrotate's SIGHUP), and a failed write (a full disk) said once instead of ending the
// poll: the rows that could not go in wait in memory, in order, and go in ahead of the next row
// once the file takes rows again.

#include <cstddef>
#include <functional>
#include <string>

namespace logger {

class CsvLog {
public:
    using Say = std::function<void(const std::string& text)>;

    // `path` in UTF-8; `header` the first line, without its line end.
    CsvLog(std::string path, std::string header, Say say);
    ~CsvLog();
    CsvLog(const CsvLog&) = delete;
    CsvLog& operator=(const CsvLog&) = delete;

    // Opens the file for appending. A new or empty file gets the header; a file that begins
    // with the header is appended to; a file that begins with anything else is refused and left
    // as it is. False with the reason in `error` when the file cannot be used.
    bool open(std::string& error);

    // Writes one row (without its line end), after the rows still waiting. A failure is said
    // once, until rows go in again; the row waits, and the next row tries again, opening the
    // file afresh when it was not open. Beyond kMostHeldBytes waiting, the oldest rows are let
    // go and counted.
    void write(const std::string& row);

    // Tries once more to write the rows still waiting (as a poll ends).
    void flush();

    // Closes the file and opens it again at its path, as after logrotate moved it away: a new
    // file gets the header.
    void reopen();

    // Rows that are not in the file: let go, or still waiting.
    long long failedRows() const { return droppedRows_ + heldRows_; }
    long long heldRows() const { return heldRows_; }

    // About 100,000 rows: days of a station a second, hours of a busy bus.
    static constexpr std::size_t kMostHeldBytes = 8 << 20;
    const std::string& path() const { return path_; }

private:
    enum class Opened { Ok, Foreign, Failed };
    Opened openFile(std::string& error);
    bool writeWhole(const std::string& bytes, std::string& error);
    bool writeHeld(std::string& error);
    void hold(const std::string& row);
    void close();
    void failed(const std::string& error);

    std::string path_;
    std::string header_;
    Say say_;
    int fd_ = -1;
    std::string held_; // whole rows waiting, each with its line end, the oldest first
    long long heldRows_ = 0;
    long long droppedRows_ = 0;
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

} // namespace logger
