// DownloadToBuffer on libcurl, for the native build.
#include <curl/curl.h>
#include <openssl/crypto.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/utf8.h"
#include "files/download.h"

namespace {

struct Transfer {
  uint8_t* buffer;
  int capacity;
  int total = 0;
  std::FILE* file = nullptr;
  int error = 0;  // the ErrorCode that stopped the transfer from our side
};

size_t Receive(char* data, size_t size, size_t count, void* context) {
  Transfer* t = static_cast<Transfer*>(context);
  size_t n = size * count;
  if (t->file != nullptr && std::fwrite(data, 1, n, t->file) != n) {
    t->error = ERR_WRITE_FILE;
    return 0;
  }
  // A body longer than the caller's buffer fails the download; nothing goes past its end.
  if (n > static_cast<size_t>(t->capacity - t->total)) {
    t->error = ERR_READ;
    return 0;
  }
  std::memcpy(t->buffer + t->total, data, n);
  t->total += static_cast<int>(n);
  return n;
}

// The handshake failed or the server's certificate did not verify.
bool IsTlsFailure(CURLcode code) {
  return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CONNECT_ERROR ||
         code == CURLE_SSL_CERTPROBLEM || code == CURLE_SSL_CIPHER ||
         code == CURLE_SSL_CACERT_BADFILE || code == CURLE_SSL_ISSUER_ERROR ||
         code == CURLE_SSL_PINNEDPUBKEYNOTMATCH || code == CURLE_SSL_INVALIDCERTSTATUS ||
         code == CURLE_SSL_CRL_BADFILE || code == CURLE_SSL_ENGINE_INITFAILED ||
         code == CURLE_SSL_ENGINE_NOTFOUND || code == CURLE_SSL_ENGINE_SETFAILED;
}

}  // namespace

int g_downloadStallSeconds = 30;
// Never destroyed: a download may still start while the process runs its exit handlers.
std::string& g_downloadExtraCaFile = *new std::string;

int DownloadToBuffer(uint8_t* buffer, int capacity, const char* url, const WChar* fileName) {
  // The process may end while a worker is inside a download or a digest (the prefetch is waited
  // for by nobody): OpenSSL, libcurl's TLS and the signature checks' library, must not tear itself
  // down at exit under it. The first download comes before any signature check, so this first
  // call into OpenSSL makes the choice.
  static const bool initialised = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1 &&
                                  curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!initialised) return ERR_OFFLINE;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return ERR_OFFLINE;

  Transfer transfer{buffer, capacity};
  int result = 0;
  if (fileName != nullptr && fileName[0] != 0) {
    transfer.file = std::fopen(Utf16ToUtf8(fileName).c_str(), "wb");
    if (transfer.file == nullptr) result = ERR_CREATE_FILE;
  }
  if (result == 0) {
    char agent[256];
    // The platform's millisecond counter, as a signed 32-bit number: a new agent for every
    // download.
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    std::snprintf(agent, sizeof agent, "Agent%ld",
                  static_cast<long>(static_cast<int32_t>(ms.count())));
    curl_slist* headers = curl_slist_append(nullptr, "Accept: */*");
    headers = curl_slist_append(headers, "Pragma: no-cache");
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, agent);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Receive);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(DOWNLOAD_CHUNK_SIZE));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // http and https only, and no redirects: a https location never falls back to http.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    // A server certificate must verify (chain, dates, host name); there is no way to turn this off.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // libcurl keeps its CA directory when given a file, so this CA adds to the system's.
    if (!g_downloadExtraCaFile.empty())
      curl_easy_setopt(curl, CURLOPT_CAINFO, g_downloadExtraCaFile.c_str());
    // Like WinINet: give up on a stalled connection rather than hang the worker for ever.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(g_downloadStallSeconds));
    CURLcode code = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    if (transfer.error != 0) {
      result = transfer.error;
    } else if (code == CURLE_OK) {
      result = transfer.total;
    } else if (code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST ||
               code == CURLE_URL_MALFORMAT || code == CURLE_UNSUPPORTED_PROTOCOL ||
               IsTlsFailure(code)) {
      // A certificate that does not verify fails like WinINet's InternetOpenUrl: the server
      // cannot be reached, and nothing it sent is taken.
      result = ERR_CONNECT;
    } else if (transfer.total == 0 &&
               (code == CURLE_GOT_NOTHING || code == CURLE_RECV_ERROR || code == CURLE_SEND_ERROR ||
                code == CURLE_WEIRD_SERVER_REPLY)) {
      // The request itself failed before any response: WinINet fails InternetOpenUrl here.
      result = ERR_CONNECT;
    } else {
      result = ERR_READ;
    }
  }
  if (transfer.file != nullptr && std::fclose(transfer.file) != 0 && result >= 0)
    result = ERR_WRITE_FILE;
  curl_easy_cleanup(curl);
  return result;
}
