// Qt's own texts (the buttons of message boxes, the folder browser) in Japanese, like every
// other text of the program, whatever the user's locale.
#pragma once

#include <QCoreApplication>

namespace trovanex {

// Installs Qt's Japanese translation on the application for as long as it runs. Returns false,
// leaving Qt's English texts, when the translation is not installed on this system.
bool InstallJapaneseQtTexts(QCoreApplication& app);

}  // namespace trovanex
