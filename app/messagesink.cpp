#include "app/messagesink.h"

#include <QMessageBox>

void MessageBoxSink::show(const QString& text, const QString& title, Icon icon) {
    QMessageBox box(icon == Icon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, title, text,
                    QMessageBox::Ok, parent_);
    box.exec();
}
