#pragma once
// The About box, template 100: icon, name and version, a notice and OK.

#include <QIcon>

#include "ui/qt/TemplateDialog.h"

namespace quorlin::qt {

class CAboutDlg : public TemplateDialog {
  public:
    CAboutDlg(const QIcon& icon, QWidget* parent);
};

}  // namespace quorlin::qt
