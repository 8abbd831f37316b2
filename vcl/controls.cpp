#include "vcl/controls.h"

#include <QLineEdit>

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

TComboBox::TComboBox(QWidget *parent, const QRect &bounds, const QStringList &items,
                     const QString &text, const QFont &font, int itemHeight)
    : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);   // typed text never becomes an item
    setFont(font);
    setGeometry(bounds);
    addItems(items);
    for (int i = 0; i < count(); ++i)
        setItemData(i, QSize(0, itemHeight), Qt::SizeHintRole);
    setCurrentIndex(-1);
    setEditText(text);
    auto changed = [this] {
        if (OnChange)
            OnChange(this);
    };
    connect(this, &QComboBox::activated, this, changed);
    connect(lineEdit(), &QLineEdit::textEdited, this, changed);
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
}

void TRichEditLines::Add(const QString &line)
{
    edit->appendParagraph(line);
}

void TRichEditLines::Clear()
{
    edit->clear();
}
