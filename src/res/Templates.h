#pragma once
// Dialog templates 100, 102 and 103 as data: controls in template (tab) order, geometry in
// dialog units.

#include <span>

namespace quorlin::res {

enum class ControlKind {
    GroupBox,
    StaticText,
    StaticIcon,
    ComboDropDownList,
    Edit,
    PushButton,
    TabControl,
    ListView
};

// Style bits the view honours.
inline constexpr unsigned kStylePassword = 0x01;
inline constexpr unsigned kStyleAutoHScroll = 0x02;
inline constexpr unsigned kStyleBorder = 0x04;
inline constexpr unsigned kStyleVScroll = 0x08;
inline constexpr unsigned kStyleNoPrefix = 0x10;
inline constexpr unsigned kStyleDefaultButton = 0x20;
inline constexpr unsigned kStyleReport = 0x40;
inline constexpr unsigned kStyleTabStop = 0x80;
inline constexpr unsigned kStyleReadOnly = 0x100;

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* text;
    unsigned style;
    int x, y, cx, cy;
};

// A static text that names a field: what a screen reader says for the field.
struct LabelFor {
    int label;
    int field;
};

struct DialogTemplate {
    int id;
    const char* caption;
    int cx, cy;
    const char* fontFace;
    // In order, for a machine without fontFace: Traditional Chinese faces that hold every
    // glyph the dialogs show, so that no other script's glyph forms stand in.
    std::span<const char* const> fallbackFontFaces;
    int pointSize;
    std::span<const ControlTemplate> controls;
    std::span<const LabelFor> labels;
};

const DialogTemplate& MainDialogTemplate();   // 102
const DialogTemplate& AboutDialogTemplate();  // 100
const DialogTemplate& CertDetailsTemplate();  // 103
// The template with this id; null for none.
const DialogTemplate* FindDialogTemplate(int id);

}  // namespace quorlin::res
