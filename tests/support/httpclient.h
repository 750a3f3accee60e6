#pragma once

// HTTP from the tests' side, on a socket of their own: exactly the bytes given go out (a request
// no browser would send, a header of 100 KiB), and the reply is read until the server closes or
// the time is up, or once a reply with a Content-Length is whole. Needs Qt Network.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QList>
#include <QTcpSocket>

struct HttpReply {
    int status = 0; // 0: no status line came (dropped, or nothing listening)
    QByteArray head;
    QByteArray body;
    QByteArray raw;

    QByteArray header(const QByteArray& name) const {
        for (const QByteArray& line : head.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
                return line.mid(colon + 1).trimmed();
        }
        return {};
    }
    QJsonDocument json() const { return QJsonDocument::fromJson(body); }
};

// A whole reply: its head and as many bytes of body as its Content-Length says.
inline bool complete(const QByteArray& raw) {
    const qsizetype end = raw.indexOf("\r\n\r\n");
    if (end < 0)
        return false;
    for (const QByteArray& line : raw.left(end).split('\n'))
        if (line.toLower().startsWith("content-length:"))
            return raw.size() - end - 4 >= line.mid(15).trimmed().toLongLong();
    return false;
}

// Sends `request` as it is and reads until the server closes, at most `ms`.
inline HttpReply httpExchange(quint16 port, const QByteArray& request, int ms = 10000) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    HttpReply reply;
    if (!socket.waitForConnected(ms))
        return reply;
    socket.write(request);
    QDeadlineTimer deadline(ms);
    while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        socket.waitForBytesWritten(0);
        socket.waitForReadyRead(
            int(std::max<qint64>(1, std::min<qint64>(50, deadline.remainingTime()))));
        reply.raw += socket.readAll();
        if (complete(reply.raw))
            break;
    }
    reply.raw += socket.readAll();
    const qsizetype end = reply.raw.indexOf("\r\n\r\n");
    if (!reply.raw.startsWith("HTTP/1.1 ") || end < 0)
        return reply;
    reply.status = reply.raw.mid(9, 3).toInt();
    reply.head = reply.raw.left(end);
    reply.body = reply.raw.mid(end + 4);
    return reply;
}

// A request with `method`, `path`, the extra header lines (each ending in \r\n) and a body; the
// server closes after its answer.
inline HttpReply httpRequest(quint16 port, const QByteArray& method, const QByteArray& path,
                             const QByteArray& headers = {}, const QByteArray& body = {},
                             int ms = 10000) {
    QByteArray request = method + ' ' + path +
                         " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                         "\r\nConnection: close\r\n" + headers;
    if (!body.isEmpty() || method == "POST")
        request +=
            "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
            "\r\n";
    return httpExchange(port, request + "\r\n" + body, ms);
}

inline HttpReply httpGet(quint16 port, const QByteArray& path, const QByteArray& headers = {}) {
    return httpRequest(port, "GET", path, headers);
}
