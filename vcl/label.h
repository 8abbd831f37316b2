// A caption on a form.
#pragma once

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class Announcer;
class QPainter;

// A caption on the window, drawn as a plain-text QLabel draws it: same size, same pixels. The
// tick sets captions up to 3000 times a second while the screen shows 60 frames, and a label
// shows only a few hundred captions: each caption's size and drawing (its Face) is made once and
// kept, and on a shown form (TForm) a new caption is only kept until the next frame, which
// fits the label to it and paints its prepared glyphs. For the same reason assistive
// technology hears of a new caption at most once per logview::kAnnouncementInterval.
class TLabel : public QWidget {
    Q_OBJECT
public:
    TLabel(QWidget *parent, int left, int top, const QString &caption, const QFont &font);
    // Sizes itself to the new caption; Left and Top stay.
    void SetCaption(const QString &caption);
    const QString &text() const { return caption; }
    // What a screen reader says for the caption: by default the caption itself.
    virtual QString spokenText() const { return caption; }
    // What says the label's changes aloud, as its accessible object's child; none by default.
    virtual Announcer *announcer() { return nullptr; }
    // The control this label names, told to assistive technology as its label (nullptr: none).
    void SetLabelFor(QWidget *control) { labelled = control; }
    QWidget *labelFor() const { return labelled; }
    // The labels beside `control` that name it.
    static QList<TLabel *> LabelsOf(const QWidget *control);
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
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    // Tells assistive technology that the caption changed.
    virtual void tellCaption();

private:
    // The screen's part of a new caption: the label's size, its update, what is told of it.
    void showCaption();
    const Face &face() const;
    void forgetFaces();
    // The parent's plain background where the label stands, which no control beneath shows
    // through; null where there is none such (a background of its own, a pattern, a control
    // beneath, an effect).
    const QBrush *plainBackground() const;
    // Marks the label opaque over a plain background, which it then paints itself, so that the
    // parent's is not painted first under it each frame.
    void markOwnBackground();
    // The caption's pixels over the plain background, made once for the painter's device; null
    // where they cannot be kept (a device that is no image, a fractional scale).
    const QImage *pictureFor(QPainter &painter, const QPen &pen, const QBrush &back);
    QString caption;
    QPointer<QWidget> labelled;
    FaceMaker maker;
    mutable QHash<QString, std::shared_ptr<const Face>> faces;
    mutable const Face *shown = nullptr;   // the caption's face, once looked up
    QHash<const Face *, QImage> pictures;  // of the faces, as drawn over the key's background
    struct PictureKey {
        QRgb back = 0, pen = 0;
        int format = 0;
        qreal ratio = 0;
        bool operator==(const PictureKey &o) const
        {
            return back == o.back && pen == o.pen && format == o.format && ratio == o.ratio;
        }
    } pictureKey;
    QBasicTimer captionTimer;              // a change waits to be told
    QElapsedTimer sinceTold;
};
