// The logger left alone with a bad line, a bad broker and a bad disk, as scripts/soak-cli runs it.
//
//   qf7320-soak-cli storm MINUTES [SEED]
//     qf7320 poll -s 1-3 --period 100 --csv --mqtt against the simulator (three stations) and a
//     mosquitto broker of its own, calm for 5 s, then for MINUTES a seeded chaos: the
//     simulator killed and started again (the adapter lost), the broker stopped and started
//     again, the CSV file moved away and SIGHUP sent (logrotate), and the filesystem of the CSV
//     and the MQTT store filled for a while (a small tmpfs; where mounting is not allowed, a
//     file-size limit set on the poll). Then everything is put right, and it checks that every
//     sample the poll took is in the CSV files exactly once, that every seq of every station
//     reached the broker, and that the poll's descriptors and threads are where they were at the
//     start, and its memory where it was after the warm-up (the first fifth of the faults, at most
//     a minute).
//
//   qf7320-soak-cli steady SAMPLES [POLL OPTION...]
//     qf7320 poll --period 0 at 115200 baud for SAMPLES samples, to a CSV file, with the poll
//     options given (--gap 0, say): the growth of its memory from after the warm-up to the end.
//
// Exits 0 when every check holds, 1 otherwise; the figures go to standard output.

#include "tests/support/mosquittoprocess.h"
#include "tests/support/simprocess.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <map>
#include <random>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// How much the poll's memory may grow from the warm-up to the end. Under the sanitizers freed
// memory waits in a quarantine and per-thread caches before it is used again, so the figure
// moves by a few MB whatever the program does; a leak there is LeakSanitizer's to report when
// the poll ends.
#ifdef QF_SANITIZED
constexpr long kStormGrowthKiB = 8192;
#else
constexpr long kStormGrowthKiB = 1024;
#endif

const QString kProgram = QStringLiteral(QF_CLI_PATH);

// Ctrl-C or SIGTERM ends a run early, with its children stopped and its filesystem unmounted.
volatile std::sig_atomic_t interrupted = 0;

void onInterrupt(int) {
    interrupted = 1;
}

// What a process holds, read from /proc.
struct Resources {
    long rssKiB = -1;
    int fds = -1;
    int threads = -1;
};

Resources resourcesOf(qint64 pid) {
    Resources resources;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                resources.rssKiB = line.mid(6).trimmed().split(' ').value(0).toLong();
            else if (line.startsWith("Threads:"))
                resources.threads = line.mid(8).trimmed().toInt();
        }
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    if (fds.exists())
        resources.fds =
            int(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
    return resources;
}

void print(const char* when, const Resources& r) {
    std::printf("%-10s rss %7.1f MB  descriptors %3d  threads %2d\n", when, r.rssKiB / 1024.0,
                r.fds, r.threads);
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QByteArray> linesOf(const QByteArray& text) {
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// Runs the event loop for `ms`, or until `done` holds.
bool waitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return true;
}

// One row of the poll's own output: "TIME  station N  LUX lx  LATENCY ms  STATUS".
struct Row {
    QByteArray time;
    int station = 0;
    QByteArray status;
};

QList<Row> pollRows(const QByteArray& output) {
    QList<Row> rows;
    for (const QByteArray& line : linesOf(output)) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() >= 5 && words[1] == "station")
            rows.append({words[0], words[2].toInt(), words.last()});
    }
    return rows;
}

// ---- storm ----

class Storm {
public:
    Storm(double minutes, unsigned seed) : minutes_(minutes), random_(seed), seed_(seed) {}
    ~Storm() {
        // Lazily: the poll may still hold its files there until it is stopped.
        if (mounted_)
            ::umount2(QFile::encodeName(disk_).constData(), MNT_DETACH);
    }
    int run();

private:
    enum Fault { AdapterLost, BrokerRestart, Rotation, DiskFull, kFaults };
    static constexpr const char* kNames[kFaults] = {"adapter lost", "broker restarted",
                                                    "CSV rotated", "disk full"};

    double exponential(double meanSeconds) {
        return std::exponential_distribution<double>(1.0 / meanSeconds)(random_);
    }
    double uniform(double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(random_);
    }
    qint64 ms(double seconds) const { return qint64(seconds * 1000); }

    bool startSim() {
        sim_.logToFile(work_.filePath(QStringLiteral("sim.log")));
        return sim_.start({QStringLiteral("--station"), QStringLiteral("1,2,3")});
    }
    bool startSubscriber() {
        if (subscriber_.process.state() != QProcess::NotRunning)
            return true;
        subscriber_.process.setStandardOutputFile(work_.filePath(QStringLiteral("broker.txt")),
                                                  QIODevice::Append);
        return subscriber_.start(broker_, QStringLiteral("soak/+/state"),
                                 QStringLiteral("soak-checker"));
    }
    bool setUpDisk();
    void fillDisk();
    void emptyDisk();
    void restore(int fault);
    void tick(qint64 now);
    bool putRight();
    int check(const Resources& start, const Resources& warm, const Resources& end);

    double minutes_;
    std::mt19937 random_;
    unsigned seed_;
    QTemporaryDir work_;
    QString disk_; // the CSV's filesystem
    bool mounted_ = false;
    SimProcess sim_;
    MosquittoProcess broker_;
    MqttSubscriber subscriber_;
    QProcess poll_;
    QByteArray pollOut_;
    QByteArray pollErr_;

    // Per fault: when it strikes next, and when what it broke is put right (0: not broken).
    qint64 next_[kFaults] = {};
    qint64 until_[kFaults] = {};
    int count_[kFaults] = {};
    int rotations_ = 0;
    rlim_t savedLimit_ = RLIM_INFINITY;
    long peakKiB_ = 0;
};

bool Storm::setUpDisk() {
    disk_ = work_.filePath(QStringLiteral("disk"));
    if (!QDir().mkpath(disk_))
        return false;
    // 16 MB holds a 30-minute run's CSV files many times over; the filler takes what is left.
    mounted_ = ::mount("tmpfs", QFile::encodeName(disk_).constData(), "tmpfs", 0,
                       "size=16m,mode=0755") == 0;
    std::printf("CSV and store on %s\n",
                mounted_ ? "a 16 MB tmpfs, filled to make writes fail"
                         : "the temporary directory (mounting not allowed here): "
                           "a file-size limit on the poll makes writes fail");
    return true;
}

void Storm::fillDisk() {
    if (!mounted_) {
        // Nothing more may go into the CSV file: the limit is its present size.
        const struct rlimit limit {
            rlim_t(QFileInfo(disk_ + QStringLiteral("/log.csv")).size()), RLIM_INFINITY
        };
        struct rlimit old {};
        ::prlimit(pid_t(poll_.processId()), RLIMIT_FSIZE, &limit, &old);
        savedLimit_ = old.rlim_cur;
        return;
    }
    const QByteArray path = QFile::encodeName(disk_ + QStringLiteral("/filler"));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    static const QByteArray block(64 * 1024, 'f');
    for (qsizetype size = block.size(); fd >= 0 && size > 0; size /= 2)
        while (::write(fd, block.constData(), size_t(size)) == ssize_t(size)) {
        }
    if (fd >= 0)
        ::close(fd);
}

void Storm::emptyDisk() {
    if (!mounted_) {
        const struct rlimit limit { savedLimit_, RLIM_INFINITY };
        ::prlimit(pid_t(poll_.processId()), RLIMIT_FSIZE, &limit, nullptr);
        return;
    }
    QFile::remove(disk_ + QStringLiteral("/filler"));
}

// Puts right what a fault broke.
void Storm::restore(int fault) {
    until_[fault] = 0;
    switch (fault) {
    case AdapterLost:
        if (!startSim())
            std::printf("the simulator did not start again:\n%s\n", sim_.log.constData());
        break;
    case BrokerRestart:
        if (!broker_.start() || !startSubscriber())
            std::printf("the broker did not start again:\n%s\n", broker_.log.constData());
        break;
    case DiskFull:
        emptyDisk();
        break;
    default:
        break;
    }
}

// One look at the chaos: what is due to be put right is, what is due strikes. A fault strikes
// again a random time after what it broke was put right: at least kLeastGap, then exponential.
// The adapter stays in at least 0.6 s, so that the poll (which opens the port again 0.5 s after
// it went) finds it back and nearly every loss is one it sees.
void Storm::tick(qint64 now) {
    static constexpr double kLeastGap[kFaults] = {0.6, 1.0, 1.0, 5.0};   // seconds
    static constexpr double kMeanGap[kFaults] = {0.5, 12.0, 20.0, 45.0}; // seconds
    for (int fault = 0; fault < kFaults; ++fault) {
        if (until_[fault] && now >= until_[fault]) {
            restore(fault);
            next_[fault] = now + ms(kLeastGap[fault] + exponential(kMeanGap[fault]));
        }
        if (until_[fault] || now < next_[fault])
            continue;
        ++count_[fault];
        next_[fault] = now + ms(kLeastGap[fault] + exponential(kMeanGap[fault]));
        switch (fault) {
        case AdapterLost:
            sim_.kill(); // SIGKILL: the pseudo-terminal goes as an unplugged adapter does
            until_[fault] = now + ms(uniform(0.05, 0.6));
            break;
        case BrokerRestart:
            broker_.stop(); // SIGTERM: the broker saves its sessions, as on a restart
            until_[fault] = now + ms(uniform(0.2, 4.0));
            break;
        case Rotation: {
            const QString csv = disk_ + QStringLiteral("/log.csv");
            QFile::rename(csv,
                          csv + QStringLiteral(".%1").arg(++rotations_, 4, 10, QLatin1Char('0')));
            ::kill(pid_t(poll_.processId()), SIGHUP);
            break;
        }
        case DiskFull:
            fillDisk();
            until_[fault] = now + ms(uniform(2.0, 12.0));
            break;
        default:
            break;
        }
    }
}

// Everything back as it should be: the simulator and the broker up, the disk with room.
bool Storm::putRight() {
    for (int fault = 0; fault < kFaults; ++fault)
        if (until_[fault])
            restore(fault);
    return sim_.process.state() == QProcess::Running &&
           broker_.process.state() == QProcess::Running;
}

int Storm::run() {
    if (!setUpDisk())
        return 1;
    if (!startSim() || !broker_.start() || !startSubscriber()) {
        std::printf("could not start the simulator or the broker:\n%s\n%s\n", sim_.log.constData(),
                    broker_.log.constData());
        return 1;
    }
    // Its output comes through pipes, which no full disk or file-size limit touches.
    QObject::connect(&poll_, &QProcess::readyReadStandardOutput,
                     [this] { pollOut_ += poll_.readAllStandardOutput(); });
    QObject::connect(&poll_, &QProcess::readyReadStandardError,
                     [this] { pollErr_ += poll_.readAllStandardError(); });
    poll_.start(kProgram,
                {QStringLiteral("--port"), sim_.link, QStringLiteral("poll"), QStringLiteral("-s"),
                 QStringLiteral("1-3"), QStringLiteral("--period"), QStringLiteral("100"),
                 QStringLiteral("--csv"), disk_ + QStringLiteral("/log.csv"),
                 QStringLiteral("--mqtt"), broker_.url(QStringLiteral("soak")),
                 QStringLiteral("--mqtt-store"), disk_ + QStringLiteral("/store")});
    if (!poll_.waitForStarted(10000)) {
        std::printf("qf7320 did not start\n");
        return 1;
    }
    const qint64 pid = poll_.processId();
    std::printf("seed %u, %.1f minutes of faults after 5 calm seconds\n", seed_, minutes_);

    // The start, calm: the port open, the broker connected, the file open. Its descriptors and
    // threads are what the end must show, in the same state.
    waitFor([] { return false; }, 5000);
    const Resources start = resourcesOf(pid);
    print("start", start);

    QElapsedTimer clock;
    clock.start();
    const qint64 span = ms(minutes_ * 60);
    // The warm-up: a fifth of the faults (at most a minute), in which every path the poll takes
    // through them allocates what it keeps; memory is measured from there.
    const qint64 warmUp = std::min<qint64>(span / 5, 60000);
    Resources warm;
    // The first of each fault within the first fifth, so that a short run sees every kind.
    for (int fault = 0; fault < kFaults; ++fault)
        next_[fault] = ms(uniform(0, std::min(span / 5000.0, 10.0)));
    qint64 report = 10000;
    while (clock.elapsed() < span && poll_.state() == QProcess::Running && !interrupted) {
        tick(clock.elapsed());
        if (warm.rssKiB < 0 && clock.elapsed() >= warmUp) {
            warm = resourcesOf(pid);
            peakKiB_ = warm.rssKiB;
            print("warm-up", warm);
        }
        if (clock.elapsed() >= report) {
            report += 10000;
            const Resources now = resourcesOf(pid);
            peakKiB_ = std::max(peakKiB_, now.rssKiB);
            std::printf(
                "%5llds     rss %7.1f MB  descriptors %3d  threads %2d  faults %d/%d/%d/%d\n",
                clock.elapsed() / 1000, now.rssKiB / 1024.0, now.fds, now.threads, count_[0],
                count_[1], count_[2], count_[3]);
            std::fflush(stdout);
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
        if (subscriber_.process.state() == QProcess::NotRunning && !until_[BrokerRestart])
            startSubscriber(); // it ends when the broker goes
    }
    if (interrupted) {
        std::printf("interrupted\n");
        return 1;
    }
    if (poll_.state() != QProcess::Running) {
        std::printf("the poll ended on its own:\n%s\n", pollErr_.constData());
        return 1;
    }
    if (!putRight()) {
        std::printf("could not put the line and the broker right\n");
        return 1;
    }

    // Settled: the port is back (the poll tries it at most every 10 s), the stored samples are
    // delivered.
    const QString received = work_.filePath(QStringLiteral("broker.txt"));
    const bool settled = waitFor(
        [&] {
            if (subscriber_.process.state() == QProcess::NotRunning)
                startSubscriber();
            const QList<Row> rows = pollRows(pollOut_);
            if (rows.size() < 3)
                return false;
            for (qsizetype i = rows.size() - 3; i < rows.size(); ++i)
                if (rows[i].status != "ok")
                    return false;
            return linesOf(contents(received)).size() + 60 >= rows.size();
        },
        30000);
    if (!settled)
        std::printf("not settled after 30 s: polling or delivery still behind\n");
    const Resources end = resourcesOf(pid);
    print("end", end);
    peakKiB_ = std::max(peakKiB_, end.rssKiB);

    ::kill(pid_t(pid), SIGTERM);
    if (!poll_.waitForFinished(15000)) {
        std::printf("the poll did not end on SIGTERM\n");
        poll_.kill();
        return 1;
    }
    pollOut_ += poll_.readAllStandardOutput();
    pollErr_ += poll_.readAllStandardError();
    const qsizetype taken = pollRows(pollOut_).size();
    waitFor([&] { return linesOf(contents(received)).size() >= taken; }, 15000);
    return check(start, warm, end) + (settled ? 0 : 1) > 0 ? 1 : 0;
}

int Storm::check(const Resources& start, const Resources& warm, const Resources& end) {
    int failures = 0;
    const QByteArray& err = pollErr_;
    const QList<Row> rows = pollRows(pollOut_);

    // The poll's own output: one row per station per cycle, stations in turn.
    int outOfTurn = 0;
    for (qsizetype i = 0; i < rows.size(); ++i)
        outOfTurn += rows[i].station != int(i % 3) + 1;
    std::map<QByteArray, int> statuses;
    for (const Row& row : rows)
        ++statuses[row.status];
    std::printf("\n%lld samples in %lld cycles:", qint64(rows.size()), qint64(rows.size() / 3));
    for (const auto& [status, n] : statuses)
        std::printf(" %s %d", status.constData(), n);
    std::printf("\n");
    if (outOfTurn) {
        std::printf("FAIL: %d rows out of turn\n", outOfTurn);
        ++failures;
    }

    // The CSV files, rotated ones included: every sample exactly once, as the poll showed it.
    QHash<QByteArray, int> seen; // "time,station" -> times found
    QHash<QByteArray, QByteArray> statusOf;
    QHash<QByteArray, QStringList> where; // the files and lines that hold each sample
    bool shown = false;
    for (const Row& row : rows) {
        const QByteArray key = row.time + ',' + QByteArray::number(row.station);
        seen.insert(key, 0);
        statusOf.insert(key, row.status);
    }
    int files = 0;
    int partial = 0;
    int foreign = 0;
    int wrongStatus = 0;
    const QStringList names =
        QDir(disk_).entryList({QStringLiteral("log.csv*")}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        ++files;
        const QList<QByteArray> lines = linesOf(contents(disk_ + QLatin1Char('/') + name));
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (i == 0 && lines[i] == "time,station,lux,latency_ms,status")
                continue;
            const QList<QByteArray> fields = lines[i].split(',');
            if (fields.size() != 5) {
                ++partial;
                continue;
            }
            const QByteArray key = fields[0] + ',' + fields[1];
            const auto found = seen.find(key);
            if (found == seen.end()) {
                ++foreign;
                continue;
            }
            ++*found;
            where[key] << QStringLiteral("%1:%2").arg(name).arg(i + 1);
            if (std::getenv("QF_SOAK_SHOW") && *found > 1 && std::exchange(shown, true) == false)
                for (qsizetype k = std::max<qsizetype>(0, i - 6); k <= i && k < lines.size(); ++k)
                    std::printf("    %s\n", lines[k].constData());
            wrongStatus += statusOf.value(key) != fields[4];
        }
    }
    int missing = 0;
    int twice = 0;
    for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
        missing += it.value() == 0;
        twice += it.value() > 1;
        // The first few, to look for in the files and the poll's output.
        if (it.value() > 1 && twice <= 5)
            std::printf("  %s: %d times (%s)\n", it.key().constData(), it.value(),
                        qPrintable(where.value(it.key()).join(QStringLiteral(", "))));
    }
    std::printf("CSV: %d files, %lld rows expected: %d missing, %d more than once, %d not taken by "
                "the poll, %d cut short, %d with another status\n",
                files, qint64(rows.size()), missing, twice, foreign, partial, wrongStatus);
    if (missing || twice || foreign || partial || wrongStatus || rows.isEmpty()) {
        std::printf("FAIL: the CSV files do not hold every sample exactly once\n");
        ++failures;
    }

    // The broker: every seq of every station, with the time of its sample.
    QHash<int, QHash<qint64, QByteArray>> delivered; // station -> seq -> time
    int duplicates = 0;
    for (const QByteArray& line : linesOf(contents(work_.filePath(QStringLiteral("broker.txt"))))) {
        const QJsonObject object =
            QJsonDocument::fromJson(line.mid(line.indexOf(' ') + 1)).object();
        auto& station = delivered[object.value(QStringLiteral("station")).toInt()];
        const qint64 seq = object.value(QStringLiteral("seq")).toInteger();
        duplicates += station.contains(seq);
        station.insert(seq, object.value(QStringLiteral("time")).toString().toUtf8());
    }
    int absent = 0;
    int mismatched = 0;
    QHash<int, qint64> seq;
    for (const Row& row : rows) {
        const qint64 n = ++seq[row.station];
        const auto found = delivered[row.station].constFind(n);
        if (found == delivered[row.station].constEnd())
            ++absent;
        else
            mismatched += *found != row.time;
    }
    std::printf("broker: %lld samples published: %d missing, %d with another time, %d delivered "
                "twice (allowed)\n",
                qint64(rows.size()), absent, mismatched, duplicates);
    if (absent || mismatched) {
        std::printf("FAIL: not every seq reached the broker\n");
        ++failures;
    }

    // Resources: descriptors and threads as at the start, memory flat after the warm-up.
    std::printf("RSS peak %.1f MB; from the warm-up to the end: %+ld KiB; from the start to the "
                "end: descriptors %d -> %d, "
                "threads %d -> %d\n",
                peakKiB_ / 1024.0, end.rssKiB - warm.rssKiB, start.fds, end.fds, start.threads,
                end.threads);
    if (end.fds != start.fds || end.threads != start.threads ||
        end.rssKiB - warm.rssKiB > kStormGrowthKiB) {
        std::printf("FAIL: the poll's resources grew\n");
        ++failures;
    }

    std::printf("faults:");
    for (int fault = 0; fault < kFaults; ++fault) {
        std::printf(" %s %d%s", kNames[fault], count_[fault], fault + 1 < kFaults ? "," : "\n");
        if (!count_[fault]) {
            std::printf("FAIL: no %s\n", kNames[fault]);
            ++failures;
        }
    }
    const auto lost =
        QRegularExpression(QStringLiteral("port lost (\\d+) time")).match(QString::fromUtf8(err));
    std::printf("the poll counted the port lost %s times, said %lld times that the CSV file and "
                "%lld times that the store could not be written\n",
                lost.hasMatch() ? qPrintable(lost.captured(1)) : "0",
                qint64(err.count("cannot write " + QFile::encodeName(disk_) + "/log.csv")),
                qint64(err.count("cannot write the store")));
    if (poll_.exitStatus() != QProcess::NormalExit || poll_.exitCode() != 0 ||
        err.contains("Sanitizer")) {
        std::printf("FAIL: the poll ended with status %d:\n%s\n", poll_.exitCode(),
                    err.right(4000).constData());
        ++failures;
    }
    std::printf(failures ? "FAILED\n" : "passed\n");
    return failures;
}

// ---- steady ----

int steady(long long samples, const QStringList& extra) {
    SimProcess sim;
    sim.logToFile(sim.dir.filePath(QStringLiteral("sim.log")));
    if (!sim.start({QStringLiteral("--baud"), QStringLiteral("115200")})) {
        std::printf("the simulator did not start:\n%s\n", sim.log.constData());
        return 1;
    }
    const QString csv = sim.dir.filePath(QStringLiteral("log.csv"));
    QProcess poll;
    poll.setStandardOutputFile(QProcess::nullDevice());
    poll.setStandardErrorFile(sim.dir.filePath(QStringLiteral("poll.err")));
    const QStringList args{QStringLiteral("--port"),
                           sim.link,
                           QStringLiteral("-b"),
                           QStringLiteral("115200"),
                           QStringLiteral("poll"),
                           QStringLiteral("--period"),
                           QStringLiteral("0"),
                           QStringLiteral("--samples"),
                           QString::number(samples),
                           QStringLiteral("--csv"),
                           csv};
    poll.start(kProgram, args + extra);
    if (!poll.waitForStarted(10000))
        return 1;
    const qint64 pid = poll.processId();
    QElapsedTimer clock;
    clock.start();
    Resources warm;
    Resources last;
    long peak = 0;
    qint64 report = 0;
    while (poll.state() == QProcess::Running && !interrupted) {
        poll.waitForFinished(1000);
        const Resources now = resourcesOf(pid);
        if (now.rssKiB < 0)
            break;
        last = now;
        if (warm.rssKiB < 0 && clock.elapsed() >= 10000) {
            warm = now;
            print("warm-up", warm);
        }
        if (warm.rssKiB >= 0)
            peak = std::max(peak, now.rssKiB);
        if (clock.elapsed() >= report) {
            report += 60000;
            std::printf("%5llds     rss %7.1f MB  descriptors %3d  threads %2d  CSV %lld MB\n",
                        clock.elapsed() / 1000, now.rssKiB / 1024.0, now.fds, now.threads,
                        QFileInfo(csv).size() >> 20);
            std::fflush(stdout);
        }
    }
    if (interrupted) {
        std::printf("interrupted\n");
        return 1;
    }
    poll.waitForFinished(-1);
    const double seconds = clock.elapsed() / 1000.0;
    print("end", last);
    const QList<QByteArray> rows = linesOf(contents(csv));
    const qsizetype ok = std::count_if(rows.begin(), rows.end(),
                                       [](const QByteArray& row) { return row.endsWith(",ok"); });
    std::printf("%lld samples (%lld ok) in %.0f s, %.0f a second; RSS from the warm-up to the "
                "end %+ld KiB, at most %+ld KiB\n",
                qint64(rows.size() - 1), qint64(ok), seconds, (rows.size() - 1) / seconds,
                last.rssKiB - warm.rssKiB, peak - warm.rssKiB);
    const bool passed = rows.size() - 1 == samples && warm.rssKiB >= 0 &&
                        last.rssKiB - warm.rssKiB < 1024 && poll.exitCode() == 0;
    std::printf(passed ? "passed\n" : "FAILED\n");
    return passed ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[]) {
    // A small quarantine for the sanitizer build: the default one holds up to 256 MB of freed
    // memory, which would hide real growth behind its own.
    if (qEnvironmentVariableIsEmpty("ASAN_OPTIONS"))
        qputenv("ASAN_OPTIONS", "quarantine_size_mb=1:thread_local_quarantine_size_kb=64");
    QCoreApplication app(argc, argv);
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const QStringList args = app.arguments().mid(1);
    const QString mode = args.value(0);
    bool ok = false;
    if (mode == QLatin1String("storm")) {
        const double minutes = args.value(1, QStringLiteral("1")).toDouble(&ok);
        const unsigned seed = args.size() > 2 ? args[2].toUInt() : 1;
        if (ok && minutes > 0)
            return Storm(minutes, seed).run();
    } else if (mode == QLatin1String("steady")) {
        const long long samples = args.value(1, QStringLiteral("1000000")).toLongLong(&ok);
        if (ok && samples > 0)
            return steady(samples, args.mid(2));
    }
    std::fprintf(stderr,
                 "usage: qf7320-soak-cli storm MINUTES [SEED] | steady SAMPLES [POLL OPTION...]\n");
    return 2;
}
