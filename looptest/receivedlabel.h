// Label2: a label that shows a received byte no font has as the log's hex box.
#pragma once

#include "app/vcl.h"
#include "logview/hexbox.h"

#include <optional>

class ReceivedLabel : public TLabel {
public:
    using TLabel::TLabel;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *e) override;
    void changeEvent(QEvent *e) override;

private:
    // The byte of a one-character caption drawn as a hex box, or -1.
    int boxedByte() const;
    const logview::HexBox &box() const;
    mutable std::optional<logview::HexBox> hexBox;   // for the label's font
};
