#pragma once

#include <QString>

class QWidget;

// How the window tells the operator something: a modal box with a text, a title, one OK button
// and, where asked for, a warning icon. The window shows every message through this seam.
class MessageSink {
public:
    enum class Icon { None, Warning };

    virtual ~MessageSink() = default;
    // Returns once the operator has closed the box.
    virtual void show(const QString& text, const QString& title, Icon icon) = 0;
};

// The real thing: a QMessageBox over the given parent.
class MessageBoxSink : public MessageSink {
public:
    explicit MessageBoxSink(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }
    void show(const QString& text, const QString& title, Icon icon) override;

private:
    QWidget* parent_;
};
