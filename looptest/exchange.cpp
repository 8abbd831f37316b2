#include "looptest/exchange.h"

#include "logview/cells.h"
#include "looptest/form1.h"
#include "serial/port.h"

#include <array>
#include <cstdio>
#include <cstring>

std::uint32_t TestChar = 47;
unsigned char SendByte;
signed char ReceiveByte;

namespace {

// What "%u" and "%c" make of each test character, made once: a tick only looks them up.
const QString &CodeText(std::uint32_t code)
{
    static const std::array<QString, 256> texts = [] {
        std::array<QString, 256> t;
        for (unsigned c = 0; c < t.size(); ++c) {
            char text[16];
            std::snprintf(text, sizeof text, "%u", c);
            t[c] = QString::fromLatin1(text);
        }
        return t;
    }();
    static QString other;
    if (code < texts.size())
        return texts[code];
    char text[16];
    std::snprintf(text, sizeof text, "%u", code);
    other = QString::fromLatin1(text);
    return other;
}

const QString &CharText(std::uint32_t code)
{
    static const std::array<QString, 256> texts = [] {
        std::array<QString, 256> t;
        for (unsigned c = 0; c < t.size(); ++c) {
            char text[2];
            std::snprintf(text, sizeof text, "%c", static_cast<int>(c));
            t[c] = QString::fromLatin1(text);
        }
        return t;
    }();
    return texts[code & 0xFF];   // "%c" prints the code's low byte
}

} // namespace

const QString &ReceivedText(unsigned char byte)
{
    static const std::array<QString, 256> texts = [] {
        std::array<QString, 256> t;
        for (int b = 1; b < 256; ++b) {
            const char32_t c = logview::byteChar(static_cast<std::uint8_t>(b));
            t[b] = QString::fromUcs4(&c, 1);
        }
        return t;
    }();
    return texts[byte];
}

void TForm1::MsTimer1Timer(TObject *)
{
    TestChar = TestChar + 1;
    if (TestChar == 58)
        TestChar = 65;
    if (TestChar >= 91)
        TestChar = 48;

    Label1->SetCaption(CodeText(TestChar));
    Label3->SetCaption(CharText(TestChar));

    SendByte = static_cast<unsigned char>(TestChar);
    AssertRts();
    WriteByte(&SendByte);
    if (!ReadByte(reinterpret_cast<char *>(&ReceiveByte)))
        Application->MessageBox(QStringLiteral("データ入力のパイプ０の読み出しでエラーが発生"),
                                QStringLiteral("警告"), MB_OK);

    char received[2];
    std::snprintf(received, sizeof received, "%c", ReceiveByte);
    const QString &shown = ReceivedText(static_cast<unsigned char>(received[0]));
    Label2->SetCaption(shown);
    RichEdit1->SetSelText(shown);
    if (std::strcmp(received, "Z") == 0)
        RichEdit1->Lines->Add(QString());
}
