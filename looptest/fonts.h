// The window's fonts.
#pragma once

#include <QFont>

// The window font family list: the face the layout names, then its metric twin from IPA,
// then whatever Japanese face the machine has.
QFont JapaneseFont(int pixelHeight, bool bold);
