// The publisher's P-256 keys and signatures with libcrypto: key files, and signing as the programs
// verify (ECDSA over SHA-256, r then s).
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>

#include "files/crypto.h"

struct EvpKeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PrivateKey = std::unique_ptr<EVP_PKEY, EvpKeyFree>;

// Makes a P-256 key pair: the private key as PKCS#8 PEM in privatePath (created with mode 0600),
// the public key as PEM (SubjectPublicKeyInfo, what cmake/public_keys.cmake takes) in publicPath.
// Neither file may exist; nothing is left behind on failure. Fills publicKey (X then Y) as read
// back from publicPath. Returns true; false with *error.
bool NewKeyPair(const std::string& privatePath, const std::string& publicPath, uint8_t* publicKey,
                std::string* error);

// Reads a PEM public key that must be a P-256 point on the curve into publicKey (X then Y).
// Returns true; false with *error.
bool ReadPublicKeyFile(const std::string& path, uint8_t* publicKey, std::string* error);

// Reads an unencrypted PEM P-256 private key and its public key (X then Y). Null with *error.
PrivateKey ReadPrivateKeyFile(const std::string& path, uint8_t* publicKey, std::string* error);

// The key's point (X then Y) into publicKey when it is a P-256 key on the curve. Returns true;
// false for any other key.
bool PublicPoint(EVP_PKEY* key, uint8_t* publicKey);

// Signs message[0 .. length) into signature (P256_SIGNATURE_BYTES: r then s, each left-padded to
// 32 bytes). Returns false when libcrypto fails.
bool SignP256(EVP_PKEY* key, const uint8_t* message, size_t length, uint8_t* signature);
