#include "app/form1.h"

#include "serial/port.h"

#include <QPalette>

#include <cstdint>

TForm1 *Form1;

// Geometry, fonts and texts in the order of the layout table.
void TForm1::createControls()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral(
        "Windows→RS232C→仮想COM３（ComportRedirector)→LANケーブル（TCP/IP)→Xport→RS232C→PIC"));
    setFont(JapaneseFont(12, false));
    QPalette face = palette();
    face.setColor(QPalette::Window, face.color(QPalette::Button));   // button-face background
    setPalette(face);
    setAutoFillBackground(true);
    SetBounds(148, 116, 742, 625);

    const QFont bold16 = JapaneseFont(16, true);
    const QFont bold24 = JapaneseFont(24, true);
    Label1 = new TLabel(this, 296, 32, QStringLiteral("label1"), bold24);
    Label2 = new TLabel(this, 288, 176, QStringLiteral("Label2"), bold24);
    Label3 = new TLabel(this, 296, 80, QStringLiteral("Label3"), bold24);
    Label4 = new TLabel(this, 184, 32, QStringLiteral("ASCII コード"), bold16);
    Label5 = new TLabel(this, 192, 88, QStringLiteral("ASCII文字"), bold16);
    Label6 = new TLabel(this, 80, 64, QStringLiteral("送信"), JapaneseFont(29, true));
    Label7 = new TLabel(this, 88, 168, QStringLiteral("受信"), bold24);
    Label8 = new TLabel(this, 168, 176, QStringLiteral("ASCII文字"), bold16);
    Label9 = new TLabel(this, 504, 96, QStringLiteral("送信周期"), bold24);
    Label10 = new TLabel(this, 584, 152, QStringLiteral("msec"), bold24);

    Button1 = new TButton(this, QRect(536, 24, 57, 49), QStringLiteral("送信開始"), font());
    // the send periods in ms: each item shows its number and holds it as its value
    const std::uint32_t periods[] = {1000, 700, 500, 300, 200, 100, 70, 50,
                                     30,   20,  10,  7,   5,   3,   2,   1};
    QStringList items;
    for (std::uint32_t ms : periods)
        items << QString::number(ms);
    ComboBox1 = new TComboBox(this, QRect(496, 120, 113, 32), items, QStringLiteral("ComboBox1"),
                              bold24, 24);
    for (int i = 0; i < ComboBox1->count(); ++i)
        ComboBox1->setItemData(i, periods[i]);
    QPalette red = ComboBox1->palette();
    red.setColor(QPalette::Text, Qt::red);
    red.setColor(QPalette::ButtonText, Qt::red);
    ComboBox1->setPalette(red);
    RichEdit1 = new TRichEdit(this, QRect(88, 216, 529, 329), QStringLiteral("RichEdit1"), font());
    Button2 = new TButton(this, QRect(640, 240, 57, 41), QStringLiteral("clear"),
                          JapaneseFont(19, true));
    MsTimer1 = new TMsTimer(this);

    const char *names[] = {"Label1", "Label2", "Label3", "Label4", "Label5",
                           "Label6", "Label7", "Label8", "Label9", "Label10"};
    TLabel *labels[] = {Label1, Label2, Label3, Label4, Label5,
                        Label6, Label7, Label8, Label9, Label10};
    for (int i = 0; i < 10; ++i)
        labels[i]->setObjectName(QString::fromLatin1(names[i]));
    Button1->setObjectName(QStringLiteral("Button1"));
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    RichEdit1->setObjectName(QStringLiteral("RichEdit1"));
    Button2->setObjectName(QStringLiteral("Button2"));
    MsTimer1->setObjectName(QStringLiteral("MsTimer1"));

    setTabOrder(Button1, ComboBox1);
    setTabOrder(ComboBox1, RichEdit1);
    setTabOrder(RichEdit1, Button2);
    Button1->setFocus();

    Button1->OnClick = [this](TObject *s) { Button1Click(s); };
    ComboBox1->OnChange = [this](TObject *s) { ComboBox1Change(s); };
    Button2->OnClick = [this](TObject *s) { Button2Click(s); };
    MsTimer1->OnTimer = [this](TObject *s) { MsTimer1Timer(s); };
    OnClose = [this](TObject *s, TCloseAction &a) { FormClose(s, a); };
}

TForm1::TForm1(QWidget *Owner) : TForm(Owner)
{
    createControls();
    OpenComPort();
    Button1->Tag = 0;
    ComboBox1->SetItemIndex(0);
    MsTimer1->SetInterval(1000);
    RichEdit1->Lines->Clear();
}

void TForm1::FormClose(TObject *, TCloseAction &)
{
    CloseComPort();
}
