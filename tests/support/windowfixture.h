#pragma once

// A window on a fake serial port, with a message sink that records every box, in a temporary
// program directory.

#include "app/frmmain.h"
#include "app/messagesink.h"
#include "tests/support/fakeserial.h"
#include "tests/support/recordingsink.h"
#include "tests/support/testfiles.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QList>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

inline QByteArray bytesFromHex(const char* hex) {
    return QByteArray::fromHex(QByteArray(hex));
}

// Picks item k of a list as the operator does: open the list, click the item.
inline void pickItem(QComboBox* combo, int k) {
    combo->showPopup();
    QAbstractItemView* view = combo->view();
    QTRY_VERIFY(view->isVisible());
    const QModelIndex index = view->model()->index(k, 0);
    view->scrollTo(index);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
    QTRY_VERIFY(!view->isVisible());
}

struct WindowFixture {
    QTemporaryDir dir;
    RecordingSink sink;
    FakeSerialComponent* port = nullptr;
    std::unique_ptr<frmMain> window;

    // commSet: the content of comm.set before start-up, or nullptr for no file.
    // configure: adjusts the fake before the load event runs.
    explicit WindowFixture(const char* commSet = "1,9600\r\n",
                           const std::function<void(FakeSerialComponent&)>& configure = {}) {
        if (commSet)
            writeCommSet(dir.path(), QByteArray(commSet));
        auto fake = std::make_unique<FakeSerialComponent>();
        port = fake.get();
        if (configure)
            configure(*port);
        window = std::make_unique<frmMain>(std::move(fake), sink, dir.path());
    }

    frmMain& w() { return *window; }

    // Types into a text box as an operator would: select all, then type.
    static void type(QLineEdit* box, const QString& text) {
        box->selectAll();
        if (text.isEmpty())
            QTest::keyClick(box, Qt::Key_Delete);
        else
            QTest::keyClicks(box, text);
        if (text.isEmpty())
            box->clear();
    }
    static void click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    // The last frame written, as hex text "01 03 ...".
    QString lastWritten() const {
        return port->written.isEmpty()
                   ? QString()
                   : QString::fromLatin1(port->written.last().toHex(' ')).toUpper();
    }
    QString settingsFile() const {
        QFile file(dir.filePath(QStringLiteral("comm.set")));
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("<missing>");
        return QString::fromLatin1(file.readAll());
    }
};
