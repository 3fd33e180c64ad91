#pragma once
// Resource and control ids.

namespace quorlin::res {

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_QUORLIN_DIALOG = 102;
inline constexpr int IDD_CERT_DETAILS = 103;
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

// The certificate details dialog: the values, their labels, the export button.
inline constexpr int IDC_DETAILS_SUBJECT = 1101;
inline constexpr int IDC_DETAILS_ISSUER = 1102;
inline constexpr int IDC_DETAILS_SERIAL = 1103;
inline constexpr int IDC_DETAILS_NOTBEFORE = 1104;
inline constexpr int IDC_DETAILS_NOTAFTER = 1105;
inline constexpr int IDC_DETAILS_KEY = 1106;
inline constexpr int IDC_DETAILS_KEYUSAGE = 1107;
inline constexpr int IDC_DETAILS_EXTKEYUSAGE = 1108;
inline constexpr int IDC_DETAILS_SHA1 = 1109;
inline constexpr int IDC_DETAILS_SHA256 = 1110;
inline constexpr int IDC_DETAILS_FILE = 1111;
inline constexpr int IDC_DETAILS_CONTAINER = 1112;
inline constexpr int IDC_DETAILS_LABEL_FIRST = 1121;  // labels 1121-1132, in the same order
inline constexpr int IDC_BTN_EXPORT = 1140;

// A certificate row's commands (its context menu; the first also answers a double-click
// and Enter).
inline constexpr unsigned ID_CERT_VIEW = 32771;
inline constexpr unsigned ID_CERT_EXPORT = 32772;

inline constexpr unsigned IDM_ABOUTBOX = 0x0010;
inline constexpr unsigned SC_MASK = 0xFFF0;  // system commands keep their low four bits free

// List view extended styles.
inline constexpr unsigned LVS_EX_GRIDLINES = 0x01;
inline constexpr unsigned LVS_EX_FULLROWSELECT = 0x20;

}  // namespace quorlin::res
