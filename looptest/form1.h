// The main window: the chain under test, the send and receive displays, the period selector
// and the log.
#pragma once

#include "vcl/application.h"
#include "vcl/controls.h"
#include "vcl/form.h"
#include "vcl/label.h"
#include "timer/mstimer.h"

class TForm1 : public TForm {
    Q_OBJECT
public:
    explicit TForm1(QWidget *Owner);

    TButton *Button1;
    TLabel *Label1;
    TLabel *Label2;
    TLabel *Label3;
    TLabel *Label4;
    TLabel *Label5;
    TLabel *Label6;
    TLabel *Label7;
    TMsTimer *MsTimer1;
    TLabel *Label8;
    TComboBox *ComboBox1;
    TRichEdit *RichEdit1;
    TLabel *Label9;
    TLabel *Label10;
    TButton *Button2;

    void Button1Click(TObject *Sender);
    void ComboBox1Change(TObject *Sender);
    void MsTimer1Timer(TObject *Sender);
    void Button2Click(TObject *Sender);
    void FormClose(TObject *Sender, TCloseAction &Action);

private:
    void createControls();
    void nameControls();
    void bindControls();
};

extern TForm1 *Form1;
