// A short text said by the screen reader without moving the focus.
#pragma once

#include <QString>

class QAccessibleInterface;
class QWidget;

// Says a text as the notification of a status bar: both are accessible objects of their own
// under the owner's, invisible and without extents, and the notification is shown anew with
// each text. Orca 43 says a status bar's notification by its name alone whatever has the focus,
// where it drops a label's name changes.
class Announcer {
public:
    explicit Announcer(QWidget *owner);
    ~Announcer();
    Announcer(const Announcer &) = delete;
    Announcer &operator=(const Announcer &) = delete;

    void say(const QString &text);
    // The status bar, the owner's accessible child; made on first use.
    QAccessibleInterface *bar();

private:
    class Bar;
    class Note;
    QWidget *owner;
    QString said;
    Bar *statusBar = nullptr;
    Note *note = nullptr;
};
