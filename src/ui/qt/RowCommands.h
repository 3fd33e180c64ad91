#pragma once
// A report-mode list's row commands in the Qt view: the row's context menu (mouse or Menu
// key), and its first command on a double-click or on Enter with the row focused. Whether a
// row has a command, and running it, are the handler's.

#include <QObject>
#include <vector>

#include "interfaces/DialogWindow.h"

class QTableWidget;

namespace quorlin::qt {

class QtDialogWindow;

class RowCommands : public QObject {
  public:
    // Lives as long as the list, which owns it.
    RowCommands(QTableWidget* list, int id, std::vector<RowCommand> items,
                const QtDialogWindow& window);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool Enabled(int row, std::uint32_t command) const;
    void Run(int row, std::uint32_t command) const;
    // Runs the first command when the row has it; whether it did.
    bool RunFirst(int row) const;
    void ShowMenu(int row, const QPoint& globalPos) const;

    QTableWidget* m_list;
    int m_id;
    std::vector<RowCommand> m_items;
    const QtDialogWindow& m_window;
};

}  // namespace quorlin::qt
