// Error reporting and the program's fixed user texts (other than the string table).
#pragma once

#include "base/error_codes.h"
#include "base/text.h"

// Numbered error texts, formatted with FormatText and handed to FatalError.
inline constexpr WChar TEXT_ERROR_BAD_MODEL[] = u"錯誤碼: 0300 機名錯誤";
inline constexpr WChar FORMAT_ERROR_INDEX_CHECK[] = u"錯誤碼: 0302 %4d";
inline constexpr WChar FORMAT_ERROR_NO_BUFFER[] = u"錯誤碼: 0401+%2d";
inline constexpr WChar FORMAT_ERROR_IMAGE_CHECK[] = u"錯誤碼: 0402 %2d";
inline constexpr WChar FORMAT_ERROR_VERIFY[] = u"錯誤碼: 0403+%2d\n%8d\n%8d";
inline constexpr WChar CAPTION_FATAL[] = u"執行時錯誤";
// A program with compiled-in keys refuses what its publisher did not sign, one text for each
// check of the publication record (RecordCheck).
inline constexpr WChar TEXT_ERROR_NOT_SIGNED[] = u"錯誤碼: 0501 更新資料未經簽署";
inline constexpr WChar TEXT_ERROR_RECORD_MALFORMED[] = u"錯誤碼: 0502 簽署資料格式錯誤";
inline constexpr WChar TEXT_ERROR_RECORD_OTHER_MODEL[] = u"錯誤碼: 0503 簽署資料不屬於此機型";
inline constexpr WChar TEXT_ERROR_RECORD_EXPIRED[] =
    u"錯誤碼: 0504 簽署資料已過期\n請確認電腦的日期與時間.";
inline constexpr WChar TEXT_ERROR_FILE_NOT_LISTED[] = u"錯誤碼: 0505 檔案未經簽署";
inline constexpr WChar TEXT_ERROR_FILE_DIFFERS[] = u"錯誤碼: 0506 檔案與簽署資料不符";

// Window title and the forced-mode suffix.
inline constexpr WChar FORMAT_TITLE[] = u"Tolvarin - k%c%c%c";
inline constexpr WChar TITLE_FORCE_SUFFIX[] = u" (強制更新)";

// Device version line and update-check status lines (%S takes an 8-bit text).
inline constexpr WChar FORMAT_DEVICE_VERSION[] = u"[ %S ]";
inline constexpr WChar FORMAT_STATUS_MORE_PASSES[] = u"[ %S ]  須<開始更新>數次";
inline constexpr WChar FORMAT_STATUS_UP_TO_DATE[] = u"[ %S ]  請<離開>,不須更新";
inline constexpr WChar FORMAT_STATUS_OFFER[] = u"[ %S ]  請<開始更新>";
inline constexpr WChar FORMAT_COMBO_LINE[] = u" %S  [ %s ]";

// Programming progress, shown as the Start button's caption.
inline constexpr WChar FORMAT_PROGRESS_COUNT[] = u"[ %5d ]";
inline constexpr WChar FORMAT_PROGRESS_WRITE[] = u"%c - %5d -";
inline constexpr WChar FORMAT_PROGRESS_VERIFY[] = u"Verify %c - %5d -";
inline constexpr WChar FORMAT_PROGRESS_DONE[] = u"Verify %c Complete!";

// Closing messages of the update run.
inline constexpr WChar CAPTION_MORE_PASSES[] = u"還有更新!";
inline constexpr WChar TEXT_MORE_PASSES[] =
    u"1.請移除<測速器>與<電腦>的USB連線,\n  之後,電腦將自動離開更新程式.\n"
    u"2.重新連接<測速器>與<電腦>的USB連線,\n3.電腦:再度執行更新程式.\n";
inline constexpr WChar CAPTION_DONE[] = u"更新完成.";
inline constexpr WChar TEXT_DONE[] =
    u"1.請移除<測速器>與<電腦>的USB連線,\n        之後,\n   電腦即可自動離開更新程式.\n2.Goodbye.";

// The box at Start when the computer runs on a battery that is nearly flat.
inline constexpr WChar CAPTION_LOW_BATTERY[] = u"電池電量不足";
inline constexpr WChar TEXT_LOW_BATTERY[] =
    u"電腦的電池電量低於 10%,\n更新中斷電會損壞<測速器>.\n請先接上電源,再按<開始更新>.";

// Why the computer must not be turned off during a run, where the system shows a reason for a
// program blocking the end of the session.
inline constexpr WChar TEXT_HOLD_REASON[] = u"正在更新<測速器>,請勿關機,以免損壞<測速器>.";

// Shows the box for a download ErrorCode (caption and text from the tables; a code outside them
// shows the index-0 entries) and returns the box's result. It does not end the process. Like
// FatalError it first lets go of the computer (CUiPort::HoldComputer): a box means the device
// work is over.
int ShowErrorCode(int code);

// Shows `text` under the caption "執行時錯誤" and ends the process with exit code 0. On the
// platform it never returns; under a test port it returns and the caller must return at once.
void FatalError(const WChar* text);

// Formats one of the numbered texts above with its int arguments and hands it to FatalError.
void FatalErrorFormat(const WChar* format, int a, int b = 0, int c = 0);
