// The tool's signatures as the programs verify them: r and s each padded back to 32 bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "signing.h"
#include "support/local_server.h"

TEST(RecordSigningTest, EverySignatureVerifiesThoseWithALeadingZeroByteToo) {
  CTempDir dir;
  uint8_t publicKey[P256_PUBLIC_KEY_BYTES], readBack[P256_PUBLIC_KEY_BYTES];
  std::string error;
  ASSERT_TRUE(
      NewKeyPair(dir.Path() + "/private.pem", dir.Path() + "/public.pem", publicKey, &error))
      << error;
  PrivateKey key = ReadPrivateKeyFile(dir.Path() + "/private.pem", readBack, &error);
  ASSERT_TRUE(key) << error;
  ASSERT_EQ(std::memcmp(publicKey, readBack, sizeof publicKey), 0);
  // About one signature in 128 has r or s below 2^248; go on until a few of those have passed.
  int padded = 0, count = 0;
  for (; count < 300 || (padded < 3 && count < 5000); ++count) {
    std::string message = "record " + std::to_string(count);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(message.data());
    uint8_t signature[P256_SIGNATURE_BYTES];
    ASSERT_TRUE(SignP256(key.get(), bytes, message.size(), signature));
    ASSERT_TRUE(VerifyP256(publicKey, bytes, message.size(), signature, sizeof signature))
        << "signature " << count;
    padded += signature[0] == 0 || signature[32] == 0;
  }
  EXPECT_GE(padded, 3) << count << " signatures";
}
