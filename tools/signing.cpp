// The publisher's P-256 key files and ECDSA signatures, with libcrypto (OpenSSL 3).
#include "signing.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// The DER of every P-256 public key (SubjectPublicKeyInfo) up to the point's X: the same prefix
// cmake/public_keys.cmake requires, so that the tool takes exactly the keys a build takes.
const uint8_t P256_SPKI_PREFIX[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                    0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                    0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

// A passphrase callback that gives none: an encrypted key fails rather than asking at a terminal.
int NoPassphrase(char*, int, int, void*) {
  return -1;
}

// Writes text into a new file of this mode; never replaces one. Returns false with *error.
bool WriteNewFile(const std::string& path, const std::string& text, mode_t mode,
                  std::string* error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    *error = errno == EEXIST ? path + " exists already: a key file is never replaced"
                             : "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  // The umask may only narrow the mode; the private key's 0600 is asked for exactly.
  bool ok = ::fchmod(fd, mode) == 0 &&
            ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok) {
    *error = "cannot write " + path;
    ::unlink(path.c_str());
  }
  return ok;
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

}  // namespace

bool PublicPoint(EVP_PKEY* key, uint8_t* publicKey) {
  int length = i2d_PUBKEY(key, nullptr);
  if (length != static_cast<int>(sizeof P256_SPKI_PREFIX) + P256_PUBLIC_KEY_BYTES) return false;
  std::vector<uint8_t> der(static_cast<size_t>(length));
  uint8_t* out = der.data();
  if (i2d_PUBKEY(key, &out) != length ||
      std::memcmp(der.data(), P256_SPKI_PREFIX, sizeof P256_SPKI_PREFIX) != 0)
    return false;
  EVP_PKEY_CTX* check = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
  bool onCurve = check != nullptr && EVP_PKEY_public_check(check) == 1;
  EVP_PKEY_CTX_free(check);
  if (!onCurve) return false;
  std::memcpy(publicKey, der.data() + sizeof P256_SPKI_PREFIX, P256_PUBLIC_KEY_BYTES);
  return true;
}

bool NewKeyPair(const std::string& privatePath, const std::string& publicPath, uint8_t* publicKey,
                std::string* error) {
  struct stat st {};
  for (const std::string& path : {privatePath, publicPath}) {
    if (::lstat(path.c_str(), &st) == 0) {
      *error = path + " exists already: a key file is never replaced";
      return false;
    }
  }
  if (privatePath == publicPath) {
    *error = "--private and --public must name two files";
    return false;
  }
  PrivateKey key(EVP_EC_gen("P-256"));
  uint8_t point[P256_PUBLIC_KEY_BYTES];
  if (!key || !PublicPoint(key.get(), point)) {
    *error = "libcrypto made no P-256 key";
    return false;
  }
  Bio privatePem(BIO_new(BIO_s_mem())), publicPem(BIO_new(BIO_s_mem()));
  // PEM_write_bio_PrivateKey writes PKCS#8 ("BEGIN PRIVATE KEY").
  if (!privatePem || !publicPem ||
      PEM_write_bio_PrivateKey(privatePem.get(), key.get(), nullptr, nullptr, 0, nullptr,
                               nullptr) != 1 ||
      PEM_write_bio_PUBKEY(publicPem.get(), key.get()) != 1) {
    *error = "libcrypto cannot write the key as PEM";
    return false;
  }
  if (!WriteNewFile(privatePath, BioText(privatePem.get()), 0600, error)) return false;
  if (!WriteNewFile(publicPath, BioText(publicPem.get()), 0644, error)) {
    ::unlink(privatePath.c_str());
    return false;
  }
  // What a build and the verify command will read: the file, not the key in memory.
  if (!ReadPublicKeyFile(publicPath, publicKey, error) ||
      std::memcmp(publicKey, point, P256_PUBLIC_KEY_BYTES) != 0) {
    *error = publicPath + " does not read back as the key just made";
    ::unlink(privatePath.c_str());
    ::unlink(publicPath.c_str());
    return false;
  }
  return true;
}

bool ReadPublicKeyFile(const std::string& path, uint8_t* publicKey, std::string* error) {
  Bio file(BIO_new_file(path.c_str(), "r"));
  if (!file) {
    *error = "cannot read " + path;
    return false;
  }
  PrivateKey key(PEM_read_bio_PUBKEY(file.get(), nullptr, NoPassphrase, nullptr));
  if (!key || !PublicPoint(key.get(), publicKey)) {
    *error = path + " is not a PEM P-256 public key on the curve";
    return false;
  }
  return true;
}

PrivateKey ReadPrivateKeyFile(const std::string& path, uint8_t* publicKey, std::string* error) {
  Bio file(BIO_new_file(path.c_str(), "r"));
  if (!file) {
    *error = "cannot read " + path;
    return nullptr;
  }
  PrivateKey key(PEM_read_bio_PrivateKey(file.get(), nullptr, NoPassphrase, nullptr));
  if (!key || !EVP_PKEY_is_a(key.get(), "EC") || !PublicPoint(key.get(), publicKey)) {
    *error = path + " is not an unencrypted PEM P-256 private key";
    return nullptr;
  }
  return key;
}

bool SignP256(EVP_PKEY* key, const uint8_t* message, size_t length, uint8_t* signature) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  size_t derLength = 0;
  std::vector<uint8_t> der;
  bool ok = context != nullptr &&
            EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
            EVP_DigestSign(context, nullptr, &derLength, message, length) == 1;
  if (ok) {
    der.resize(derLength);
    ok = EVP_DigestSign(context, der.data(), &derLength, message, length) == 1;
  }
  EVP_MD_CTX_free(context);
  if (!ok) return false;
  // DER drops leading zero bytes and adds one before a high bit: r and s go back to 32 bytes each.
  const uint8_t* in = der.data();
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &in, static_cast<long>(derLength));
  if (sig == nullptr) return false;
  const BIGNUM *r = nullptr, *s = nullptr;
  ECDSA_SIG_get0(sig, &r, &s);
  ok = BN_bn2binpad(r, signature, 32) == 32 && BN_bn2binpad(s, signature + 32, 32) == 32;
  ECDSA_SIG_free(sig);
  return ok;
}
