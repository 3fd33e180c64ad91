#include "ui/qt/RowCommands.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QStyle>
#include <QTableWidget>

#include "ui/qt/QtDialogWindow.h"

namespace quorlin::qt {

namespace {

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

}  // namespace

RowCommands::RowCommands(QTableWidget* list, int id, std::vector<RowCommand> items,
                         const QtDialogWindow& window)
    : QObject(list), m_list(list), m_id(id), m_items(std::move(items)), m_window(window) {
    setObjectName(QStringLiteral("rowCommands"));
    list->installEventFilter(this);
    list->viewport()->installEventFilter(this);
    connect(list, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { RunFirst(row); });
}

bool RowCommands::Enabled(int row, std::uint32_t command) const {
    DialogHandler* handler = m_window.Handler();
    return handler != nullptr && handler->ListItemCommandEnabled(m_id, row, command);
}

void RowCommands::Run(int row, std::uint32_t command) const {
    if (DialogHandler* handler = m_window.Handler()) {
        handler->OnListItemCommand(m_id, row, command);
    }
}

bool RowCommands::RunFirst(int row) const {
    if (m_items.empty() || row < 0 || !Enabled(row, m_items.front().command)) {
        return false;
    }
    Run(row, m_items.front().command);
    return true;
}

void RowCommands::ShowMenu(int row, const QPoint& globalPos) const {
    QMenu menu(m_list);
    menu.setObjectName(QStringLiteral("rowMenu"));
    for (const RowCommand& item : m_items) {
        QAction* action = menu.addAction(FromUtf8(item.text));
        action->setData(item.command);
        action->setEnabled(Enabled(row, item.command));
        if (menu.defaultAction() == nullptr) {
            menu.setDefaultAction(action);  // what a double-click does, shown in bold
        }
    }
    QAction* chosen = menu.exec(globalPos);
    if (chosen != nullptr && chosen->isEnabled()) {
        Run(row, chosen->data().toUInt());
    }
}

bool RowCommands::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_list && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        if (enter && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            // A row without the command leaves Enter to the dialog, as before.
            return RunFirst(m_list->currentRow());
        }
        return false;
    }
    if (event->type() != QEvent::ContextMenu || m_items.empty()) {
        return false;
    }
    const auto* menuEvent = static_cast<QContextMenuEvent*>(event);
    int row = -1;
    QPoint at;
    if (menuEvent->reason() == QContextMenuEvent::Keyboard) {
        row = m_list->currentRow();
        const QRect cell = m_list->visualRect(m_list->model()->index(row, 0));
        at = m_list->viewport()->mapToGlobal(cell.center());
    } else if (watched == m_list->viewport()) {
        row = m_list->rowAt(menuEvent->pos().y());
        at = menuEvent->globalPos();
    }
    if (row < 0) {
        return false;  // off the rows: the dialog's own menu
    }
    ShowMenu(row, at);
    return true;
}

// The view's list-row calls, beside the rows' commands.

void QtDialogWindow::ListSetItemMenu(int id, const std::vector<RowCommand>& items) {
    auto* list = qobject_cast<QTableWidget*>(Control(id));
    if (list == nullptr) {
        return;
    }
    delete list->findChild<RowCommands*>(QStringLiteral("rowCommands"), Qt::FindDirectChildrenOnly);
    new RowCommands(list, id, items, *this);
}

void QtDialogWindow::ListSetItemMark(int id, int row, int subItem, RowMark mark,
                                     const std::string& tooltip) {
    auto* list = qobject_cast<QTableWidget*>(Control(id));
    if (list == nullptr || row < 0 || row >= list->rowCount() || subItem < 0 ||
        subItem >= list->columnCount()) {
        return;
    }
    const QString tip = mark == RowMark::None ? QString() : FromUtf8(tooltip);
    for (int c = 0; c < list->columnCount(); ++c) {
        QTableWidgetItem* item = list->item(row, c);
        if (item == nullptr) {
            item = new QTableWidgetItem;
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            list->setItem(row, c, item);
        }
        item->setToolTip(tip);
    }
    QIcon icon;
    if (mark != RowMark::None) {
        icon = list->style()->standardIcon(mark == RowMark::Expired ? QStyle::SP_MessageBoxCritical
                                                                    : QStyle::SP_MessageBoxWarning);
    }
    list->item(row, subItem)->setIcon(icon);
    list->item(row, subItem)->setData(Qt::UserRole, static_cast<int>(mark));
}

}  // namespace quorlin::qt
