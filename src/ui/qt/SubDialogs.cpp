// The view's modal helpers besides the message box: template dialogs run over the main
// one, the Yes/No question and the save dialog.

#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "res/Templates.h"
#include "res/resource.h"
#include "ui/qt/QtDialogWindow.h"
#include "ui/qt/TemplateDialog.h"

namespace quorlin::qt {

namespace {

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// A template dialog whose OK closes it and whose other push buttons report their ids.
class CommandDialog : public TemplateDialog {
  public:
    CommandDialog(const res::DialogTemplate& tpl, QWidget* parent,
                  const std::function<void(int)>& onCommand)
        : TemplateDialog(tpl, parent) {
        setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                       Qt::WindowCloseButtonHint);
        for (const res::ControlTemplate& ctl : tpl.controls) {
            auto* button = qobject_cast<QPushButton*>(Control(ctl.id));
            if (button == nullptr) {
                continue;
            }
            // Enter presses the focused button; elsewhere, the template's default one.
            button->setAutoDefault(true);
            const int id = ctl.id;
            if (id == res::IDOK) {
                connect(button, &QPushButton::clicked, this, &QDialog::accept);
            } else if (onCommand) {
                connect(button, &QPushButton::clicked, this, [onCommand, id] { onCommand(id); });
            }
        }
    }

    void SetText(int id, const QString& text) {
        QWidget* w = Control(id);
        if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            edit->setText(text);
            edit->setCursorPosition(0);  // a long value shows its start
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
            label->setText(text);
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            button->setText(text);
        }
    }
};

QString FilterText(const FileFilter& filter) {
    QStringList patterns;
    for (const std::string& suffix : filter.suffixes) {
        patterns << QStringLiteral("*") + FromUtf8(suffix);
    }
    return FromUtf8(filter.name) + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
           QStringLiteral(")");
}

// The desktop's save dialog. Replacing a file is confirmed by the caller, not here.
std::optional<SaveChoice> DesktopSaveDialog(QWidget* parent, const QString& caption,
                                            const QString& fileName, const QStringList& filters) {
    QString selected = filters.value(0);
    const QString path = QFileDialog::getSaveFileName(
        parent, caption, QDir::home().filePath(fileName), filters.join(QStringLiteral(";;")),
        &selected, QFileDialog::DontConfirmOverwrite);
    if (path.isEmpty()) {
        return std::nullopt;
    }
    return SaveChoice{path.toStdString(), static_cast<int>(filters.indexOf(selected))};
}

}  // namespace

QWidget* QtDialogWindow::Owner() const {
    return m_subDialog != nullptr ? m_subDialog : Dialog();
}

void QtDialogWindow::RunTemplateDialog(int templateId,
                                       const std::vector<std::pair<int, std::string>>& texts,
                                       const std::function<void(int)>& onCommand) {
    const res::DialogTemplate* tpl = res::FindDialogTemplate(templateId);
    if (tpl == nullptr) {
        return;
    }
    CommandDialog dialog(*tpl, Owner(), onCommand);
    for (const auto& [id, text] : texts) {
        dialog.SetText(id, FromUtf8(text));
    }
    if (!m_windowIcon.isNull()) {
        dialog.setWindowIcon(m_windowIcon);
    }
    QWidget* previous = m_subDialog;
    m_subDialog = &dialog;
    dialog.exec();
    m_subDialog = previous;
}

bool QtDialogWindow::AskYesNo(const std::string& text, const std::optional<std::string>& caption) {
    if (m_boxObserver) {
        m_boxObserver(text, caption, std::nullopt);
    }
    const QString title = caption ? FromUtf8(*caption) : ApplicationName();
    QMessageBox box(QMessageBox::Question, title, FromUtf8(text),
                    QMessageBox::Yes | QMessageBox::No, Owner());
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

std::optional<SaveChoice> QtDialogWindow::GetSaveFileName(const std::string& caption,
                                                          const std::string& fileName,
                                                          const std::vector<FileFilter>& filters) {
    QStringList filterTexts;
    for (const FileFilter& filter : filters) {
        filterTexts << FilterText(filter);
    }
    const SaveFileSeam& seam = m_saveFileSeam ? m_saveFileSeam : SaveFileSeam(DesktopSaveDialog);
    return seam(Owner(), FromUtf8(caption), FromUtf8(fileName), filterTexts);
}

}  // namespace quorlin::qt
