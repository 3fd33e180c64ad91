#include "res/Templates.h"

#include "res/Strings.h"
#include "res/resource.h"

namespace quorlin::res {

namespace {

constexpr const char* kFontFace = "新細明體";
constexpr const char* kFallbackFaces[] = {"AR PL UMing TW", "Noto Serif CJK TC",
                                          "Noto Sans CJK TC"};
constexpr unsigned kPinEdit = kStylePassword | kStyleAutoHScroll | kStyleBorder | kStyleTabStop;

using K = ControlKind;

constexpr ControlTemplate kMainControls[] = {
    {IDC_GROUP_LOGIN, K::GroupBox, kGroupLogin, 0, 13, 26, 216, 114},
    {IDC_STATIC_READER, K::StaticText, kLabelReader, 0, 18, 47, 48, 13},
    {IDC_COMBO_READER, K::ComboDropDownList, "", kStyleVScroll | kStyleTabStop, 72, 43, 147, 28},
    {IDC_STATIC_PIN, K::StaticText, kLabelPin, 0, 25, 71, 41, 13},
    {IDC_EDIT_PIN, K::Edit, "", kPinEdit, 72, 69, 74, 15},
    {IDC_BTN_LOGIN, K::PushButton, kBtnLogin, kStyleTabStop, 153, 66, 70, 19},
    {IDC_GROUP_CHANGEPIN, K::GroupBox, kGroupChangePin, 0, 13, 26, 216, 114},
    {IDC_STATIC_NEWPIN, K::StaticText, kLabelNewPin, 0, 24, 46, 48, 13},
    {IDC_STATIC_CONFIRMPIN, K::StaticText, kLabelConfirmPin, 0, 25, 66, 48, 13},
    {IDC_EDIT_NEWPIN, K::Edit, "", kPinEdit, 75, 44, 74, 15},
    {IDC_EDIT_CONFIRMPIN, K::Edit, "", kPinEdit, 75, 65, 74, 15},
    {IDC_BTN_CHANGEPIN, K::PushButton, kBtnChangePin, kStyleTabStop, 152, 87, 70, 19},
    {IDC_TAB, K::TabControl, "", kStyleTabStop, 7, 7, 229, 140},
    {IDC_GROUP_CERTS, K::GroupBox, kGroupCerts, 0, 13, 26, 216, 114},
    {IDC_LIST_CERTS, K::ListView, "", kStyleReport | kStyleBorder, 18, 42, 206, 70},
    {IDC_BTN_QUERY, K::PushButton, kBtnQuery, kStyleTabStop, 88, 115, 61, 19},
    {IDC_BTN_REGISTER, K::PushButton, kBtnRegister, kStyleTabStop, 153, 115, 67, 19},
};

constexpr ControlTemplate kAboutControls[] = {
    {IDC_ABOUT_ICON, K::StaticIcon, "", 0, 11, 17, 20, 20},
    {IDC_ABOUT_VERSION, K::StaticText, kAboutVersion, kStyleNoPrefix, 40, 10, 119, 8},
    {IDC_ABOUT_NOTICE, K::StaticText, kAboutNotice, 0, 40, 25, 119, 8},
    {IDOK, K::PushButton, kOk, kStyleDefaultButton | kStyleTabStop, 178, 7, 50, 14},
};

constexpr LabelFor kMainLabels[] = {
    {IDC_STATIC_READER, IDC_COMBO_READER},
    {IDC_STATIC_PIN, IDC_EDIT_PIN},
    {IDC_STATIC_NEWPIN, IDC_EDIT_NEWPIN},
    {IDC_STATIC_CONFIRMPIN, IDC_EDIT_CONFIRMPIN},
};

const DialogTemplate kMain{IDD_QUORLIN_DIALOG, kMainCaption, 244,           154,        kFontFace,
                           kFallbackFaces,     11,           kMainControls, kMainLabels};
const DialogTemplate kAbout{
    IDD_ABOUTBOX, kAboutCaption, 235, 55, kFontFace, kFallbackFaces, 9, kAboutControls, {}};

}  // namespace

const DialogTemplate& MainDialogTemplate() {
    return kMain;
}
const DialogTemplate& AboutDialogTemplate() {
    return kAbout;
}

}  // namespace quorlin::res
