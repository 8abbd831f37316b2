// Label2: a label that shows a received byte no font has as the log's hex box.
#pragma once

#include "vcl/label.h"
#include "logview/hexbox.h"

#include <memory>

class ReceivedLabel : public TLabel {
public:
    ReceivedLabel(QWidget *parent, int left, int top, const QString &caption, const QFont &font);
    // A byte shown as a box is said by its name, as the log says it.
    QString spokenText() const override;

private:
    std::shared_ptr<const Face> makeFace(const QString &caption, const QFont &font);
    std::shared_ptr<const logview::HexBox> hexBox;   // for hexFont, the font last drawn in
    QFont hexFont;
};
