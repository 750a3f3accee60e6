#include "app/frmmain.h"
#include "app/look.h"
#include "app/messagesink.h"
#include "serial/qtserialcomponent.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qf7320-tool"));

    const QString programDir = frmMain::defaultProgramDir();
    MessageBoxSink messages;
    frmMain window(std::make_unique<QtSerialComponent>(programDir), messages, programDir);
    messages.setParent(&window);

    look::centreOnScreen(window);
    window.show();
    return QApplication::exec();
}
