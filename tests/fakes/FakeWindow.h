#pragma once
// A DialogWindow that keeps the state of every control and records every call, so tests
// can assert both what the dialog shows and the order in which it did so.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/DialogWindow.h"

namespace quorlin::test {

struct MessageBoxCall {
    std::string text;
    std::optional<std::string> caption;  // nullopt: the application's name
    MsgIcon icon;
    bool ownerless;
};

struct ListColumn {
    int position;
    std::string heading;
    int width;
};

struct RowMarkCall {
    RowMark mark = RowMark::None;
    int subItem = -1;
    std::string tooltip;
};

// A template dialog run: its texts by control id.
struct TemplateDialogCall {
    int templateId;
    std::map<int, std::string> texts;
};

struct SaveDialogCall {
    std::string caption;
    std::string fileName;
    std::vector<FileFilter> filters;
};

class FakeWindow : public DialogWindow {
  public:
    // Calls, one line each ("MessageBox:<text>", "SetText:1006:<text>", "Focus:1003", ...).
    std::vector<std::string> calls;
    std::vector<MessageBoxCall> messages;
    std::map<int, std::string> texts;
    std::map<int, bool> shown;
    std::map<int, bool> enabled;
    std::vector<std::string> comboItems;
    int comboSel = -1;
    std::vector<std::vector<std::string>> rows;  // rows[r][subItem]
    std::vector<RowMarkCall> rowMarks;           // beside rows, moving with them
    std::vector<RowCommand> rowMenu;
    std::vector<ListColumn> columns;
    std::uint32_t listStyle = 0;
    int listClientWidth = 400;
    std::vector<std::string> tabs;
    int tabSel = -1;
    int focus = 0;
    int waitCursorDepth = 0;
    int aboutBoxes = 0;
    std::vector<std::string> systemMenu;
    // Runs when a message box is shown (before it "closes"), e.g. to inspect state then.
    std::function<void(const MessageBoxCall&)> onMessageBox;
    // Yes/No questions asked, and the answer each gets.
    std::vector<std::string> questions;
    bool answerYes = false;
    // Template dialogs run; while one runs, onTemplateDialog may press its buttons.
    std::vector<TemplateDialogCall> templateDialogs;
    std::function<void(const TemplateDialogCall&, const std::function<void(int)>&)>
        onTemplateDialog;
    // Save dialogs shown, and what each returns.
    std::vector<SaveDialogCall> saveDialogs;
    std::optional<SaveChoice> saveChoice;

    std::string Text(int id) const;
    bool IsShown(int id) const;
    bool IsEnabled(int id) const;
    // The message texts in order.
    std::vector<std::string> MessageTexts() const;

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
    bool HasSystemMenu() override { return true; }
    void AppendSystemMenuSeparator() override;
    void AppendSystemMenuItem(std::uint32_t command, const std::string& text) override;
    void DefaultSysCommand(std::uint32_t id, std::intptr_t param) override;
    void RunAboutBox() override;
    int MessageBox(const std::string& text, const std::optional<std::string>& caption, MsgIcon icon,
                   bool ownerless) override;
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
    // Runs the tasks posted so far, as the dialog thread's event loop would; their count.
    int RunPostedTasks();
    // Waits (up to timeoutMs) until a task has been posted; false on time-out.
    bool WaitForPostedTask(int timeoutMs);

  private:
    // Apart, so that a window can still be assigned afresh.
    struct Tasks {
        std::mutex mutex;
        std::condition_variable posted;
        std::vector<std::function<void()>> queue;
    };
    std::unique_ptr<Tasks> m_tasks = std::make_unique<Tasks>();
};

}  // namespace quorlin::test
