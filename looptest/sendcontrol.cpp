// The operator's controls: start/stop, send period, clear.
#include "app/form1.h"

#include <cstdint>

namespace {
const std::uint32_t periods[16] = {1000, 700, 500, 300, 200, 100, 70, 50,
                                   30,   20,  10,  7,   5,   3,   2,   1};
}

void TForm1::Button1Click(TObject *)
{
    if (Button1->Tag == 0) {
        Button1->Tag = 1;
        Button1->SetCaption(QStringLiteral("送信停止"));
        MsTimer1->SetEnabled(true);
    } else {
        Button1->Tag = 0;
        Button1->SetCaption(QStringLiteral("送信開始"));
        MsTimer1->SetEnabled(false);
    }
}

void TForm1::ComboBox1Change(TObject *)
{
    const unsigned index = static_cast<unsigned>(ComboBox1->ItemIndex());
    if (index > 15)
        return;
    MsTimer1->SetInterval(periods[index]);
}

void TForm1::Button2Click(TObject *)
{
    RichEdit1->Lines->Clear();
}
