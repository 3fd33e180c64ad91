#pragma once
// Qt's own texts (the message boxes' buttons, the file dialog, a field's context menu) in
// Traditional Chinese whatever the locale, as every other text of the dialog is.

#include <QCoreApplication>

namespace quorlin::qt {

// Installs qtbase_zh_TW from Qt's translations directory into app. False, and Qt's texts
// stay English, when the file is missing or unreadable.
bool InstallQtTranslation(QCoreApplication& app);

}  // namespace quorlin::qt
