#pragma once

// A pseudo-terminal pair for tests: the test holds the master side and plays the device; the
// program under test opens the slave side by its name, usually through a COMn link.

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QTest>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

struct PtyPair {
    int master = -1;
    QString slaveName;

    PtyPair() {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return;
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        ::close(slave);
        slaveName = QString::fromLocal8Bit(name);
    }
    ~PtyPair() { closeMaster(); }
    void closeMaster() {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    void send(const QByteArray& bytes) const {
        QCOMPARE(::write(master, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    }
    // Reads `count` bytes, waiting at most `ms` milliseconds while the event loop runs so that
    // the component can write.
    QByteArray receive(int count, int ms = 3000) const {
        QByteArray bytes;
        QElapsedTimer clock;
        clock.start();
        while (bytes.size() < count && clock.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            pollfd pfd{master, POLLIN, 0};
            if (::poll(&pfd, 1, 10) == 1 && (pfd.revents & POLLIN)) {
                char buffer[256];
                const ssize_t n = ::read(master, buffer, sizeof buffer);
                if (n > 0)
                    bytes.append(buffer, int(n));
            }
        }
        return bytes;
    }
};
