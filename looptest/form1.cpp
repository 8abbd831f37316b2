#include "looptest/form1.h"

#include "looptest/fonts.h"
#include "looptest/layout.h"
#include "serial/port.h"
#include "vcl/receivedlabel.h"

#include <QPalette>

#include <cstdint>

TForm1 *Form1;

namespace {
// the send periods in ms, in the order the list shows them; the window starts at the first
constexpr std::uint32_t kPeriods[] = {1000, 700, 500, 300, 200, 100, 70, 50,
                                      30,   20,  10,  7,   5,   3,   2,   1};
} // namespace

// Fonts and texts in the order of the layout table; layout.h says where each control stands.
void TForm1::createControls()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromUtf8(Layout::caption));
    setFont(JapaneseFont(12, false));
    QPalette face = palette();
    face.setColor(QPalette::Window, face.color(QPalette::Button));   // button-face background
    setPalette(face);
    setAutoFillBackground(true);
    SetBounds(Layout::form.x(), Layout::form.y(), Layout::form.width(), Layout::form.height());

    const QFont bold16 = JapaneseFont(16, true);
    const QFont bold24 = JapaneseFont(24, true);
    auto label = [this](QPoint corner, const QString &caption, const QFont &font) {
        return new TLabel(this, corner.x(), corner.y(), caption, font);
    };
    Label1 = label(Layout::label1, QStringLiteral("label1"), bold24);
    auto *received = new ReceivedLabel(this, Layout::label2.x(), Layout::label2.y(),
                                       QStringLiteral("Label2"), bold24);
    Label2 = received;
    Label3 = label(Layout::label3, QStringLiteral("Label3"), bold24);
    Label4 = label(Layout::label4, QStringLiteral("ASCII コード"), bold16);
    Label5 = label(Layout::label5, QStringLiteral("ASCII文字"), bold16);
    Label6 = label(Layout::label6, QStringLiteral("送信"), JapaneseFont(29, true));
    Label7 = label(Layout::label7, QStringLiteral("受信"), bold24);
    Label8 = label(Layout::label8, QStringLiteral("ASCII文字"), bold16);
    Label9 = label(Layout::label9, QStringLiteral("送信周期"), bold24);
    Label10 = label(Layout::label10, QStringLiteral("msec"), bold24);

    Button1 = new TButton(this, Layout::button1, QStringLiteral("送信開始"), font());
    // each period shows its number and holds it as its value
    QStringList items;
    for (std::uint32_t ms : kPeriods)
        items << QString::number(ms);
    ComboBox1 = new TComboBox(this, Layout::comboBox1, items, QStringLiteral("ComboBox1"), bold24,
                              24);
    for (int i = 0; i < ComboBox1->count(); ++i)
        ComboBox1->setItemData(i, kPeriods[i]);
    QPalette red = ComboBox1->palette();
    red.setColor(QPalette::Text, Qt::red);
    red.setColor(QPalette::ButtonText, Qt::red);
    ComboBox1->setPalette(red);
    RichEdit1 = new TRichEdit(this, Layout::richEdit1, QStringLiteral("RichEdit1"), font());
    Button2 = new TButton(this, Layout::button2, QStringLiteral("clear"), JapaneseFont(19, true));
    MsTimer1 = new TMsTimer(this);
    received->SetQuietFor(RichEdit1);   // the log says the bytes it receives
}

// The names scripts and tests find each control by, and what assistive technology calls it.
void TForm1::nameControls()
{
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

    // what assistive technology names each control by: the caption beside it, or for the log,
    // which has none on screen, 受信ログ
    Label4->SetLabelFor(Label1);
    Label5->SetLabelFor(Label3);
    Label8->SetLabelFor(Label2);
    Label9->SetLabelFor(ComboBox1);
    ComboBox1->setAccessibleName(Label9->text());
    RichEdit1->setAccessibleName(QStringLiteral("受信ログ"));
}

// The focus order, the first focus, and each control's event to its handler.
void TForm1::bindControls()
{
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
    nameControls();
    bindControls();
    OpenComPort();
    Button1->Tag = 0;
    ComboBox1->SetItemIndex(0);
    MsTimer1->SetInterval(kPeriods[0]);
    RichEdit1->Lines->Clear();
}

void TForm1::FormClose(TObject *, TCloseAction &)
{
    CloseComPort();
}
