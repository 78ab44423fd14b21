// Known answers through the platform's cryptography (libcrypto natively, CNG under Wine): NIST's
// P-256 signature vectors, hand-checked edge signatures made once with openssl, SHA-256 digests.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "files/crypto.h"
#include "files/publication_record.h"
#include "support/hex_bytes.h"

namespace {

std::string Sha256Hex(const std::vector<uint8_t>& data) {
  uint8_t digest[SHA256_BYTES];
  EXPECT_TRUE(Sha256(data.data(), data.size(), digest));
  return HexText(digest, sizeof digest);
}

bool Verify(const std::string& key, const std::string& message, const std::string& signature) {
  std::vector<uint8_t> k = Bytes(key), s = Bytes(signature);
  return VerifyP256(k.data(), reinterpret_cast<const uint8_t*>(message.data()), message.size(),
                    s.data(), s.size());
}

// Made with `openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256` and
// `openssl dgst -sha256 -sign` (of 600 signatures, these two needed r or s padded to 32 bytes).
const std::string KEY_A =
    "535758506b99771a0942935ae9f2c09369c458ae77094c9353063c6faa8b98ac"
    "f5aa5fc86baf77223b2169ad3e982fb46d328e2af9220cbbff485aa52cb82956";
const std::string KEY_B =
    "8b8fc75a37f7cdd254c66c8aea7a3cde04af1e40c9a520a95ab508acf353a928"
    "5fc6871d438357242184e70e7c5ad11b85c2eb8fcbd34c3d2703f4c4562405ff";
const std::string MESSAGE = "Tolvarin signed publication";
const std::string R = "e9708424b85e834648ba2a59968fdfdf5a6290bc49c27bf2d7173d4501fed0a1";
const std::string S = "22f04c253fbb57dd70d886e4d54dc5af8c0836becda1e228adfd5ad34a3778a9";
const std::string N = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
const std::string ZERO(64, '0');

}  // namespace

TEST(CryptoTest, Sha256KnownDigests) {
  EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex({'a', 'b', 'c'}),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // python3 -c "import sys; sys.stdout.buffer.write(bytes(k % 251 for k in range(5*2**20+3)))"
  //   | sha256sum
  std::vector<uint8_t> large(5 * (1 << 20) + 3);
  for (size_t k = 0; k < large.size(); ++k) large[k] = static_cast<uint8_t>(k % 251);
  EXPECT_EQ(Sha256Hex(large), "8c777ac1fb03e07e1bb1f050cbf6dc4d752063e272c95e76fca894c76a671b9a");
}

// The [P-256,SHA-256] section of NIST's SigVer.rsp (FIPS 186-3), read where Debian's
// python3-cryptography-vectors put it.
TEST(CryptoTest, NistSignatureVectors) {
  std::ifstream file(TOLVARIN_ECDSA_VECTORS);
  ASSERT_TRUE(file) << "cannot read '" TOLVARIN_ECDSA_VECTORS
                       "': install python3-cryptography-vectors (scripts/install-deps.sh)";
  std::string line, message, qx, qy, r;
  bool inSection = false;
  int cases = 0, valid = 0;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("[", 0) == 0) inSection = line == "[P-256,SHA-256]";
    size_t equals = line.find(" = ");
    if (!inSection || equals == std::string::npos) continue;
    std::string name = line.substr(0, equals), value = line.substr(equals + 3);
    if (name == "Msg") message = value;
    if (name == "Qx") qx = value;
    if (name == "Qy") qy = value;
    if (name == "R") r = value;
    if (name == "S") r += value;
    if (name != "Result") continue;
    std::vector<uint8_t> bytes = Bytes(message);
    bool expected = value[0] == 'P';
    EXPECT_EQ(Verify(qx + qy, std::string(bytes.begin(), bytes.end()), r), expected)
        << "Msg " << message << " " << value;
    ++cases;
    valid += expected;
  }
  EXPECT_EQ(cases, 15);
  EXPECT_EQ(valid, 3);
}

TEST(CryptoTest, HandMadeSignatures) {
  struct Case {
    const char* what;
    std::string key, message, signature;
    bool valid;
  } cases[] = {
      {"valid", KEY_A, MESSAGE, R + S, true},
      {"r with a leading zero byte", KEY_A, MESSAGE,
       "00da3ba9566ec5b4672f99da83b4e5915b041394ce8e8663c5d9bcfbdc8e92c0"
       "a2ae021e2cec7bc4d6743237bd4d0916cab2891be06918043d4127a2ddf0a92b",
       true},
      {"s with a leading zero byte", KEY_A, MESSAGE,
       "23759d4c7bb8538388bc9fd0edec1e7310e008b8e02b5bfd0e4157d91a10382b"
       "006b80493f09b0dc7337c7a2c47da244eddec5cad57126bf7750979dbcd8faed",
       true},
      // (r, n - s) is as valid as (r, s) to both libraries.
      {"high s", KEY_A, MESSAGE,
       R + "dd0fb3d9c044a8238f27791b2ab23a5030dec3eed975bc5c45bc6fefb22baca8", true},
      {"r zero", KEY_A, MESSAGE, ZERO + S, false},
      {"s zero", KEY_A, MESSAGE, R + ZERO, false},
      {"r = n", KEY_A, MESSAGE, N + S, false},
      {"s = n", KEY_A, MESSAGE, R + N, false},
      {"63 bytes", KEY_A, MESSAGE, (R + S).substr(0, 126), false},
      {"65 bytes", KEY_A, MESSAGE, R + S + "00", false},
      {"another key", KEY_B, MESSAGE, R + S, false},
      {"a changed message", KEY_A, "Tolvarin signed publicatioN", R + S, false},
      {"a key off the curve (Y + 1)",
       KEY_A.substr(0, 64) + "f5aa5fc86baf77223b2169ad3e982fb46d328e2af9220cbbff485aa52cb82957",
       MESSAGE, R + S, false},
  };
  for (const Case& c : cases) EXPECT_EQ(Verify(c.key, c.message, c.signature), c.valid) << c.what;
}

// Two threads that are the first to ask: the providers are opened once, for both.
TEST(CryptoTest, TwoThreadsAtFirstUse) {
  bool verified[2] = {};
  std::string digests[2];
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&, t] {
      verified[t] = Verify(KEY_A, MESSAGE, R + S);
      uint8_t digest[SHA256_BYTES];
      if (Sha256(reinterpret_cast<const uint8_t*>("abc"), 3, digest))
        digests[t] = HexText(digest, sizeof digest);
    });
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 2; ++t) {
    EXPECT_TRUE(verified[t]) << t;
    EXPECT_EQ(digests[t], "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  }
}
