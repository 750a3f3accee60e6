#include "logger/publish/store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace logger::publish {

// Where a write of `seq` or `state` or the cutting back of a partial line fails (a full disk), the
// store goes on: its result is kept as [[maybe_unused]] and nothing more is done, since the next
// start checks every segment line by line and the poll must not stop for it.

namespace {

constexpr const char* kSegmentSuffix = ".seg";

std::string errnoText() {
    return std::strerror(errno);
}

// mkdir -p
bool makeDirs(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

// Reads the whole of a small file region; short reads are retried.
bool readAt(int fd, void* data, std::size_t size, std::uint64_t offset) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = ::pread(fd, bytes, size, static_cast<off_t>(offset));
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

} // namespace

SampleStore::~SampleStore() {
    for (const int fd : {seqFd_, stateFd_, appendFd_, readFd_, lockFd_})
        if (fd >= 0)
            ::close(fd);
}

std::string SampleStore::segmentPath(std::uint64_t base) const {
    char name[40];
    std::snprintf(name, sizeof name, "/%020llu%s", static_cast<unsigned long long>(base),
                  kSegmentSuffix);
    return dir_ + name;
}

bool SampleStore::open(const std::string& dir, std::uint64_t capacity, std::string& error) {
    dir_ = dir;
    capacity_ = std::max<std::uint64_t>(capacity, 1);
    if (!makeDirs(dir_)) {
        error = "cannot make the store " + dir_ + ": " + errnoText();
        return false;
    }
    // One program at a time: two would hand out the same sequence numbers.
    lockFd_ = ::open((dir_ + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        error = lockFd_ < 0 ? "cannot use the store " + dir_ + ": " + errnoText()
                            : "the store " + dir_ +
                                  " is in use by another qf7320 poll: give "
                                  "each poll a store of its own (--mqtt-store)";
        return false;
    }

    seqFd_ = ::open((dir_ + "/seq").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    stateFd_ = ::open((dir_ + "/state").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (seqFd_ < 0 || stateFd_ < 0) {
        error = "cannot use the store " + dir_ + ": " + errnoText();
        return false;
    }
    seq_.assign(kHighestStation + 1, 0);
    readAt(seqFd_, seq_.data(), seq_.size() * sizeof(std::uint64_t), 0);
    std::uint64_t state[2] = {0, 0};
    if (readAt(stateFd_, state, sizeof state, 0)) {
        first_ = state[0];
        firstOffset_ = state[1];
    }

    // The segments there are, and how many whole records each holds.
    if (DIR* listing = ::opendir(dir_.c_str())) {
        while (const dirent* entry = ::readdir(listing)) {
            const std::string name = entry->d_name;
            if (name.size() != 20 + std::strlen(kSegmentSuffix) ||
                name.compare(20, std::string::npos, kSegmentSuffix) != 0)
                continue;
            segments_[std::stoull(name.substr(0, 20))] = {};
        }
        ::closedir(listing);
    }
    for (auto& [base, segment] : segments_) {
        const int fd = ::open(segmentPath(base).c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            continue;
        char buffer[65536];
        std::uint64_t offset = 0;
        std::uint64_t wholeEnd = 0;
        for (ssize_t got; (got = ::pread(fd, buffer, sizeof buffer, off_t(offset))) > 0;) {
            for (ssize_t i = 0; i < got; ++i)
                if (buffer[i] == '\n') {
                    ++segment.count;
                    wholeEnd = offset + std::uint64_t(i) + 1;
                }
            offset += std::uint64_t(got);
        }
        // A line cut short when the program was killed mid-write is no record.
        if (wholeEnd < offset) {
            [[maybe_unused]] const int cut = ::ftruncate(fd, off_t(wholeEnd));
        }
        segment.size = wholeEnd;
        ::close(fd);
    }
    if (segments_.empty()) {
        end_ = first_;
        firstOffset_ = 0;
    } else {
        const auto& [lastBase, last] = *segments_.rbegin();
        end_ = lastBase + last.count;
        if (first_ < segments_.begin()->first || first_ > end_) {
            first_ = segments_.begin()->first;
            firstOffset_ = 0;
        }
    }
    return true;
}

std::uint64_t SampleStore::nextSeq(int station) {
    const auto slot = static_cast<std::size_t>(std::clamp(station, 0, kHighestStation));
    const std::uint64_t seq = ++seq_[slot];
    [[maybe_unused]] const ssize_t written =
        ::pwrite(seqFd_, &seq, sizeof seq, off_t(slot * sizeof seq));
    return seq;
}

std::map<std::uint64_t, SampleStore::Segment>::iterator
SampleStore::segmentOf(std::uint64_t index) {
    auto it = segments_.upper_bound(index);
    if (it == segments_.begin())
        return segments_.end();
    return std::prev(it);
}

std::uint64_t SampleStore::append(const std::string& record) {
    // A new segment once the last is full (or there is none).
    if (segments_.empty() || segments_.rbegin()->second.count >= kSegmentRecords || appendFd_ < 0) {
        const bool fresh = segments_.empty() || segments_.rbegin()->second.count >= kSegmentRecords;
        const std::uint64_t base = fresh ? end_ : segments_.rbegin()->first;
        if (appendFd_ >= 0)
            ::close(appendFd_);
        appendFd_ =
            ::open(segmentPath(base).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        appendError_ = appendFd_ < 0 ? errno : 0;
        if (fresh)
            segments_[base] = {};
        if (appendError_)
            return 0;
    }
    const std::string line = record + '\n';
    const ssize_t written = ::write(appendFd_, line.data(), line.size());
    appendError_ = written < 0 ? errno : written != ssize_t(line.size()) ? ENOSPC : 0;
    if (appendError_) {
        // Not held: a part written is taken back off.
        if (written > 0) {
            [[maybe_unused]] const int cut =
                ::ftruncate(appendFd_, off_t(segments_.rbegin()->second.size));
        }
        return 0;
    }
    Segment& last = segments_.rbegin()->second;
    ++last.count;
    last.size += line.size();
    ++end_;

    std::uint64_t dropped = 0;
    while (held() > capacity_) {
        Cursor cursor = begin();
        std::string oldest;
        if (!read(cursor, oldest))
            break;
        first_ = cursor.index;
        firstOffset_ = cursor.offset;
        ++dropped;
    }
    if (dropped) {
        saveState();
        dropSegmentsBefore(first_);
    }
    return dropped;
}

bool SampleStore::lineAt(std::uint64_t base, std::uint64_t offset, std::string& line) {
    if (readFd_ < 0 || readBase_ != base) {
        if (readFd_ >= 0)
            ::close(readFd_);
        readFd_ = ::open(segmentPath(base).c_str(), O_RDONLY | O_CLOEXEC);
        readBase_ = base;
        if (readFd_ < 0)
            return false;
    }
    line.clear();
    char buffer[512];
    for (;;) {
        const ssize_t got = ::pread(readFd_, buffer, sizeof buffer, off_t(offset));
        if (got <= 0)
            return false;
        const char* end = static_cast<const char*>(std::memchr(buffer, '\n', std::size_t(got)));
        if (end) {
            line.append(buffer, std::size_t(end - buffer));
            return true;
        }
        line.append(buffer, std::size_t(got));
        offset += std::uint64_t(got);
    }
}

bool SampleStore::read(Cursor& cursor, std::string& record) {
    if (cursor.index < first_)
        cursor = begin();
    if (cursor.index >= end_)
        return false;
    auto segment = segmentOf(cursor.index);
    if (segment == segments_.end())
        return false;
    // The first record of a segment starts it, whatever place the cursor had in the last.
    if (cursor.index == segment->first)
        cursor.offset = 0;
    if (!lineAt(segment->first, cursor.offset, record))
        return false;
    ++cursor.index;
    cursor.offset += record.size() + 1;
    return true;
}

void SampleStore::release(const Cursor& cursor) {
    if (cursor.index <= first_)
        return;
    first_ = std::min(cursor.index, end_);
    firstOffset_ = cursor.offset;
    saveState();
    dropSegmentsBefore(first_);
}

void SampleStore::saveState() {
    const std::uint64_t state[2] = {first_, firstOffset_};
    [[maybe_unused]] const ssize_t written = ::pwrite(stateFd_, state, sizeof state, 0);
}

void SampleStore::dropSegmentsBefore(std::uint64_t index) {
    // Every segment wholly before `index`, but never the one appended to.
    while (segments_.size() > 1) {
        const auto& [base, segment] = *segments_.begin();
        if (base + segment.count > index)
            break;
        ::unlink(segmentPath(base).c_str());
        if (readFd_ >= 0 && readBase_ == base) {
            ::close(readFd_);
            readFd_ = -1;
        }
        segments_.erase(segments_.begin());
    }
}

} // namespace logger::publish
