#pragma once
// Every text the user sees, once. UTF-8.

namespace quorlin::res {

// Captions.
inline constexpr const char* kStdTitle = "Morvex卡片管理工具";
inline constexpr const char* kCardToolTitle = "Morvex 卡片工具";
inline constexpr const char* kMainCaption = "Morvex Quorlin 2.2";
inline constexpr const char* kAboutCaption = "關於 Quorlin";
inline constexpr const char* kAboutMenu = "關於 Quorlin(&A)...";  // string 101
inline constexpr const char* kAboutVersion = "Quorlin Version 1.0";
inline constexpr const char* kAboutNotice = "智慧卡持卡人工具 (Linux)";
inline constexpr const char* kOk = "確定";

// Tabs, groups, labels, buttons.
inline constexpr const char* kTabLogin = "登入卡片";
inline constexpr const char* kTabChangePin = "變更密碼";
inline constexpr const char* kTabCerts = "憑證作業";
inline constexpr const char* kGroupLogin = "登入卡片";
inline constexpr const char* kGroupChangePin = "變更密碼";
inline constexpr const char* kGroupCerts = "刪除憑證";
inline constexpr const char* kLabelReader = "選取讀卡機：";
inline constexpr const char* kLabelPin = "輸入密碼：";
inline constexpr const char* kLabelNewPin = "輸入新密碼：";
inline constexpr const char* kLabelConfirmPin = "確認新密碼：";
inline constexpr const char* kBtnLogin = "登入卡片";
inline constexpr const char* kBtnLogout = "中斷卡片";
inline constexpr const char* kBtnChangePin = "變更密碼";
inline constexpr const char* kBtnQuery = "查詢卡片憑證";
inline constexpr const char* kBtnRegister = "憑證註冊";

// Certificate list columns.
inline constexpr const char* kColEf = "EF";
inline constexpr const char* kColStart = "起始日";
inline constexpr const char* kColExpiry = "到期日";
inline constexpr const char* kColCommonName = "Common Name";
inline constexpr const char* kColContainer = "Container Name";

// Reader connection.
inline constexpr const char* kFmtSystemError = "Error:%s\n";

// Log-in and PIN change.
inline constexpr const char* kPinTooShort = "密碼長度不足";
inline constexpr const char* kPinBadCharacter = "密碼含有無法使用的字元!";
inline constexpr const char* kConnectFailed = "卡片連結錯誤!";
inline constexpr const char* kWrongCardKind = "卡片種類錯誤，Select Applet Failed!";
inline constexpr const char* kLoginFailed = "卡片登入失敗!";
inline constexpr const char* kLoginOk = "卡片登入成功";
inline constexpr const char* kPinWrong = "AN PIN驗證錯誤!";
inline constexpr const char* kPinBlocked = "AN PIN已鎖住!";
inline constexpr const char* kPinVerifyError = "AN PIN驗證過程發生錯誤!";
inline constexpr const char* kNewPinTooShort = "密碼長度不足!";
inline constexpr const char* kNewPinTooLong = "密碼長度過長!";
inline constexpr const char* kPinMismatch = "密碼不一致!";
inline constexpr const char* kPinChanged = "密碼變更完成";
inline constexpr const char* kPinChangeError = "密碼變更錯誤!";

// Certificate query.
inline constexpr const char* kEf8010Missing = "EF8010 Not Exist! EF8010不存在";
inline constexpr const char* kDirReadError = "EF8010憑證資料讀取錯誤";
inline constexpr const char* kDirNextError = "卡片錯誤,EF8010不存在";
inline constexpr const char* kCertFileSelectError = "憑證物件檔選取錯誤";
inline constexpr const char* kCertReadError = "憑證資料讀取錯誤";
inline constexpr const char* kCertNextError = "EF8001憑證資料讀取錯誤";
inline constexpr const char* kNoDate = "--------";
inline constexpr const char* kCertNotLoaded = "憑證未載入卡片中";
inline constexpr const char* kCertGetNameFailed = "CertGetName failed. \n";  // stderr

// Registration.
inline constexpr const char* kFmtAcquireProbe = "CryptAcquireContext = 0x%08x \n 請確認是否安裝CSP";
inline constexpr const char* kFmtAcquire = "CryptAcquireContext = 0x%08x";
inline constexpr const char* kFmtOpenStore = "CertOpenStore = 0x%08x";
inline constexpr const char* kFmtGetUserKey = "CryptGetUserKey = 0x%08x";
inline constexpr const char* kFmtMalloc = "MALLOC = 0x%08x";
inline constexpr const char* kFmtSetProperty = "CertSetCertificateContextProperty = 0x%08x";
inline constexpr const char* kFmtAddToStore = "CertAddCertificateContextToStore = 0x%08x";
inline constexpr const char* kNoneRegistered = "沒有任何憑證註冊至IE";
inline constexpr const char* kRegistered = "憑證註冊成功";
// After the registration's own message, when other programs still cannot reach the keys.
inline constexpr const char* kKeysNotUsable =
    "憑證已加入憑證存放區，但瀏覽器等程式仍無法使用卡片金鑰。\n請執行 quorlin-card apps "
    "查看原因。";
inline constexpr const char* kLogInAgain = "如要繼續作業請重新登入";

// Certificate details and export.
inline constexpr const char* kMenuViewCert = "檢視憑證…";
inline constexpr const char* kMenuExportCert = "匯出憑證…";
inline constexpr const char* kDetailsCaption = "憑證詳細資料";
inline constexpr const char* kLabelSubject = "主體：";
inline constexpr const char* kLabelIssuer = "簽發者：";
inline constexpr const char* kLabelSerial = "序號：";
inline constexpr const char* kLabelNotBefore = "有效期自：";
inline constexpr const char* kLabelNotAfter = "有效期至：";
inline constexpr const char* kLabelPublicKey = "公開金鑰：";
inline constexpr const char* kLabelKeyUsage = "金鑰使用方式：";
inline constexpr const char* kLabelExtKeyUsage = "增強金鑰使用方式：";
inline constexpr const char* kLabelSha1 = "SHA-1 指紋：";
inline constexpr const char* kLabelSha256 = "SHA-256 指紋：";
inline constexpr const char* kLabelCardFile = "卡片檔案 (EF)：";
inline constexpr const char* kLabelContainer = "金鑰容器：";
inline constexpr const char* kBtnExport = "匯出憑證…";
inline constexpr const char* kClose = "關閉";
inline constexpr const char* kFmtKeyBits = "%s (%d 位元)";
inline constexpr const char* kNotPresent = "（無）";
inline constexpr const char* kExportCaption = "匯出憑證";
// Save-dialog filters: a name and the file-name suffixes it offers, the first the default.
inline constexpr const char* kFilterPem = "PEM 憑證";
inline constexpr const char* kPemSuffixes[] = {".pem", ".crt"};
inline constexpr const char* kFilterDer = "DER 憑證";
inline constexpr const char* kDerSuffixes[] = {".cer", ".der"};
inline constexpr const char* kFmtReplaceFile = "%s 已存在。\n要取代它嗎？";
inline constexpr const char* kFmtExportFailed = "無法匯出憑證至 %s\n%s";

// Validity marks on the certificate rows.
inline constexpr const char* kFmtExpired = "憑證已過期 (%s)";
inline constexpr const char* kFmtExpiresIn = "憑證將於 %lld 天後到期";

// The provider names shown as a caption are the providers' identifiers, kept with the
// applet kinds in applet/Applet.h.

}  // namespace quorlin::res
