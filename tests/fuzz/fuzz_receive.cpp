// The window's receive handler on whatever the line delivers, whatever the request kind, the
// parameter row, the start text and the event counter hold. One window serves every input:
// building one takes far longer than handling a reply.
//
// An input reads from its front, so that a seed file is a few choices followed by the reply:
//   byte 0  the request kind (CmdType): 0-4 pick 0, 1, 2, 3, 5; 5-7 take an int16 from the
//           next two bytes (little-endian)
//   byte 1  the parameter row (ParamIndex): 0-4 as is, 5 gives -1, 6 gives 5, 7 takes an int16
//   byte 2  the text of txtStartID: 0-11 pick from a table; 12-15 take a length byte (0-32)
//           and that many raw bytes, read as UTF-8
//   byte 3  delivery, bits 0-1: 0 the reply arrives whole and raises one receive event;
//           1 it waits in the buffer, then an event of the code in the next four bytes is
//           raised; 2 it arrives in pieces of the size in the next byte (1-16) with the
//           threshold in the byte after, raising an event each time enough bytes wait; 3 as 0,
//           then a second receive event finds the buffer empty.
//           bit 2: the event counter starts near its largest value, bits 3-4 below it
//   rest    the bytes from the line

#include "app/frmmain.h"
#include "app/messagesink.h"
#include "tests/support/fakeserial.h"
#include "tests/support/recordingsink.h"
#include "tests/support/testfiles.h"

#include <QApplication>
#include <QByteArray>
#include <QFile>
#include <QLineEdit>
#include <QSet>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

namespace {

struct Harness {
    QTemporaryDir dir;
    RecordingSink sink;
    FakeSerialComponent* port = nullptr;
    std::unique_ptr<frmMain> window;
};

Harness* harness = nullptr;

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::int16_t int16() {
        const unsigned lo = byte();
        const unsigned hi = byte();
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | hi << 8));
    }
    std::int32_t int32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(byte()) << (8 * i);
        return static_cast<std::int32_t>(v);
    }
    QByteArray take(std::size_t n) {
        n = std::min(n, size_ - pos_);
        QByteArray bytes(reinterpret_cast<const char*>(data_ + pos_), static_cast<qsizetype>(n));
        pos_ += n;
        return bytes;
    }
    QByteArray rest() { return take(size_ - pos_); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

constexpr std::array<std::int16_t, 5> kCmdTypes = {0, 1, 2, 3, 5};
constexpr std::array<const char*, 12> kStartTexts = {"0",     "1",      "2",   "3", "-1",    "abc",
                                                     "1e400", "-1e400", "3.7", "",  "65535", " 2 "};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_receive: %s\n", what);
    std::abort();
}

// Qt repeats the same few warnings (fonts without a script's tables) for many replies; each is
// shown once, so that the log stays readable and a new kind of message still stands out.
void messageOnce(QtMsgType type, const QMessageLogContext&, const QString& message) {
    static QSet<QString> seen;
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        std::abort();
    }
    if (seen.size() < 1000 && !seen.contains(message)) {
        seen.insert(message);
        std::fprintf(stderr, "%s\n", qPrintable(message));
    }
}

void removeProgramDir() {
    if (harness)
        harness->dir.remove();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(messageOnce);
    // QApplication keeps references to its arguments, and libFuzzer's flags are not Qt's.
    static int argc = 1;
    static char name[] = "fuzz_receive";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv); // lives as long as the process

    harness = new Harness;
    if (!harness->dir.isValid())
        fail("no temporary program directory");
    if (!writeCommSet(harness->dir.path(), 1, 9600))
        fail("cannot write comm.set");
    std::atexit(removeProgramDir);

    auto fake = std::make_unique<FakeSerialComponent>();
    harness->port = fake.get();
    harness->window =
        std::make_unique<frmMain>(std::move(fake), harness->sink, harness->dir.path());
    // The stored port opens at start-up; a closed port would drop every received byte.
    if (!harness->port->portOpen())
        fail("the port did not open at start-up");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    frmMain& w = *harness->window;
    FakeSerialComponent& port = *harness->port;
    Reader in(data, size);

    // Nothing of the previous input waits in the buffer, and the fake's records do not grow.
    port.setInBufferCount(0);
    port.ops.clear();
    port.written.clear();
    harness->sink.shown.clear();

    const std::uint8_t kind = in.byte() % 8;
    w.CmdType = kind < kCmdTypes.size() ? kCmdTypes[kind] : in.int16();

    const std::uint8_t row = in.byte() % 8;
    w.ParamIndex = row <= 4 ? row : row == 5 ? -1 : row == 6 ? 5 : in.int16();

    const std::uint8_t start = in.byte() % 16;
    if (start < kStartTexts.size()) {
        w.txtStartID->setText(QString::fromLatin1(kStartTexts[start]));
    } else {
        const QByteArray raw = in.take(in.byte() % 33);
        w.txtStartID->setText(QString::fromUtf8(raw));
    }

    const std::uint8_t delivery = in.byte();
    w.RecCount =
        (delivery & 4) ? std::numeric_limits<std::int32_t>::max() - ((delivery >> 3) & 3) : 0;
    const std::int32_t countBefore = w.RecCount;

    switch (delivery & 3) {
    case 0:
    case 3: {
        const QByteArray reply = in.rest();
        port.setRThreshold(static_cast<int>(std::max<qsizetype>(reply.size(), 1)));
        port.receive(reply);
        if ((delivery & 3) == 3)
            port.raise(SerialComponent::EventReceive);
        break;
    }
    case 1: {
        const std::int32_t code = in.int32();
        port.setRThreshold(0);
        port.receive(in.rest());
        port.raise(code);
        break;
    }
    case 2: {
        const std::size_t piece = 1 + in.byte() % 16;
        port.setRThreshold(in.byte());
        const QByteArray reply = in.rest();
        for (qsizetype at = 0; at < reply.size(); at += static_cast<qsizetype>(piece))
            port.receive(reply.mid(at, static_cast<qsizetype>(piece)));
        break;
    }
    }

    // The counter counts every event and stops at its largest value rather than wrapping.
    if (w.RecCount < countBefore)
        fail("the event counter went backwards");
    if (w.lblErrCounter->text() != QString::number(w.RecCount) && w.RecCount != countBefore)
        fail("the counter label does not show the counter");
    return 0;
}
