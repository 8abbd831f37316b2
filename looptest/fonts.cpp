#include "looptest/fonts.h"

#include <QFontDatabase>
#include <QStringList>

QFont JapaneseFont(int pixelHeight, bool bold)
{
    static const QStringList families = [] {
        QStringList list{QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic")};
        const QStringList japanese = QFontDatabase::families(QFontDatabase::Japanese);
        if (!japanese.isEmpty())
            list << japanese.first();
        return list;
    }();
    QFont font;
    font.setFamilies(families);
    font.setPixelSize(pixelHeight);
    font.setBold(bold);
    return font;
}
