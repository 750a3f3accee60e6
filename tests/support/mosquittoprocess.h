#pragma once

// A mosquitto broker of the test's own: a free loopback port, a configuration written into a
// temporary directory (optionally with a password file and a TLS certificate made there), its
// persistence kept there so that a stop and a start on the same port keep the subscribers'
// sessions. Also a subscriber (mosquitto_sub) whose lines are collected. Never the machine's own
// broker.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

// A loopback TCP port: a free one (port 0), or whether something listens on `port`. A free one
// is picked below the kernel's range of ephemeral ports: a broker stopped and started again on
// its port must not find it taken meanwhile by a connection or a test that bound port 0.
inline int loopbackPort(int port = 0) {
    if (port == 0) {
        constexpr int kFirst = 20000;
        constexpr int kCount = 12000; // below 32768, where Linux's ephemeral ports begin
        // Another place for each call, so that two brokers made before either starts differ.
        static int calls = 0;
        const int start = kFirst + static_cast<int>((::getpid() * 7919L + calls++ * 101L) % kCount);
        for (int i = 0; i < kCount; ++i) {
            const int candidate = kFirst + (start - kFirst + i * 97) % kCount;
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<std::uint16_t>(candidate));
            const bool free =
                ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            ::close(fd);
            if (free)
                return candidate;
        }
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t size = sizeof address;
    int result = -1;
    if (port == 0) {
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            result = ntohs(address.sin_port);
    } else if (::connect(fd, reinterpret_cast<sockaddr*>(&address), size) == 0) {
        result = port;
    }
    ::close(fd);
    return result;
}

class MosquittoProcess {
public:
    QTemporaryDir dir;
    QProcess process;
    int port;
    QString user; // with a password file when set
    QString password;
    bool tls = false; // a self-signed certificate for localhost and 127.0.0.1
    QString certificate = dir.filePath(QStringLiteral("broker.crt"));

    MosquittoProcess() : port(loopbackPort()) {}
    MosquittoProcess(const MosquittoProcess&) = delete;
    MosquittoProcess& operator=(const MosquittoProcess&) = delete;
    ~MosquittoProcess() { stop(); }

    // Writes the configuration (and the password file and certificate it names) and starts the
    // broker; true once it accepts connections.
    bool start() {
        if (!configured_ && !configure()) {
            log += "cannot write the configuration";
            return false;
        }
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("mosquitto"),
                      {QStringLiteral("-c"), dir.filePath(QStringLiteral("mosquitto.conf"))});
        if (!process.waitForStarted(5000))
            return false;
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && process.state() == QProcess::Running) {
            if (loopbackPort(port) == port)
                return true;
            process.waitForFinished(20);
        }
        log += process.readAll();
        return false;
    }

    // SIGTERM: the broker saves its sessions and retained messages, and ends.
    void stop() {
        if (process.state() == QProcess::NotRunning)
            return;
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(5000);
        }
        log += process.readAll();
    }

    QString url(const QString& prefix, const QString& who = {}) const {
        return (tls ? QStringLiteral("mqtts://") : QStringLiteral("mqtt://")) +
               (who.isEmpty() ? QString() : who + QLatin1Char('@')) +
               QStringLiteral("127.0.0.1:%1/").arg(port) + prefix;
    }

    QByteArray log;

private:
    bool configure() {
        QStringList conf{QStringLiteral("listener %1 127.0.0.1").arg(port),
                         QStringLiteral("persistence true"),
                         QStringLiteral("persistence_location %1/").arg(dir.path()),
                         QStringLiteral("autosave_interval 0")};
        // Started as root, mosquitto would become the user mosquitto, who cannot read this
        // directory: it stays who the test is.
        if (const passwd* self = ::getpwuid(::getuid()))
            conf << QStringLiteral("user %1").arg(QString::fromLocal8Bit(self->pw_name));
        if (user.isEmpty()) {
            conf << QStringLiteral("allow_anonymous true");
        } else {
            const QString passwords = dir.filePath(QStringLiteral("passwords"));
            QFile(passwords).open(QIODevice::WriteOnly);
            if (QProcess::execute(QStringLiteral("mosquitto_passwd"),
                                  {QStringLiteral("-b"), passwords, user, password}) != 0)
                return false;
            conf << QStringLiteral("allow_anonymous false")
                 << QStringLiteral("password_file %1").arg(passwords);
        }
        if (tls) {
            const QString key = dir.filePath(QStringLiteral("broker.key"));
            QProcess openssl;
            openssl.setStandardOutputFile(QProcess::nullDevice());
            openssl.setStandardErrorFile(QProcess::nullDevice());
            openssl.start(QStringLiteral("openssl"),
                          {QStringLiteral("req"), QStringLiteral("-x509"),
                           QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                           QStringLiteral("-nodes"), QStringLiteral("-keyout"), key,
                           QStringLiteral("-out"), certificate, QStringLiteral("-days"),
                           QStringLiteral("2"), QStringLiteral("-subj"),
                           QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
                           QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1")});
            if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
                return false;
            conf << QStringLiteral("certfile %1").arg(certificate)
                 << QStringLiteral("keyfile %1").arg(key);
        }
        QFile file(dir.filePath(QStringLiteral("mosquitto.conf")));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(conf.join(QLatin1Char('\n')).toUtf8() + '\n');
        configured_ = true;
        return true;
    }

    bool configured_ = false;
};

// mosquitto_sub on a topic filter at QoS 1, "topic payload" a line. With a client id its session
// is kept across its own and the broker's restarts, so nothing published meanwhile is missed.
class MqttSubscriber {
public:
    QProcess process;
    QByteArray text;

    // Started again after the broker ended it, it keeps the lines it had.
    bool start(const MosquittoProcess& broker, const QString& filter, const QString& id = {}) {
        // What the last run printed before it ended and was not read yet: a start empties the
        // process's buffer.
        if (process.isOpen())
            text += process.readAllStandardOutput();
        QStringList args{
            QStringLiteral("-h"),         QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
            QString::number(broker.port), QStringLiteral("-q"),        QStringLiteral("1"),
            QStringLiteral("-v"),         QStringLiteral("-t"),        filter};
        if (!id.isEmpty())
            args << QStringLiteral("-c") << QStringLiteral("-i") << id;
        if (!broker.user.isEmpty())
            args << QStringLiteral("-u") << broker.user << QStringLiteral("-P") << broker.password;
        process.start(QStringLiteral("mosquitto_sub"), args);
        return process.waitForStarted(5000);
    }
    ~MqttSubscriber() {
        process.kill();
        process.waitForFinished(5000);
    }

    // The lines so far.
    QList<QByteArray> lines() {
        text += process.readAllStandardOutput();
        QList<QByteArray> list = text.split('\n');
        list.removeLast(); // the part of a line still to come
        return list;
    }
};
