#include "ui/qt/QtTranslation.h"

#include <QLibraryInfo>
#include <QTranslator>

namespace quorlin::qt {

bool InstallQtTranslation(QCoreApplication& app) {
    auto* translator = new QTranslator(&app);
    if (!translator->load(QStringLiteral("qtbase_zh_TW"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return false;
    }
    return true;
}

}  // namespace quorlin::qt
