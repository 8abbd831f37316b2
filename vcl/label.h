// The small component layer the window code is written against: application object, forms,
// labels, buttons, combo box, rich edit and the exception type, each a thin adapter over Qt.
#pragma once

#include <QComboBox>
#include <QElapsedTimer>
#include <QHash>
#include <QMargins>
#include <QPushButton>
#include <QRect>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "logview/logview.h"

#include <exception>
#include <functional>
#include <memory>

class QApplication;
class QPainter;

using TObject = QObject;

class Exception : public std::exception {
public:
    explicit Exception(const QString &message) : Message(message), utf8(message.toUtf8()) {}
    const char *what() const noexcept override { return utf8.constData(); }
    QString Message;

private:
    QByteArray utf8;
};

// Message box flags and result, as the window code passes and reads them: one OK button and no
// icon.
constexpr int MB_OK = 0x0;
constexpr int IDOK = 1;

class TForm;

class TApplication {
public:
    TApplication();
    ~TApplication();
    // Sets up the toolkit. From here on SIGTERM, SIGINT and SIGHUP close the main form as the
    // operator does, once the message loop runs.
    void Initialize();
    template <class Form> void CreateForm(Form *&reference)
    {
        reference = new Form(nullptr);
        adopt(reference);
    }
    // Shows the main form and runs the message loop until the main form has closed.
    void Run();
    // Ends the message loop; nothing queued behind it runs.
    void Terminate();
    void ShowException(const Exception *e);
    int MessageBox(const QString &text, const QString &caption, int flags);
    TForm *MainForm() const { return mainForm; }

private:
    void adopt(TForm *form);
    void closeOnSignals();
    std::unique_ptr<QApplication> qapp;
    TForm *mainForm = nullptr;
};

extern TApplication *Application;

// The window font family list: the face the layout names, then its metric twin from IPA,
// then whatever Japanese face the machine has.
QFont JapaneseFont(int pixelHeight, bool bold);

// What closing a form does: caHide closes it (ending the program for the main form), caNone keeps
// it open.
enum TCloseAction { caNone, caHide };

// A top-level window placed by its outer (frame) rectangle, as the layout gives it. It repaints
// at most kFramesPerSecond times a second: at a 1 ms period every tick changes the window, and
// a repaint per tick would cost more than the tick itself while no one could see the difference.
class TForm : public QWidget {
    Q_OBJECT
public:
    explicit TForm(QWidget *owner = nullptr);
    void SetBounds(int left, int top, int width, int height);
    std::function<void(TObject *sender, TCloseAction &action)> OnClose;
    static constexpr int kFramesPerSecond = 60;

protected:
    bool event(QEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    void fitFrame();
    QRect outer;
    QMargins fittedMargins;
    QElapsedTimer sinceRepaint;
    QTimer *deferredRepaint;
};

// A caption on the window, drawn as a plain-text QLabel draws it: same size, same pixels. The
// tick sets captions up to 3000 times a second while the screen shows 60 frames, and a label
// shows only a few hundred captions: each caption's size and drawing (its Face) is made once and
// kept, so setting a caption costs a look-up, and a frame only paints prepared glyphs.
class TLabel : public QWidget {
    Q_OBJECT
public:
    TLabel(QWidget *parent, int left, int top, const QString &caption, const QFont &font);
    // Sizes itself to the new caption; Left and Top stay.
    void SetCaption(const QString &caption);
    const QString &text() const { return caption; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    // How one caption looks in this label's font: its size, and how it paints itself into a
    // rectangle of the label with the painter's pen set to the label's text colour. (A disabled
    // label leaves its caption to the style, as QLabel does.)
    class Face {
    public:
        virtual ~Face() = default;
        virtual QSize size() const = 0;
        virtual void paint(QPainter &painter, const QRect &rect) const = 0;
    };
    // Makes the face of a caption in a font. Called once per distinct caption and font.
    using FaceMaker =
        std::function<std::shared_ptr<const Face>(const QString &caption, const QFont &font)>;
    // The default face: the text as QLabel draws it.
    static std::shared_ptr<const Face> TextFace(const QString &caption, const QFont &font);
    // Draws captions through `maker` from now on (an empty one restores TextFace), refitting the
    // caption shown; for a label that draws some captions itself.
    void SetFaceMaker(FaceMaker maker);
    // Faces kept per label; past this many (captions the program never shows), all are dropped.
    static constexpr int kMaxFaces = 1024;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    const Face &face() const;
    void forgetFaces();
    QString caption;
    FaceMaker maker;
    mutable QHash<QString, std::shared_ptr<const Face>> faces;
    mutable const Face *shown = nullptr;   // the caption's face, once looked up
};

class TButton : public QPushButton {
    Q_OBJECT
public:
    TButton(QWidget *parent, const QRect &bounds, const QString &caption, const QFont &font);
    void SetCaption(const QString &caption) { setText(caption); }
    int Tag = 0;
    std::function<void(TObject *sender)> OnClick;
};

class TComboBox : public QComboBox {
    Q_OBJECT
public:
    TComboBox(QWidget *parent, const QRect &bounds, const QStringList &items, const QString &text,
              const QFont &font, int itemHeight);
    // The item the box's text names, or -1 when the text matches no item.
    int ItemIndex() const;
    void SetItemIndex(int index);
    // Runs on the operator's choices and edits, not on changes made by code.
    std::function<void(TObject *sender)> OnChange;
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
// undoable until the program next writes to the log.
class TRichEdit : public logview::LogView {
    Q_OBJECT
public:
    TRichEdit(QWidget *parent, const QRect &bounds, const QString &line, const QFont &font);
    // Replaces the selection, or inserts at the caret when nothing is selected.
    void SetSelText(const QString &text) { insertAtCaret(text); }
    TRichEditLines *const Lines;

private:
    TRichEditLines lines;
};
