// SHA-256 and ECDSA P-256 verification with CNG (bcrypt.dll), for the Windows build.
// windows.h comes first: the other platform headers rely on it.
#include <windows.h>

#include <bcrypt.h>

#include <cstring>

#include "files/crypto.h"
#include "platform/win32/system_library_win32.h"

namespace {

// bcrypt.dll is no KnownDLL: it is loaded from the system folder on first use, never imported
// (an import would be looked up beside the exe first). The two providers are opened with it and
// kept for the life of the process.
struct CngApi {
  decltype(&::BCryptOpenAlgorithmProvider) BCryptOpenAlgorithmProvider;
  decltype(&::BCryptCreateHash) BCryptCreateHash;
  decltype(&::BCryptHashData) BCryptHashData;
  decltype(&::BCryptFinishHash) BCryptFinishHash;
  decltype(&::BCryptDestroyHash) BCryptDestroyHash;
  decltype(&::BCryptImportKeyPair) BCryptImportKeyPair;
  decltype(&::BCryptVerifySignature) BCryptVerifySignature;
  decltype(&::BCryptDestroyKey) BCryptDestroyKey;
  BCRYPT_ALG_HANDLE sha256;     // null when hashing cannot be had
  BCRYPT_ALG_HANDLE ecdsaP256;  // null when verifying cannot be had
};

CngApi LoadCng() {
  CngApi api = {};
  HMODULE module = LoadSystemLibrary(L"bcrypt.dll");
  bool complete =
      ResolveSystemFunction(module, "BCryptOpenAlgorithmProvider",
                            api.BCryptOpenAlgorithmProvider) &&
      ResolveSystemFunction(module, "BCryptCreateHash", api.BCryptCreateHash) &&
      ResolveSystemFunction(module, "BCryptHashData", api.BCryptHashData) &&
      ResolveSystemFunction(module, "BCryptFinishHash", api.BCryptFinishHash) &&
      ResolveSystemFunction(module, "BCryptDestroyHash", api.BCryptDestroyHash) &&
      ResolveSystemFunction(module, "BCryptImportKeyPair", api.BCryptImportKeyPair) &&
      ResolveSystemFunction(module, "BCryptVerifySignature", api.BCryptVerifySignature) &&
      ResolveSystemFunction(module, "BCryptDestroyKey", api.BCryptDestroyKey);
  if (!complete) return CngApi{};
  if (api.BCryptOpenAlgorithmProvider(&api.sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
    api.sha256 = nullptr;
  if (api.sha256 == nullptr ||
      api.BCryptOpenAlgorithmProvider(&api.ecdsaP256, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0)
    api.ecdsaP256 = nullptr;
  return api;
}

// The table, loaded once; a function-local static is initialised once even when two threads
// ask at the same time.
const CngApi& Cng() {
  static const CngApi api = LoadCng();
  return api;
}

// The SHA-256 of data[0 .. length) into digest; false when a call fails. BCryptHash would do it
// in one call, but only from Windows 10 on.
bool Hash(const CngApi& api, const uint8_t* data, size_t length, uint8_t* digest) {
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (api.sha256 == nullptr ||
      api.BCryptCreateHash(api.sha256, &hash, nullptr, 0, nullptr, 0, 0) != 0)
    return false;
  bool ok = true;
  // A call takes at most a ULONG of bytes; a 64-bit size may hold more.
  constexpr size_t PIECE = 1u << 30;
  while (ok && length > 0) {
    ULONG piece = static_cast<ULONG>(length < PIECE ? length : PIECE);
    ok = api.BCryptHashData(hash, const_cast<PUCHAR>(data), piece, 0) == 0;
    data += piece;
    length -= piece;
  }
  ok = ok && api.BCryptFinishHash(hash, digest, SHA256_BYTES, 0) == 0;
  api.BCryptDestroyHash(hash);
  return ok;
}

}  // namespace

bool Sha256(const uint8_t* data, size_t length, uint8_t* digest) {
  if (Hash(Cng(), data, length, digest)) return true;
  std::memset(digest, 0, SHA256_BYTES);
  return false;
}

bool VerifyP256(const uint8_t* publicKey, const uint8_t* message, size_t length,
                const uint8_t* signature, size_t signatureLength) {
  if (signatureLength != P256_SIGNATURE_BYTES) return false;
  const CngApi& api = Cng();
  uint8_t digest[SHA256_BYTES];
  if (api.ecdsaP256 == nullptr || !Hash(api, message, length, digest)) return false;

  // The public key blob: its header, then X and Y as they are.
  const BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, P256_PUBLIC_KEY_BYTES / 2};
  uint8_t blob[sizeof header + P256_PUBLIC_KEY_BYTES];
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, publicKey, P256_PUBLIC_KEY_BYTES);
  BCRYPT_KEY_HANDLE key = nullptr;
  // Some CNGs (Wine's) take a point off the curve here; the verify then fails.
  if (api.BCryptImportKeyPair(api.ecdsaP256, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob,
                              sizeof blob, 0) != 0)
    return false;
  // CNG takes r then s as the signature, as our callers hold it; its prototype is not const.
  uint8_t rs[P256_SIGNATURE_BYTES];
  std::memcpy(rs, signature, sizeof rs);
  bool valid = api.BCryptVerifySignature(key, nullptr, digest, SHA256_BYTES, rs, sizeof rs, 0) == 0;
  api.BCryptDestroyKey(key);
  return valid;
}
