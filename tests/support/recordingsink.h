#pragma once

// A message sink that records every box instead of opening it, so that nothing ever waits for an
// operator: its text, title and icon.

#include "app/messagesink.h"

#include <QList>
#include <QStringList>

#include <functional>

struct ShownMessage {
    QString text;
    QString title;
    MessageSink::Icon icon;
};

class RecordingSink : public MessageSink {
public:
    QList<ShownMessage> shown;
    std::function<void()> whileOpen; // runs while the box is "open", before it returns

    void show(const QString& text, const QString& title, Icon icon) override {
        shown.append({text, title, icon});
        if (whileOpen)
            whileOpen();
    }
    QStringList texts() const {
        QStringList list;
        for (const auto& m : shown)
            list << m.text;
        return list;
    }
};
