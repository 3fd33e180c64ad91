#include "fakes/FakeWindow.h"

namespace quorlin::test {

std::string FakeWindow::Text(int id) const {
    auto it = texts.find(id);
    return it == texts.end() ? std::string() : it->second;
}

bool FakeWindow::IsShown(int id) const {
    auto it = shown.find(id);
    return it != shown.end() && it->second;
}

bool FakeWindow::IsEnabled(int id) const {
    auto it = enabled.find(id);
    return it == enabled.end() || it->second;
}

std::vector<std::string> FakeWindow::MessageTexts() const {
    std::vector<std::string> out;
    for (const MessageBoxCall& m : messages) {
        out.push_back(m.text);
    }
    return out;
}

void FakeWindow::ShowControl(int id, bool show) {
    calls.push_back("Show:" + std::to_string(id) + ":" + (show ? "1" : "0"));
    shown[id] = show;
}

void FakeWindow::EnableControl(int id, bool enable) {
    calls.push_back("Enable:" + std::to_string(id) + ":" + (enable ? "1" : "0"));
    enabled[id] = enable;
}

std::string FakeWindow::GetControlText(int id) {
    calls.push_back("GetText:" + std::to_string(id));
    return Text(id);
}

void FakeWindow::SetControlText(int id, const std::string& text) {
    calls.push_back("SetText:" + std::to_string(id) + ":" + text);
    texts[id] = text;
}

void FakeWindow::SetFocus(int id) {
    calls.push_back("Focus:" + std::to_string(id));
    focus = id;
}

void FakeWindow::ComboResetContent(int id) {
    calls.push_back("ComboReset:" + std::to_string(id));
    comboItems.clear();
    comboSel = -1;
}

int FakeWindow::ComboAddString(int id, const std::string& text) {
    calls.push_back("ComboAdd:" + std::to_string(id) + ":" + text);
    comboItems.push_back(text);
    return static_cast<int>(comboItems.size()) - 1;
}

void FakeWindow::ComboSetCurSel(int id, int index) {
    calls.push_back("ComboSel:" + std::to_string(id) + ":" + std::to_string(index));
    comboSel = (index >= 0 && index < static_cast<int>(comboItems.size())) ? index : -1;
}

std::optional<std::string> FakeWindow::ComboGetSelectedText(int id) {
    calls.push_back("ComboGet:" + std::to_string(id));
    if (comboSel < 0) {
        return std::nullopt;
    }
    return comboItems[static_cast<std::size_t>(comboSel)];
}

void FakeWindow::ListDeleteAllItems(int id) {
    calls.push_back("ListDeleteAll:" + std::to_string(id));
    rows.clear();
    rowMarks.clear();
}

int FakeWindow::ListInsertItem(int id, int row, const std::string& text) {
    calls.push_back("ListInsert:" + std::to_string(id) + ":" + std::to_string(row) + ":" + text);
    if (row < 0 || row > static_cast<int>(rows.size())) {
        row = static_cast<int>(rows.size());
    }
    rows.insert(rows.begin() + row, std::vector<std::string>(5));
    rowMarks.insert(rowMarks.begin() + row, RowMarkCall{});
    rows[static_cast<std::size_t>(row)][0] = text;
    return row;
}

void FakeWindow::ListSetItemText(int id, int row, int subItem, const std::string& text) {
    calls.push_back("ListSet:" + std::to_string(id) + ":" + std::to_string(row) + ":" +
                    std::to_string(subItem) + ":" + text);
    if (row >= 0 && row < static_cast<int>(rows.size()) && subItem >= 0 && subItem < 5) {
        rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(subItem)] = text;
    }
}

int FakeWindow::ListClientWidth(int) {
    return listClientWidth;
}

void FakeWindow::ListSetExtendedStyle(int id, std::uint32_t style) {
    calls.push_back("ListStyle:" + std::to_string(id) + ":" + std::to_string(style));
    listStyle = style;
}

void FakeWindow::ListInsertColumn(int id, int position, const std::string& heading, int width) {
    calls.push_back("ListColumn:" + std::to_string(id) + ":" + std::to_string(position) + ":" +
                    heading + ":" + std::to_string(width));
    // A column inserted at a position past the end goes last, as in the list view.
    ListColumn column{position, heading, width};
    if (position < 0 || position > static_cast<int>(columns.size())) {
        columns.push_back(column);
    } else {
        columns.insert(columns.begin() + position, column);
    }
}

void FakeWindow::ListSetItemMark(int id, int row, int subItem, RowMark mark,
                                 const std::string& tooltip) {
    calls.push_back("ListMark:" + std::to_string(id) + ":" + std::to_string(row) + ":" +
                    std::to_string(subItem) + ":" + std::to_string(static_cast<int>(mark)) + ":" +
                    tooltip);
    if (row >= 0 && row < static_cast<int>(rowMarks.size())) {
        rowMarks[static_cast<std::size_t>(row)] = {mark, subItem, tooltip};
    }
}

void FakeWindow::ListSetItemMenu(int id, const std::vector<RowCommand>& items) {
    std::string line = "ListMenu:" + std::to_string(id);
    for (const RowCommand& item : items) {
        line += ":" + std::to_string(item.command) + "=" + item.text;
    }
    calls.push_back(line);
    rowMenu = items;
}

void FakeWindow::TabInsertItem(int id, int position, const std::string& text) {
    calls.push_back("TabInsert:" + std::to_string(id) + ":" + std::to_string(position) + ":" +
                    text);
    tabs.insert(
        tabs.begin() + std::min<std::size_t>(static_cast<std::size_t>(position), tabs.size()),
        text);
}

int FakeWindow::TabGetCurSel(int) {
    return tabSel;
}

void FakeWindow::TabSetCurSel(int id, int index) {
    calls.push_back("TabSel:" + std::to_string(id) + ":" + std::to_string(index));
    tabSel = index;
}

IconHandle FakeWindow::LoadIcon(int resourceId) {
    calls.push_back("LoadIcon:" + std::to_string(resourceId));
    return static_cast<IconHandle>(resourceId);
}

void FakeWindow::SetIcon(IconHandle icon, bool big) {
    calls.push_back("SetIcon:" + std::to_string(icon) + ":" + (big ? "big" : "small"));
}

void FakeWindow::AppendSystemMenuSeparator() {
    systemMenu.push_back("-");
}

void FakeWindow::AppendSystemMenuItem(std::uint32_t command, const std::string& text) {
    systemMenu.push_back(std::to_string(command) + ":" + text);
}

void FakeWindow::DefaultSysCommand(std::uint32_t id, std::intptr_t) {
    calls.push_back("DefaultSysCommand:" + std::to_string(id));
}

void FakeWindow::RunAboutBox() {
    calls.push_back("AboutBox");
    ++aboutBoxes;
}

int FakeWindow::MessageBox(const std::string& text, const std::optional<std::string>& caption,
                           MsgIcon icon, bool ownerless) {
    calls.push_back("MessageBox:" + text);
    messages.push_back({text, caption, icon, ownerless});
    if (onMessageBox) {
        onMessageBox(messages.back());
    }
    return 1;
}

bool FakeWindow::AskYesNo(const std::string& text, const std::optional<std::string>&) {
    calls.push_back("AskYesNo:" + text);
    questions.push_back(text);
    return answerYes;
}

void FakeWindow::RunTemplateDialog(int templateId,
                                   const std::vector<std::pair<int, std::string>>& texts,
                                   const std::function<void(int)>& onCommand) {
    calls.push_back("TemplateDialog:" + std::to_string(templateId));
    TemplateDialogCall call{templateId, {}};
    for (const auto& [id, text] : texts) {
        call.texts[id] = text;
    }
    templateDialogs.push_back(call);
    if (onTemplateDialog) {
        onTemplateDialog(call, onCommand);
    }
}

std::optional<SaveChoice> FakeWindow::GetSaveFileName(const std::string& caption,
                                                      const std::string& fileName,
                                                      const std::vector<FileFilter>& filters) {
    calls.push_back("SaveDialog:" + fileName);
    saveDialogs.push_back({caption, fileName, filters});
    return saveChoice;
}

void FakeWindow::BeginWaitCursor() {
    calls.push_back("BeginWait");
    ++waitCursorDepth;
}

void FakeWindow::RestoreWaitCursor() {
    calls.push_back("RestoreWait");
}

void FakeWindow::EndWaitCursor() {
    calls.push_back("EndWait");
    --waitCursorDepth;
}

int FakeWindow::DoModal(DialogHandler& handler) {
    handler.OnInitDialog();
    return 2;
}

void FakeWindow::PostTask(std::function<void()> task) {
    const std::lock_guard<std::mutex> lock(m_tasks->mutex);
    m_tasks->queue.push_back(std::move(task));
    m_tasks->posted.notify_all();
}

int FakeWindow::RunPostedTasks() {
    std::vector<std::function<void()>> tasks;
    {
        const std::lock_guard<std::mutex> lock(m_tasks->mutex);
        tasks.swap(m_tasks->queue);
    }
    for (auto& task : tasks) {
        task();
    }
    return static_cast<int>(tasks.size());
}

bool FakeWindow::WaitForPostedTask(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_tasks->mutex);
    return m_tasks->posted.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [this] { return !m_tasks->queue.empty(); });
}

}  // namespace quorlin::test
