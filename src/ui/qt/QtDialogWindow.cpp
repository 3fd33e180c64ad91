#include "ui/qt/QtDialogWindow.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QResizeEvent>
#include <QSignalBlocker>
#include <QStringDecoder>
#include <QTabBar>
#include <QTableWidget>

#include "base/Secret.h"
#include "res/Icon.h"
#include "res/Templates.h"
#include "res/resource.h"
#include "ui/qt/CAboutDlg.h"

namespace quorlin::qt {

namespace {

// An edit field's text as UTF-8. The fields hold PINs: the UTF-8 copy made on the way is
// wiped once the result is built (Qt's own UTF-16 copies are out of reach).
std::string EditText(const QLineEdit& edit) {
    struct Utf8 {
        QByteArray bytes;
        ~Utf8() { base::WipeSecret(bytes.data(), static_cast<std::size_t>(bytes.size())); }
    } utf8{edit.text().toUtf8()};
    return std::string(utf8.bytes.constData(), static_cast<std::size_t>(utf8.bytes.size()));
}

// System commands the default handling knows.
constexpr std::uint32_t kScMinimize = 0xF020;
constexpr std::uint32_t kScClose = 0xF060;
constexpr std::uint32_t kScRestore = 0xF120;

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// A drop-down entry keeps the service's bytes beside the text shown, so that a reader's
// name goes back to it unchanged whatever its encoding.
constexpr int kBytesRole = Qt::UserRole + 1;

// Names that are not UTF-8 are shown byte for character (Latin-1) rather than with
// replacement characters, so that two such names never look alike.
QString ShownName(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QByteArray raw(bytes.data(), qsizetype(bytes.size()));
    QString text = utf8.decode(raw);
    return utf8.hasError() ? QString::fromLatin1(raw) : text;
}

}  // namespace

// The main dialog's window: Enter presses the focused push button and elsewhere goes to
// the OK command (which does nothing), Escape and the close box end it, and a right click
// opens the items the title-bar menu would carry on Windows.
class MainDialog : public TemplateDialog {
  public:
    MainDialog() : TemplateDialog(res::MainDialogTemplate()), m_systemMenu(new QMenu(this)) {
        setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                       Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
        m_systemMenu->setObjectName(QStringLiteral("systemMenu"));
    }

    DialogHandler* handler = nullptr;
    bool focusFirstOnShow = false;
    QMenu* SystemMenu() const { return m_systemMenu; }

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
        if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            event->accept();
            // Buttons leave Enter to the dialog (none is auto-default), as they would on
            // the platform the dialog was designed for, where it presses the focused one.
            auto* button = qobject_cast<QPushButton*>(focusWidget());
            if (button != nullptr && button->isEnabled() && button->isVisible()) {
                button->click();
                return;
            }
            if (handler != nullptr) {
                handler->OnCommand(res::IDOK);
            }
            return;
        }
        QDialog::keyPressEvent(event);
    }

    void contextMenuEvent(QContextMenuEvent* event) override {
        if (m_systemMenu->actions().isEmpty()) {
            event->ignore();
            return;
        }
        event->accept();
        QAction* chosen = m_systemMenu->exec(event->globalPos());
        if (chosen != nullptr && !chosen->isSeparator() && handler != nullptr) {
            handler->OnSysCommand(chosen->data().toUInt(), 0);
        }
    }

    void showEvent(QShowEvent* event) override {
        TemplateDialog::showEvent(event);
        if (focusFirstOnShow) {
            focusFirstOnShow = false;
            if (QWidget* first = FirstTabStop()) {
                first->setFocus(Qt::TabFocusReason);
            }
        }
    }

  private:
    QMenu* m_systemMenu;
};

QtDialogWindow::QtDialogWindow() = default;
QtDialogWindow::~QtDialogWindow() = default;

void QtDialogWindow::Create(DialogHandler& handler) {
    m_dialog = std::make_unique<MainDialog>();
    MainDialog* dialog = m_dialog.get();
    dialog->handler = &handler;
    for (const res::ControlTemplate& ctl : res::MainDialogTemplate().controls) {
        QWidget* w = dialog->Control(ctl.id);
        const int id = ctl.id;
        if (auto* button = qobject_cast<QPushButton*>(w)) {
            QObject::connect(button, &QPushButton::clicked, dialog,
                             [&handler, id] { handler.OnCommand(id); });
        } else if (auto* tabs = dynamic_cast<TabControl*>(w)) {
            // Only the user's changes notify: programmatic ones run under a signal blocker.
            QObject::connect(tabs->Bar(), &QTabBar::currentChanged, dialog,
                             [&handler, id](int) { handler.OnTabSelChange(id); });
        }
    }
    dialog->focusFirstOnShow = handler.OnInitDialog();
}

int QtDialogWindow::DoModal(DialogHandler& handler) {
    Create(handler);
    const int result = m_dialog->exec();
    m_dialog->handler = nullptr;
    return result == QDialog::Accepted ? res::IDOK : 2;  // IDCANCEL
}

TemplateDialog* QtDialogWindow::Dialog() const {
    return m_dialog.get();
}

QWidget* QtDialogWindow::Control(int id) const {
    return m_dialog ? m_dialog->Control(id) : nullptr;
}

QMenu* QtDialogWindow::SystemMenu() const {
    return m_dialog ? m_dialog->SystemMenu() : nullptr;
}

DialogHandler* QtDialogWindow::Handler() const {
    return m_dialog ? m_dialog->handler : nullptr;
}

QString QtDialogWindow::ApplicationName() {
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

template <typename W>
W* QtDialogWindow::As(int id) const {
    return qobject_cast<W*>(Control(id));
}

void QtDialogWindow::ShowControl(int id, bool show) {
    if (QWidget* w = Control(id)) {
        w->setVisible(show);
    }
}

void QtDialogWindow::EnableControl(int id, bool enable) {
    if (QWidget* w = Control(id)) {
        w->setEnabled(enable);
    }
}

std::string QtDialogWindow::GetControlText(int id) {
    QString text;
    if (auto* edit = As<QLineEdit>(id)) {
        return EditText(*edit);
    }
    if (auto* button = As<QPushButton>(id)) {
        text = button->text();
    } else if (auto* label = As<QLabel>(id)) {
        text = label->text();
    } else if (auto* box = As<QGroupBox>(id)) {
        text = box->title();
    } else if (auto* combo = As<QComboBox>(id)) {
        // A drop-down list's window text is its selection, as the service's bytes.
        const QVariant bytes = combo->currentData(kBytesRole);
        return bytes.isValid() ? bytes.toByteArray().toStdString()
                               : combo->currentText().toStdString();
    }
    return text.toStdString();
}

void QtDialogWindow::SetControlText(int id, const std::string& text) {
    const QString value = FromUtf8(text);
    if (auto* edit = As<QLineEdit>(id)) {
        edit->setText(value);
    } else if (auto* button = As<QPushButton>(id)) {
        button->setText(value);
    } else if (auto* label = As<QLabel>(id)) {
        label->setText(value);
    } else if (auto* box = As<QGroupBox>(id)) {
        box->setTitle(value);
    }
}

void QtDialogWindow::SetFocus(int id) {
    if (QWidget* w = Control(id)) {
        w->setFocus(Qt::OtherFocusReason);
    }
}

void QtDialogWindow::ComboResetContent(int id) {
    if (auto* combo = As<QComboBox>(id)) {
        combo->clear();
    }
}

int QtDialogWindow::ComboAddString(int id, const std::string& text) {
    auto* combo = As<QComboBox>(id);
    if (combo == nullptr) {
        return -1;
    }
    // Adding an entry selects nothing: the first entry must not become the selection.
    const QSignalBlocker blocker(combo);
    const int before = combo->currentIndex();
    combo->addItem(ShownName(text));
    combo->setItemData(combo->count() - 1, QByteArray(text.data(), qsizetype(text.size())),
                       kBytesRole);
    if (before < 0) {
        combo->setCurrentIndex(-1);
    }
    return combo->count() - 1;
}

void QtDialogWindow::ComboSetCurSel(int id, int index) {
    if (auto* combo = As<QComboBox>(id)) {
        combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
    }
}

std::optional<std::string> QtDialogWindow::ComboGetSelectedText(int id) {
    auto* combo = As<QComboBox>(id);
    if (combo == nullptr || combo->currentIndex() < 0) {
        return std::nullopt;
    }
    return combo->currentData(kBytesRole).toByteArray().toStdString();
}

void QtDialogWindow::ListDeleteAllItems(int id) {
    if (auto* list = As<QTableWidget>(id)) {
        list->setRowCount(0);
    }
}

int QtDialogWindow::ListInsertItem(int id, int row, const std::string& text) {
    auto* list = As<QTableWidget>(id);
    if (list == nullptr || row < 0) {
        return -1;
    }
    const int at = std::min(row, list->rowCount());  // past the end appends
    list->insertRow(at);
    ListSetItemText(id, at, 0, text);
    return at;
}

void QtDialogWindow::ListSetItemText(int id, int row, int subItem, const std::string& text) {
    auto* list = As<QTableWidget>(id);
    if (list == nullptr || row < 0 || row >= list->rowCount() || subItem < 0 ||
        subItem >= list->columnCount()) {
        return;
    }
    auto* item = new QTableWidgetItem(FromUtf8(text));
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    list->setItem(row, subItem, item);
}

int QtDialogWindow::ListClientWidth(int id) {
    auto* list = As<QTableWidget>(id);
    if (list == nullptr) {
        return 0;
    }
    // Before the first show the viewport has not been laid out; lay it out now.
    if (!list->isVisible()) {
        list->ensurePolished();
        QResizeEvent resize(list->size(), list->size());
        QCoreApplication::sendEvent(list, &resize);
    }
    return list->viewport()->width();
}

void QtDialogWindow::ListSetExtendedStyle(int id, std::uint32_t style) {
    if (auto* list = As<QTableWidget>(id)) {
        list->setShowGrid((style & res::LVS_EX_GRIDLINES) != 0);
        list->setSelectionBehavior((style & res::LVS_EX_FULLROWSELECT) != 0
                                       ? QAbstractItemView::SelectRows
                                       : QAbstractItemView::SelectItems);
    }
}

void QtDialogWindow::ListInsertColumn(int id, int position, const std::string& heading, int width) {
    auto* list = As<QTableWidget>(id);
    if (list == nullptr || position < 0) {
        return;
    }
    const int at = std::min(position, list->columnCount());  // past the end appends
    list->insertColumn(at);
    auto* header = new QTableWidgetItem(FromUtf8(heading));
    header->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list->setHorizontalHeaderItem(at, header);
    list->setColumnWidth(at, width);
}

void QtDialogWindow::TabInsertItem(int id, int position, const std::string& text) {
    if (auto* tabs = dynamic_cast<TabControl*>(Control(id))) {
        const QSignalBlocker blocker(tabs->Bar());
        tabs->Bar()->insertTab(position, FromUtf8(text));
    }
}

int QtDialogWindow::TabGetCurSel(int id) {
    auto* tabs = dynamic_cast<TabControl*>(Control(id));
    return tabs != nullptr ? tabs->Bar()->currentIndex() : -1;
}

void QtDialogWindow::TabSetCurSel(int id, int index) {
    if (auto* tabs = dynamic_cast<TabControl*>(Control(id))) {
        const QSignalBlocker blocker(tabs->Bar());
        tabs->Bar()->setCurrentIndex(index);
    }
}

IconHandle QtDialogWindow::LoadIcon(int resourceId) {
    if (resourceId != res::IDR_MAINFRAME) {
        return 0;
    }
    const auto handle = static_cast<IconHandle>(resourceId);
    if (m_icons.find(handle) == m_icons.end()) {
        QIcon icon{QPixmap(res::kIconXpm)};
        // The same artwork at the other sizes a window manager asks for; 32 stays the
        // resource's own, which the About box shows.
        for (const int size : {16, 22, 24, 48, 64, 128, 256}) {
            icon.addFile(QStringLiteral(":/org.quorlin.Quorlin/%1.png").arg(size),
                         QSize(size, size));
        }
        m_icons.emplace(handle, icon);
    }
    return handle;
}

void QtDialogWindow::SetIcon(IconHandle icon, bool) {
    // One window icon serves both sizes here.
    const auto it = m_icons.find(icon);
    if (it == m_icons.end()) {
        return;
    }
    m_windowIcon = it->second;
    if (m_dialog) {
        m_dialog->setWindowIcon(m_windowIcon);
    }
}

bool QtDialogWindow::HasSystemMenu() {
    return m_dialog != nullptr;
}

void QtDialogWindow::AppendSystemMenuSeparator() {
    if (m_dialog) {
        m_dialog->SystemMenu()->addSeparator();
    }
}

void QtDialogWindow::AppendSystemMenuItem(std::uint32_t command, const std::string& text) {
    if (m_dialog) {
        QAction* action = m_dialog->SystemMenu()->addAction(FromUtf8(text));
        action->setData(command);
    }
}

void QtDialogWindow::DefaultSysCommand(std::uint32_t id, std::intptr_t) {
    if (!m_dialog) {
        return;
    }
    switch (id & res::SC_MASK) {
        case kScClose:
            m_dialog->close();
            break;
        case kScMinimize:
            m_dialog->showMinimized();
            break;
        case kScRestore:
            m_dialog->showNormal();
            break;
        default:
            break;
    }
}

void QtDialogWindow::RunAboutBox() {
    QIcon icon = m_windowIcon;
    if (icon.isNull()) {
        icon = QIcon(QPixmap(res::kIconXpm));
    }
    CAboutDlg about(icon, m_dialog.get());
    about.exec();
}

int QtDialogWindow::MessageBox(const std::string& text, const std::optional<std::string>& caption,
                               MsgIcon icon, bool ownerless) {
    if (m_boxObserver) {
        m_boxObserver(text, caption, icon);
    }
    QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
    if (icon == MsgIcon::Exclamation) {
        boxIcon = QMessageBox::Warning;
    } else if (icon == MsgIcon::Information) {
        boxIcon = QMessageBox::Information;
    }
    QWidget* owner = ownerless ? nullptr : Owner();
    const QString title = caption ? FromUtf8(*caption) : ApplicationName();
    QMessageBox box(boxIcon, title, FromUtf8(text), QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);
    // A message box shows the arrow even while the wait cursor is up.
    const bool waiting = m_waitDepth > 0;
    if (waiting) {
        QApplication::setOverrideCursor(Qt::ArrowCursor);
    }
    box.exec();
    if (waiting) {
        QApplication::restoreOverrideCursor();
    }
    return res::IDOK;
}

void QtDialogWindow::BeginWaitCursor() {
    ++m_waitDepth;
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

void QtDialogWindow::RestoreWaitCursor() {
    if (m_waitDepth > 0) {
        QApplication::changeOverrideCursor(Qt::WaitCursor);
    }
}

void QtDialogWindow::EndWaitCursor() {
    if (m_waitDepth > 0) {
        --m_waitDepth;
        QApplication::restoreOverrideCursor();
    }
}

void QtDialogWindow::PostTask(std::function<void()> task) {
    QMetaObject::invokeMethod(m_tasks.get(), std::move(task), Qt::QueuedConnection);
}

}  // namespace quorlin::qt
