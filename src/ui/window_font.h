// The font of every window of the program: a Japanese proportional UI font at 12 pixels, the
// first of these families that the system has.
#pragma once

#include <QFont>
#include <QStringList>

namespace trovanex {

inline QFont WindowFont() {
  QFont font;
  font.setFamilies(QStringList{"MS PGothic", "IPAPGothic", "IPAGothic", "Noto Sans CJK JP",
                               "VL PGothic", "Sans Serif"});
  font.setPixelSize(12);
  return font;
}

}  // namespace trovanex
