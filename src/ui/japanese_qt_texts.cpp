#include "ui/japanese_qt_texts.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace trovanex {

bool InstallJapaneseQtTexts(QCoreApplication& app) {
  auto* texts = new QTranslator(&app);
  if (!texts->load(QLocale(QLocale::Japanese, QLocale::Japan), "qtbase", "_",
                   QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete texts;
    return false;
  }
  return QCoreApplication::installTranslator(texts);
}

}  // namespace trovanex
