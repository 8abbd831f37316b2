// The window's caption and where the window and its controls stand, in the order of the layout
// table; the points the end-to-end tests and the benches click follow from it.
#pragma once

#include <QPoint>
#include <QRect>

namespace Layout {

inline constexpr char caption[] =
    "Windows→RS232C→仮想COM３（ComportRedirector)→LANケーブル（TCP/IP)→Xport→RS232C→PIC";
constexpr QRect form{148, 116, 742, 625};

// labels size themselves to their caption: only the top-left corner is laid out
constexpr QPoint label1{296, 32};
constexpr QPoint label2{288, 176};
constexpr QPoint label3{296, 80};
constexpr QPoint label4{184, 32};
constexpr QPoint label5{192, 88};
constexpr QPoint label6{80, 64};
constexpr QPoint label7{88, 168};
constexpr QPoint label8{168, 176};
constexpr QPoint label9{504, 96};
constexpr QPoint label10{584, 152};

constexpr QRect button1{536, 24, 57, 49};
constexpr QRect comboBox1{496, 120, 113, 32};
constexpr QRect richEdit1{88, 216, 529, 329};
constexpr QRect button2{640, 240, 57, 41};

// A click here starts or stops sending.
constexpr QPoint startStopClick = button1.center();
// A click here opens the period list: on the box's arrow, just inside its right end.
constexpr QPoint periodArrowClick{comboBox1.right() - 8, comboBox1.center().y()};

} // namespace Layout
