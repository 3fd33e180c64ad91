#pragma once
// Resource and control ids.

namespace quorlin::res {

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_QUORLIN_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;

inline constexpr int IDOK = 1;
inline constexpr int IDC_STATIC = -1;
inline constexpr int IDC_ABOUT_ICON = -2;  // the About box's unnamed statics, told apart
inline constexpr int IDC_ABOUT_VERSION = -3;
inline constexpr int IDC_ABOUT_NOTICE = -4;

inline constexpr int IDC_GROUP_LOGIN = 1000;
inline constexpr int IDC_GROUP_CHANGEPIN = 1001;
inline constexpr int IDC_EDIT_PIN = 1003;
inline constexpr int IDC_STATIC_READER = 1004;
inline constexpr int IDC_STATIC_PIN = 1005;
inline constexpr int IDC_BTN_LOGIN = 1006;
inline constexpr int IDC_STATIC_NEWPIN = 1007;
inline constexpr int IDC_EDIT_NEWPIN = 1008;
inline constexpr int IDC_STATIC_CONFIRMPIN = 1009;
inline constexpr int IDC_EDIT_CONFIRMPIN = 1010;
inline constexpr int IDC_BTN_CHANGEPIN = 1011;
inline constexpr int IDC_TAB = 1012;
inline constexpr int IDC_GROUP_CERTS = 1013;
inline constexpr int IDC_LIST_CERTS = 1014;
inline constexpr int IDC_BTN_QUERY = 1016;
inline constexpr int IDC_COMBO_READER = 1018;
inline constexpr int IDC_BTN_REGISTER = 1020;

inline constexpr unsigned IDM_ABOUTBOX = 0x0010;
inline constexpr unsigned SC_MASK = 0xFFF0;  // system commands keep their low four bits free

// List view extended styles.
inline constexpr unsigned LVS_EX_GRIDLINES = 0x01;
inline constexpr unsigned LVS_EX_FULLROWSELECT = 0x20;

}  // namespace quorlin::res
