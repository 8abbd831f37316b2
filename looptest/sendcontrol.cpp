// The operator's controls: start/stop, send period, clear.
#include "looptest/form1.h"

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
    // -1 (no item) is out of range too, taken as unsigned
    const unsigned index = static_cast<unsigned>(ComboBox1->ItemIndex());
    if (index >= static_cast<unsigned>(ComboBox1->count()))
        return;
    MsTimer1->SetInterval(ComboBox1->itemData(static_cast<int>(index)).toUInt());
}

void TForm1::Button2Click(TObject *)
{
    RichEdit1->Lines->Clear();
}
