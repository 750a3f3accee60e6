#include "app/frmmain.h"
#include "app/messagesink.h"
#include "serial/qtserialcomponent.h"

#include <QApplication>
#include <QScreen>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qf7320-tool"));

    const QString programDir = frmMain::defaultProgramDir();
    MessageBoxSink messages;
    frmMain window(std::make_unique<QtSerialComponent>(programDir), messages, programDir);
    messages.setParent(&window);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = window.frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window.move(frame.topLeft());
    }
    window.show();
    return QApplication::exec();
}
