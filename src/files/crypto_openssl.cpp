// SHA-256 and ECDSA P-256 verification with libcrypto (OpenSSL 3): the Linux programs and the tool.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>

#include "files/crypto.h"

namespace {

// The key as libcrypto takes it: an uncompressed point (04, X, Y) on prime256v1. nullptr when the
// point is not on the curve.
EVP_PKEY* ImportPublicKey(const uint8_t* publicKey) {
  uint8_t point[1 + P256_PUBLIC_KEY_BYTES];
  point[0] = 0x04;
  std::memcpy(point + 1, publicKey, P256_PUBLIC_KEY_BYTES);
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
      OSSL_PARAM_construct_end()};
  EVP_PKEY* key = nullptr;
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  if (context == nullptr || EVP_PKEY_fromdata_init(context) <= 0 ||
      EVP_PKEY_fromdata(context, &key, EVP_PKEY_PUBLIC_KEY, params) <= 0)
    key = nullptr;
  EVP_PKEY_CTX_free(context);
  if (key == nullptr) return nullptr;
  // fromdata takes the bytes as given; the check puts the point on the curve.
  EVP_PKEY_CTX* check = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
  bool onCurve = check != nullptr && EVP_PKEY_public_check(check) == 1;
  EVP_PKEY_CTX_free(check);
  if (!onCurve) {
    EVP_PKEY_free(key);
    return nullptr;
  }
  return key;
}

// r then s as the DER that libcrypto verifies; 0 bytes when it cannot be had. der holds 80 bytes.
int SignatureDer(const uint8_t* signature, uint8_t* der) {
  ECDSA_SIG* sig = ECDSA_SIG_new();
  BIGNUM* r = BN_bin2bn(signature, 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature + 32, 32, nullptr);
  int length = 0;
  if (sig != nullptr && r != nullptr && s != nullptr && ECDSA_SIG_set0(sig, r, s) == 1) {
    r = s = nullptr;  // owned by sig now
    if (i2d_ECDSA_SIG(sig, nullptr) <= 80) {
      uint8_t* out = der;
      length = i2d_ECDSA_SIG(sig, &out);
    }
  }
  BN_free(r);
  BN_free(s);
  ECDSA_SIG_free(sig);
  return length > 0 ? length : 0;
}

}  // namespace

bool Sha256(const uint8_t* data, size_t length, uint8_t* digest) {
  unsigned int size = 0;
  if (EVP_Digest(data, length, digest, &size, EVP_sha256(), nullptr) == 1 && size == SHA256_BYTES)
    return true;
  std::memset(digest, 0, SHA256_BYTES);
  return false;
}

bool VerifyP256(const uint8_t* publicKey, const uint8_t* message, size_t length,
                const uint8_t* signature, size_t signatureLength) {
  if (signatureLength != P256_SIGNATURE_BYTES) return false;
  uint8_t der[80];
  int derLength = SignatureDer(signature, der);
  if (derLength == 0) return false;
  EVP_PKEY* key = ImportPublicKey(publicKey);
  if (key == nullptr) return false;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool valid = context != nullptr &&
               EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
               EVP_DigestVerify(context, der, static_cast<size_t>(derLength), message, length) == 1;
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);
  return valid;
}
