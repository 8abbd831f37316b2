#include "vcl/controls.h"

#include "vcl/form.h"
#include "vcl/label.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QLineEdit>

namespace {

// The period box to assistive technology: a combo box named by its accessible name (Qt's own
// names it by its value on Linux), its value the text in it, labelled by the captions that name
// it; its children the list and the text field, as in Qt's.
class ComboBoxAccessible : public QAccessibleWidget {
public:
    explicit ComboBoxAccessible(QComboBox *box) : QAccessibleWidget(box, QAccessible::ComboBox) {}

    int childCount() const override { return box()->isEditable() ? 2 : 1; }
    QAccessibleInterface *child(int index) const override
    {
        if (index == 0)
            return QAccessible::queryAccessibleInterface(box()->view());
        if (index == 1 && box()->isEditable())
            return QAccessible::queryAccessibleInterface(box()->lineEdit());
        return nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (child->object() == box()->view())
            return 0;
        if (box()->isEditable() && child->object() == box()->lineEdit())
            return 1;
        return -1;
    }
    QAccessibleInterface *childAt(int x, int y) const override
    {
        if (box()->isEditable() && box()->lineEdit()->rect().contains(
                                       box()->lineEdit()->mapFromGlobal(QPoint(x, y))))
            return child(1);
        return nullptr;
    }
    QAccessibleInterface *focusChild() const override
    {
        return box()->isEditable() ? child(1) : nullptr;
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return box()->isEditable() ? box()->lineEdit()->text() : box()->currentText();
        QString said = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && said.isEmpty())
            said = text(QAccessible::Value);
        return said;
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.expandable = true;
        s.expanded = box()->view()->isVisible();
        s.editable = box()->isEditable();
        return s;
    }
    QList<QPair<QAccessibleInterface *, QAccessible::Relation>>
    relations(QAccessible::Relation match) const override
    {
        auto found = QAccessibleWidget::relations(match);
        if (match & QAccessible::Label)
            for (TLabel *caption : TLabel::LabelsOf(box()))
                found.append({QAccessible::queryAccessibleInterface(caption), QAccessible::Label});
        return found;
    }
    QStringList actionNames() const override { return {showMenuAction(), pressAction()}; }
    void doAction(const QString &action) override
    {
        if (action != showMenuAction() && action != pressAction())
            return;
        if (box()->view()->isVisible())
            box()->hidePopup();
        else
            box()->showPopup();
    }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }

private:
    QComboBox *box() const { return static_cast<QComboBox *>(widget()); }
};

QAccessibleInterface *comboBoxAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("TComboBox") && object && object->isWidgetType())
        return new ComboBoxAccessible(static_cast<QComboBox *>(object));
    return nullptr;
}

} // namespace

TButton::TButton(QWidget *parent, const QRect &bounds, const QString &caption, const QFont &font)
    : QPushButton(caption, parent)
{
    setFont(font);
    setGeometry(bounds);
    connect(this, &QPushButton::clicked, this, [this] {
        if (OnClick)
            OnClick(this);
    });
}

void TButton::keyPressEvent(QKeyEvent *event)
{
    // Enter presses the focused button as Space does, as on the desktops operators come from
    const bool enter =
        (event->key() == Qt::Key_Return && event->modifiers() == Qt::NoModifier) ||
        (event->key() == Qt::Key_Enter && event->modifiers() == Qt::KeypadModifier);
    if (!enter) {
        QPushButton::keyPressEvent(event);
        return;
    }
    if (!event->isAutoRepeat())
        click();
}

TComboBox::TComboBox(QWidget *parent, const QRect &bounds, const QStringList &items,
                     const QString &text, const QFont &font, int itemHeight)
    : QComboBox(parent)
{
    static const bool accessible = (QAccessible::installFactory(comboBoxAccessible), true);
    (void)accessible;
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);   // typed text never becomes an item
    setCompleter(nullptr);   // completing "10" to "1000" would show one period and send another
    setFont(font);
    setGeometry(bounds);
    addItems(items);
    for (int i = 0; i < count(); ++i)
        setItemData(i, QSize(0, itemHeight), Qt::SizeHintRole);
    setCurrentIndex(-1);
    setEditText(text);
    connect(this, &QComboBox::activated, this, [this](int index) {
        chosen = index;
        if (OnChange)
            OnChange(this);
    });
    connect(lineEdit(), &QLineEdit::editingFinished, this, [this] { typingFinished(); });
}

// Typed text takes effect when the operator is done with it: text that names an item chooses
// it, any other text gives way to the item chosen before, so the box always shows what is in
// force.
void TComboBox::typingFinished()
{
    const int named = ItemIndex();
    if (named < 0) {
        if (chosen >= 0) {
            setCurrentIndex(chosen);
            setEditText(itemText(chosen));
        }
        return;
    }
    if (named != currentIndex())
        setCurrentIndex(named);
    if (named != chosen) {
        chosen = named;
        if (OnChange)
            OnChange(this);
    }
}

int TComboBox::ItemIndex() const
{
    const int current = currentIndex();
    if (current >= 0 && itemText(current) == currentText())
        return current;
    return findText(currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
}

void TComboBox::SetItemIndex(int index)
{
    chosen = index;
    setCurrentIndex(index);
    if (index < 0)
        setEditText(QString());
}

TRichEdit::TRichEdit(QWidget *parent, const QRect &bounds, const QString &line, const QFont &font)
    : LogView(parent), Lines(&lines), lines(this)
{
    setFont(font);
    setGeometry(bounds);
    setPlainText(line);
    setScreenDeferred(true);
}

void TRichEdit::SetSelText(const QString &text)
{
    insertAtCaret(text);
    showWithNextFrame();
}

void TRichEdit::showWithNextFrame()
{
    if (!TForm::DeferToItsFrame(this))
        showEdits();
}

bool TRichEdit::event(QEvent *e)
{
    if (e->type() == TForm::FrameEvent()) {
        showEdits();
        return true;
    }
    return LogView::event(e);
}

void TRichEditLines::Add(const QString &line)
{
    edit->appendParagraph(line);
    edit->showWithNextFrame();
}

void TRichEditLines::Clear()
{
    edit->clear();
}
