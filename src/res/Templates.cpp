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

// Label and value rows 15 units apart; values are read-only fields, so that long names
// scroll and fingerprints can be copied.
constexpr unsigned kValue = kStyleReadOnly | kStyleAutoHScroll | kStyleBorder | kStyleTabStop;
constexpr int kRow = 15;

constexpr ControlTemplate kDetailsControls[] = {
    {IDC_DETAILS_LABEL_FIRST + 0, K::StaticText, kLabelSubject, 0, 7, 9 + 0 * kRow, 76, 8},
    {IDC_DETAILS_SUBJECT, K::Edit, "", kValue, 85, 7 + 0 * kRow, 400, 12},
    {IDC_DETAILS_LABEL_FIRST + 1, K::StaticText, kLabelIssuer, 0, 7, 9 + 1 * kRow, 76, 8},
    {IDC_DETAILS_ISSUER, K::Edit, "", kValue, 85, 7 + 1 * kRow, 400, 12},
    {IDC_DETAILS_LABEL_FIRST + 2, K::StaticText, kLabelSerial, 0, 7, 9 + 2 * kRow, 76, 8},
    {IDC_DETAILS_SERIAL, K::Edit, "", kValue, 85, 7 + 2 * kRow, 400, 12},
    {IDC_DETAILS_LABEL_FIRST + 3, K::StaticText, kLabelNotBefore, 0, 7, 9 + 3 * kRow, 76, 8},
    {IDC_DETAILS_NOTBEFORE, K::Edit, "", kValue, 85, 7 + 3 * kRow, 400, 12},
    {IDC_DETAILS_LABEL_FIRST + 4, K::StaticText, kLabelNotAfter, 0, 7, 9 + 4 * kRow, 76, 8},
    {IDC_DETAILS_NOTAFTER, K::Edit, "", kValue, 85, 7 + 4 * kRow, 400, 12},
    {IDC_DETAILS_LABEL_FIRST + 5, K::StaticText, kLabelPublicKey, 0, 7, 9 + 5 * kRow, 76, 8},
    {IDC_DETAILS_KEY, K::Edit, "", kValue, 85, 7 + 5 * kRow, 400, 12},
    {IDC_DETAILS_LABEL_FIRST + 6, K::StaticText, kLabelKeyUsage, 0, 7, 9 + 6 * kRow, 76, 8},
    {IDC_DETAILS_KEYUSAGE, K::Edit, "", kValue, 85, 7 + 6 * kRow, 400, 12},
    {IDC_DETAILS_LABEL_FIRST + 7, K::StaticText, kLabelExtKeyUsage, 0, 7, 9 + 7 * kRow, 76, 8},
    {IDC_DETAILS_EXTKEYUSAGE, K::Edit, "", kValue, 85, 7 + 7 * kRow, 400, 12},
    {IDC_DETAILS_LABEL_FIRST + 8, K::StaticText, kLabelSha1, 0, 7, 9 + 8 * kRow, 76, 8},
    {IDC_DETAILS_SHA1, K::Edit, "", kValue, 85, 7 + 8 * kRow, 400, 12},
    {IDC_DETAILS_LABEL_FIRST + 9, K::StaticText, kLabelSha256, 0, 7, 9 + 9 * kRow, 76, 8},
    {IDC_DETAILS_SHA256, K::Edit, "", kValue, 85, 7 + 9 * kRow, 400, 12},
    {IDC_DETAILS_LABEL_FIRST + 10, K::StaticText, kLabelCardFile, 0, 7, 9 + 10 * kRow, 76, 8},
    {IDC_DETAILS_FILE, K::Edit, "", kValue, 85, 7 + 10 * kRow, 400, 12},
    {IDC_DETAILS_LABEL_FIRST + 11, K::StaticText, kLabelContainer, 0, 7, 9 + 11 * kRow, 76, 8},
    {IDC_DETAILS_CONTAINER, K::Edit, "", kValue, 85, 7 + 11 * kRow, 400, 12},
    {IDC_BTN_EXPORT, K::PushButton, kBtnExport, kStyleTabStop, 361, 192, 64, 14},
    {IDOK, K::PushButton, kClose, kStyleDefaultButton | kStyleTabStop, 431, 192, 54, 14},
};

constexpr LabelFor kMainLabels[] = {
    {IDC_STATIC_READER, IDC_COMBO_READER},
    {IDC_STATIC_PIN, IDC_EDIT_PIN},
    {IDC_STATIC_NEWPIN, IDC_EDIT_NEWPIN},
    {IDC_STATIC_CONFIRMPIN, IDC_EDIT_CONFIRMPIN},
};

constexpr LabelFor kDetailsLabels[] = {
    {IDC_DETAILS_LABEL_FIRST + 0, IDC_DETAILS_SUBJECT},
    {IDC_DETAILS_LABEL_FIRST + 1, IDC_DETAILS_ISSUER},
    {IDC_DETAILS_LABEL_FIRST + 2, IDC_DETAILS_SERIAL},
    {IDC_DETAILS_LABEL_FIRST + 3, IDC_DETAILS_NOTBEFORE},
    {IDC_DETAILS_LABEL_FIRST + 4, IDC_DETAILS_NOTAFTER},
    {IDC_DETAILS_LABEL_FIRST + 5, IDC_DETAILS_KEY},
    {IDC_DETAILS_LABEL_FIRST + 6, IDC_DETAILS_KEYUSAGE},
    {IDC_DETAILS_LABEL_FIRST + 7, IDC_DETAILS_EXTKEYUSAGE},
    {IDC_DETAILS_LABEL_FIRST + 8, IDC_DETAILS_SHA1},
    {IDC_DETAILS_LABEL_FIRST + 9, IDC_DETAILS_SHA256},
    {IDC_DETAILS_LABEL_FIRST + 10, IDC_DETAILS_FILE},
    {IDC_DETAILS_LABEL_FIRST + 11, IDC_DETAILS_CONTAINER},
};

const DialogTemplate kMain{IDD_QUORLIN_DIALOG, kMainCaption, 244,           154,        kFontFace,
                           kFallbackFaces,     11,           kMainControls, kMainLabels};
const DialogTemplate kAbout{
    IDD_ABOUTBOX, kAboutCaption, 235, 55, kFontFace, kFallbackFaces, 9, kAboutControls, {}};
const DialogTemplate kDetails{IDD_CERT_DETAILS, kDetailsCaption, 492, 213,
                              kFontFace,        kFallbackFaces,  9,   kDetailsControls,
                              kDetailsLabels};

}  // namespace

const DialogTemplate& MainDialogTemplate() {
    return kMain;
}
const DialogTemplate& AboutDialogTemplate() {
    return kAbout;
}
const DialogTemplate& CertDetailsTemplate() {
    return kDetails;
}

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate* tpl : {&kMain, &kAbout, &kDetails}) {
        if (tpl->id == id) {
            return tpl;
        }
    }
    return nullptr;
}

}  // namespace quorlin::res
