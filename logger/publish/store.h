#pragma once

// Samples on their way to a broker, on disk, so that none is lost while the broker cannot be
// reached, nor when the program is killed meanwhile and started again on the same store.
//
// A directory holds segment files of up to kSegmentRecords records each, one record a line,
// named by the index of their first record; `state` holds the index and place of the oldest
// record not yet delivered; `seq` the last sequence number given to each station, so a station's
// numbers go on across runs and never repeat. A record is appended in one write before the
// sample is handed on, so a killed program loses nothing it had taken (a line cut short by a
// crash is taken off at the next start). Memory does not grow with the records held: they are
// read back from disk (the page cache) as they are delivered.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace logger::publish {

class SampleStore {
public:
    static constexpr std::uint64_t kSegmentRecords = 1000;
    static constexpr int kHighestStation = 247;

    // A place in the store: a record's index, and where its line starts in its segment.
    struct Cursor {
        std::uint64_t index = 0;
        std::uint64_t offset = 0;
    };

    SampleStore() = default;
    ~SampleStore();
    SampleStore(const SampleStore&) = delete;
    SampleStore& operator=(const SampleStore&) = delete;

    // Opens (creating) the directory, which one program at a time may use; `capacity` is the
    // most records held. False with the reason in `error`.
    bool open(const std::string& dir, std::uint64_t capacity, std::string& error);

    // The next sequence number of a station, 1 for its first sample in this store.
    std::uint64_t nextSeq(int station);

    // Appends one record (a line without its end); the oldest records are dropped to keep
    // within the capacity: how many, returned. A record that cannot be written (a full disk) is
    // not held: appendError() then tells why.
    std::uint64_t append(const std::string& record);
    int appendError() const { return appendError_; } // errno of the last append, 0 when held

    // Reads the record at `cursor` and moves the cursor past it; false at the end. A cursor
    // behind the oldest record held (dropped meanwhile) first moves to the oldest.
    bool read(Cursor& cursor, std::string& record);

    // Everything before `cursor` has been delivered and is let go.
    void release(const Cursor& cursor);

    Cursor begin() const { return {first_, firstOffset_}; }
    std::uint64_t held() const { return end_ - first_; }
    std::uint64_t end() const { return end_; }
    const std::string& dir() const { return dir_; }

private:
    struct Segment {
        std::uint64_t count = 0; // records
        std::uint64_t size = 0;  // bytes
    };
    std::string segmentPath(std::uint64_t base) const;
    std::map<std::uint64_t, Segment>::iterator segmentOf(std::uint64_t index);
    bool lineAt(std::uint64_t base, std::uint64_t offset, std::string& line);
    void saveState();
    void dropSegmentsBefore(std::uint64_t index);

    std::string dir_;
    std::uint64_t capacity_ = 0;
    int lockFd_ = -1;
    int seqFd_ = -1;
    int stateFd_ = -1;
    int appendFd_ = -1; // the last segment
    int appendError_ = 0;
    int readFd_ = -1; // the segment read last, and its base
    std::uint64_t readBase_ = 0;
    std::map<std::uint64_t, Segment> segments_; // by the index of their first record
    std::vector<std::uint64_t> seq_;
    std::uint64_t first_ = 0;
    std::uint64_t firstOffset_ = 0;
    std::uint64_t end_ = 0;
};

} // namespace logger::publish
