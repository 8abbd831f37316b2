#include "vcl/announcer.h"

#include <QAccessible>
#include <QWidget>

namespace {

// Objects with no widget behind them: no place on screen, nothing to do.
class Virtual : public QAccessibleInterface {
public:
    bool isValid() const override { return true; }
    QObject *object() const override { return nullptr; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override { return QRect(); }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        s.invisible = true;
        return s;
    }
};

} // namespace

class Announcer::Note final : public Virtual {
public:
    Note(QAccessibleInterface *bar, const QString &said) : statusBar(bar), said(said) {}
    QAccessibleInterface *parent() const override { return statusBar; }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? said : QString();
    }
    QAccessible::Role role() const override { return QAccessible::Notification; }

private:
    QAccessibleInterface *statusBar;
    const QString &said;
};

class Announcer::Bar final : public Virtual {
public:
    explicit Bar(QWidget *owner) : owner(owner) {}
    QAccessibleInterface *parent() const override
    {
        return QAccessible::queryAccessibleInterface(owner);
    }
    QAccessibleInterface *child(int index) const override { return index == 0 ? note : nullptr; }
    int childCount() const override { return 1; }
    int indexOfChild(const QAccessibleInterface *c) const override { return c && c == note ? 0 : -1; }
    QString text(QAccessible::Text) const override { return QString(); }
    QAccessible::Role role() const override { return QAccessible::StatusBar; }
    QAccessibleInterface *note = nullptr;

private:
    QWidget *owner;
};

Announcer::Announcer(QWidget *owner) : owner(owner) {}

Announcer::~Announcer()
{
    if (statusBar) {
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(note));
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(statusBar));
    }
}

QAccessibleInterface *Announcer::bar()
{
    if (!statusBar) {
        statusBar = new Bar(owner);
        note = new Note(statusBar, said);
        statusBar->note = note;
        QAccessible::registerAccessibleInterface(statusBar);
        QAccessible::registerAccessibleInterface(note);
    }
    return statusBar;
}

void Announcer::say(const QString &text)
{
    if (!QAccessible::isActive() || text.isEmpty())
        return;
    said = text;
    bar();
    QAccessibleEvent shown(note, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
}
