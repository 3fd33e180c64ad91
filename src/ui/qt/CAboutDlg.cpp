#include "ui/qt/CAboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "res/Templates.h"
#include "res/resource.h"

namespace quorlin::qt {

CAboutDlg::CAboutDlg(const QIcon& icon, QWidget* parent)
    : TemplateDialog(res::AboutDialogTemplate(), parent) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    if (auto* iconLabel = qobject_cast<QLabel*>(Control(res::IDC_ABOUT_ICON))) {
        iconLabel->setPixmap(icon.pixmap(iconLabel->size()));
    }
    if (auto* ok = qobject_cast<QPushButton*>(Control(res::IDOK))) {
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    }
    if (!icon.isNull()) {
        setWindowIcon(icon);
    }
}

}  // namespace quorlin::qt
