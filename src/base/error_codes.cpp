// The two tables that turn a download ErrorCode into a message-box caption and text.
#include "base/error_codes.h"

const WChar* const ERROR_CAPTIONS[ERROR_CAPTION_COUNT] = {
    u"0",
    u"網路問題",
    u"寫 本地檔",
    u"讀 本地檔",
};

const WChar* const ERROR_TEXTS[ERROR_TEXT_COUNT] = {
    u"0",          u"未連線!請先上網.", u"無法鏈結伺服器!", u"無法建檔!", u"無法開檔!",
    u"寫檔 失敗!", u"讀檔 失敗!",       u"無法鏈結伺服器!", u"無法建立!",
};

namespace {

// Splits -code into category and index; anything the tables do not cover maps to entry 0.
void Split(int code, int* category, int* index) {
  // Negate in 64 bits so that the most negative int cannot overflow.
  long long n = -static_cast<long long>(code);
  long long c = n / 64, i = n % 64;
  bool inside = c >= 0 && c < ERROR_CAPTION_COUNT && i >= 0 && i < ERROR_TEXT_COUNT;
  *category = inside ? static_cast<int>(c) : 0;
  *index = inside ? static_cast<int>(i) : 0;
}

}  // namespace

const WChar* ErrorCaptionFor(int code) {
  int category, index;
  Split(code, &category, &index);
  return ERROR_CAPTIONS[category];
}

const WChar* ErrorTextFor(int code) {
  int category, index;
  Split(code, &category, &index);
  return ERROR_TEXTS[index];
}
