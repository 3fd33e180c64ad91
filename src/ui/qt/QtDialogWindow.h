#pragma once
// The Qt view of the main dialog (template 102): widgets built from the template, the
// handler's command table wired to their signals.

#include <QIcon>
#include <QObject>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>

#include "interfaces/DialogWindow.h"
#include "ui/qt/TemplateDialog.h"

class QMenu;

namespace quorlin::qt {

class MainDialog;

class QtDialogWindow : public DialogWindow {
  public:
    QtDialogWindow();
    ~QtDialogWindow() override;
    QtDialogWindow(const QtDialogWindow&) = delete;
    QtDialogWindow& operator=(const QtDialogWindow&) = delete;

    // Builds the window and runs the handler's initialisation, hidden; DoModal is this
    // followed by the modal run. Tests may call it alone and show the window themselves.
    void Create(DialogHandler& handler);
    TemplateDialog* Dialog() const;  // null before Create
    QWidget* Control(int id) const;  // null when unknown or before Create
    QMenu* SystemMenu() const;       // the context menu that stands in for it
    static QString ApplicationName();
    DialogHandler* Handler() const;  // null outside a run
    // The window that boxes belong to now: a template dialog while one runs, else the main
    // one.
    QWidget* Owner() const;

    // How the view asks for a file to save to: the desktop's save dialog, unless a test
    // puts something in its place. filters are Qt filter strings; nullopt when cancelled.
    using SaveFileSeam = std::function<std::optional<SaveChoice>(
        QWidget* parent, const QString& caption, const QString& fileName,
        const QStringList& filters)>;
    void SetSaveFileSeam(SaveFileSeam seam) { m_saveFileSeam = std::move(seam); }
    // Told of every message box as it is shown (the trace of a run); none by default. The
    // icon is nullopt for a yes/no question.
    using BoxObserver =
        std::function<void(const std::string& text, const std::optional<std::string>& caption,
                           std::optional<MsgIcon> icon)>;
    void ObserveMessageBoxes(BoxObserver observer) { m_boxObserver = std::move(observer); }

    // DialogWindow.
    void ShowControl(int id, bool show) override;
    void EnableControl(int id, bool enable) override;
    std::string GetControlText(int id) override;
    void SetControlText(int id, const std::string& text) override;
    void SetFocus(int id) override;

    void ComboResetContent(int id) override;
    int ComboAddString(int id, const std::string& text) override;
    void ComboSetCurSel(int id, int index) override;
    std::optional<std::string> ComboGetSelectedText(int id) override;

    void ListDeleteAllItems(int id) override;
    int ListInsertItem(int id, int row, const std::string& text) override;
    void ListSetItemText(int id, int row, int subItem, const std::string& text) override;
    int ListClientWidth(int id) override;
    void ListSetExtendedStyle(int id, std::uint32_t style) override;
    void ListInsertColumn(int id, int position, const std::string& heading, int width) override;
    void ListSetItemMark(int id, int row, int subItem, RowMark mark,
                         const std::string& tooltip) override;
    void ListSetItemMenu(int id, const std::vector<RowCommand>& items) override;

    void TabInsertItem(int id, int position, const std::string& text) override;
    int TabGetCurSel(int id) override;
    void TabSetCurSel(int id, int index) override;

    IconHandle LoadIcon(int resourceId) override;
    void SetIcon(IconHandle icon, bool big) override;
    bool HasSystemMenu() override;
    void AppendSystemMenuSeparator() override;
    void AppendSystemMenuItem(std::uint32_t command, const std::string& text) override;
    void DefaultSysCommand(std::uint32_t id, std::intptr_t param) override;
    void RunAboutBox() override;

    int MessageBox(const std::string& text, const std::optional<std::string>& caption, MsgIcon icon,
                   bool ownerless = false) override;
    bool AskYesNo(const std::string& text, const std::optional<std::string>& caption) override;
    void RunTemplateDialog(int templateId, const std::vector<std::pair<int, std::string>>& texts,
                           const std::function<void(int)>& onCommand) override;
    std::optional<SaveChoice> GetSaveFileName(const std::string& caption,
                                              const std::string& fileName,
                                              const std::vector<FileFilter>& filters) override;

    void BeginWaitCursor() override;
    void RestoreWaitCursor() override;
    void EndWaitCursor() override;

    int DoModal(DialogHandler& handler) override;
    void PostTask(std::function<void()> task) override;

  private:
    template <typename W>
    W* As(int id) const;

    std::unique_ptr<MainDialog> m_dialog;
    // Lives on the window's thread; posted tasks run in its event loop.
    std::unique_ptr<QObject> m_tasks = std::make_unique<QObject>();
    std::map<IconHandle, QIcon> m_icons;
    QIcon m_windowIcon;
    int m_waitDepth = 0;
    SaveFileSeam m_saveFileSeam;
    QWidget* m_subDialog = nullptr;  // the template dialog running now
    BoxObserver m_boxObserver;
};

}  // namespace quorlin::qt
