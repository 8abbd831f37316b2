// The operator's controls: push button, combo box and the log (a rich edit over the log view).
#pragma once

#include <QComboBox>
#include <QPushButton>
#include <QRect>
#include <QString>

#include "logview/logview.h"
#include "vcl/application.h"

#include <functional>

class TButton : public QPushButton {
    Q_OBJECT
public:
    TButton(QWidget *parent, const QRect &bounds, const QString &caption, const QFont &font);
    void SetCaption(const QString &caption) { setText(caption); }
    int Tag = 0;
    std::function<void(TObject *sender)> OnClick;

protected:
    void keyPressEvent(QKeyEvent *event) override;
};

class TComboBox : public QComboBox {
    Q_OBJECT
public:
    TComboBox(QWidget *parent, const QRect &bounds, const QStringList &items, const QString &text,
              const QFont &font, int itemHeight);
    // The item the box's text names, or -1 when the text matches no item.
    int ItemIndex() const;
    void SetItemIndex(int index);
    // Runs on the operator's choices: an item picked from the list, or typed text that names an
    // item once Enter is pressed or the box is left; not on changes made by code.
    std::function<void(TObject *sender)> OnChange;

private:
    void typingFinished();
    int chosen = -1;   // the item last chosen, which typed text naming no item falls back to
};

class TRichEdit;

class TRichEditLines {
public:
    explicit TRichEditLines(TRichEdit *edit) : edit(edit) {}
    // Appends a line at the end and leaves the caret at its end.
    void Add(const QString &line);
    void Clear();

private:
    TRichEdit *edit;
};

// The log control. The program's own insertions keep no undo history; an operator's edits are
// undoable until the program next writes to the log. On a shown form they are drawn with the
// form's next frame.
class TRichEdit : public logview::LogView {
    Q_OBJECT
public:
    TRichEdit(QWidget *parent, const QRect &bounds, const QString &line, const QFont &font);
    // Replaces the selection, or inserts at the caret when nothing is selected.
    void SetSelText(const QString &text);
    TRichEditLines *const Lines;

protected:
    bool event(QEvent *e) override;

private:
    friend class TRichEditLines;
    void showWithNextFrame();
    TRichEditLines lines;
};
