#pragma once
// The only way the core reaches the toolkit: controls by numeric id, message boxes and
// the wait cursor. Texts are UTF-8. The Qt view implements it; tests use a recording fake.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorlin {

enum class MsgIcon { None, Exclamation, Information };

using IconHandle = std::uintptr_t;

// A list row's marker: an icon in one of its cells and a tooltip over the row.
enum class RowMark { None, Expiring, Expired };

// An item of a list row's context menu.
struct RowCommand {
    std::uint32_t command;
    std::string text;
};

// What the save dialog returned: the path and the index of the filter chosen.
struct SaveChoice {
    std::string path;
    int filter = 0;
};

// A save-dialog filter: its name and file-name suffixes (".pem"), the first the default.
struct FileFilter {
    std::string name;
    std::vector<std::string> suffixes;
};

// What the view calls back: the dialog's command table.
class DialogHandler {
  public:
    virtual ~DialogHandler() = default;
    virtual bool OnInitDialog() = 0;
    virtual void OnCommand(int controlId) = 0;                // button clicked
    virtual std::intptr_t OnTabSelChange(int controlId) = 0;  // tab selection changed
    virtual void OnSysCommand(std::uint32_t id, std::intptr_t param) = 0;
    virtual IconHandle OnQueryDragIcon() = 0;
    // A list row's own commands: whether the row has this one now, and running it.
    virtual bool ListItemCommandEnabled(int controlId, int row, std::uint32_t command) = 0;
    virtual void OnListItemCommand(int controlId, int row, std::uint32_t command) = 0;
};

class DialogWindow {
  public:
    virtual ~DialogWindow() = default;

    // Controls.
    virtual void ShowControl(int id, bool show) = 0;
    virtual void EnableControl(int id, bool enable) = 0;
    virtual std::string GetControlText(int id) = 0;
    virtual void SetControlText(int id, const std::string& text) = 0;
    virtual void SetFocus(int id) = 0;

    // Drop-down list.
    virtual void ComboResetContent(int id) = 0;
    virtual int ComboAddString(int id, const std::string& text) = 0;
    virtual void ComboSetCurSel(int id, int index) = 0;
    // The selected entry's text; nullopt when nothing is selected.
    virtual std::optional<std::string> ComboGetSelectedText(int id) = 0;

    // Report-mode list view.
    virtual void ListDeleteAllItems(int id) = 0;
    virtual int ListInsertItem(int id, int row, const std::string& text) = 0;
    virtual void ListSetItemText(int id, int row, int subItem, const std::string& text) = 0;
    virtual int ListClientWidth(int id) = 0;
    virtual void ListSetExtendedStyle(int id, std::uint32_t style) = 0;
    virtual void ListInsertColumn(int id, int position, const std::string& heading, int width) = 0;
    // The row's marker icon goes in subItem's cell; RowMark::None takes icon and tooltip off.
    virtual void ListSetItemMark(int id, int row, int subItem, RowMark mark,
                                 const std::string& tooltip) = 0;
    // A row's context menu, items enabled as the handler says; the first item also answers
    // a double-click on a row and Enter on the focused row.
    virtual void ListSetItemMenu(int id, const std::vector<RowCommand>& items) = 0;

    // Tab control.
    virtual void TabInsertItem(int id, int position, const std::string& text) = 0;
    virtual int TabGetCurSel(int id) = 0;
    // The plain select-tab message: no selection-change notification follows.
    virtual void TabSetCurSel(int id, int index) = 0;

    // Window chores.
    virtual IconHandle LoadIcon(int resourceId) = 0;
    virtual void SetIcon(IconHandle icon, bool big) = 0;
    virtual bool HasSystemMenu() = 0;
    virtual void AppendSystemMenuSeparator() = 0;
    virtual void AppendSystemMenuItem(std::uint32_t command, const std::string& text) = 0;
    virtual void DefaultSysCommand(std::uint32_t id, std::intptr_t param) = 0;
    virtual void RunAboutBox() = 0;

    // Modal, OK only. No caption: the application's name. ownerless: no owner window
    // (used before the dialog's window exists and after it is gone).
    virtual int MessageBox(const std::string& text, const std::optional<std::string>& caption,
                           MsgIcon icon, bool ownerless = false) = 0;
    // Modal, Yes and No, No the default; true for Yes.
    virtual bool AskYesNo(const std::string& text, const std::optional<std::string>& caption) = 0;

    // Runs dialog template templateId modally over this window, texts set by control id. A
    // push button other than OK calls onCommand with its id and leaves the dialog open;
    // boxes shown meanwhile belong to it.
    virtual void RunTemplateDialog(int templateId,
                                   const std::vector<std::pair<int, std::string>>& texts,
                                   const std::function<void(int)>& onCommand) = 0;
    // The desktop's save dialog, offering fileName; nullopt when cancelled.
    virtual std::optional<SaveChoice> GetSaveFileName(const std::string& caption,
                                                      const std::string& fileName,
                                                      const std::vector<FileFilter>& filters) = 0;

    virtual void BeginWaitCursor() = 0;
    virtual void RestoreWaitCursor() = 0;
    virtual void EndWaitCursor() = 0;

    // Runs the dialog modally with handler as its command table.
    virtual int DoModal(DialogHandler& handler) = 0;

    // Runs task on the dialog's thread once it is back in its event loop; safe to call
    // from any thread. Tasks still waiting when the window goes are dropped.
    virtual void PostTask(std::function<void()> task) = 0;
};

}  // namespace quorlin
