// SHA-256 and ECDSA P-256 verification through the system's own cryptography: CNG (bcrypt.dll,
// loaded from System32 on first use) on Windows, libcrypto (OpenSSL 3) elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int SHA256_BYTES = 32;
constexpr int P256_PUBLIC_KEY_BYTES = 64;  // X then Y, 32 bytes each, big-endian
constexpr int P256_SIGNATURE_BYTES = 64;   // r then s, 32 bytes each, big-endian

// Writes the SHA-256 of data[0 .. length) into digest (caller's SHA256_BYTES bytes). Returns
// true; false when the system's hashing cannot be had (digest is then zeroed).
bool Sha256(const uint8_t* data, size_t length, uint8_t* digest);

// True only when signature (signatureLength bytes, r then s) is a valid ECDSA P-256 signature
// over the SHA-256 of message[0 .. length) by publicKey (P256_PUBLIC_KEY_BYTES bytes, X then Y).
// False for everything else: a wrong signature length, r or s out of range, a key that is not on
// the curve, or cryptography that cannot be had. Buffers are the caller's and only read.
bool VerifyP256(const uint8_t* publicKey, const uint8_t* message, size_t length,
                const uint8_t* signature, size_t signatureLength);
