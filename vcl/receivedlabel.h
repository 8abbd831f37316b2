// Label2: a label that shows a received byte no font has as the log's hex box.
#pragma once

#include "vcl/announcer.h"
#include "vcl/label.h"
#include "logview/hexbox.h"

#include <QPointer>

#include <memory>

// Its changes are said aloud as they are told (at most once per logview::kAnnouncementInterval)
// while its window is active, except while the control it is quiet for has the focus.
class ReceivedLabel : public TLabel {
public:
    ReceivedLabel(QWidget *parent, int left, int top, const QString &caption, const QFont &font);
    // A byte shown as a box is said by its name, as the log says it.
    QString spokenText() const override;
    Announcer *announcer() override { return &said; }
    // The control that says what this label shows by itself (the log, which speaks the bytes
    // it receives): while it has the focus, the label's changes are not said.
    void SetQuietFor(QWidget *control) { quietFor = control; }

protected:
    void tellCaption() override;

private:
    Announcer said{this};
    QPointer<QWidget> quietFor;
    std::shared_ptr<const Face> makeFace(const QString &caption, const QFont &font);
    std::shared_ptr<const logview::HexBox> hexBox;   // for hexFont, the font last drawn in
    QFont hexFont;
};
