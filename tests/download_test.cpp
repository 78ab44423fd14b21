// Downloads against the local update server, whole and broken in every way it can break them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/utf8.h"
#include "files/download.h"
#include "files/update_file.h"
#include "support/local_server.h"

namespace {

constexpr uint8_t GUARD = 0xA5;
constexpr size_t GUARD_BYTES = 256;

// A destination of `capacity` bytes followed by guard bytes that no download may touch.
struct GuardedBuffer {
  explicit GuardedBuffer(int capacity)
      : capacity(capacity), bytes(static_cast<size_t>(capacity) + GUARD_BYTES, GUARD) {}
  uint8_t* data() { return bytes.data(); }
  bool GuardIntact() const {
    for (size_t i = static_cast<size_t>(capacity); i < bytes.size(); ++i)
      if (bytes[i] != GUARD) return false;
    return true;
  }
  int capacity;
  std::vector<uint8_t> bytes;
};

class DownloadTest : public ::testing::Test {
 protected:
  // Puts a file of `bytes` at `path` below the server root.
  void Put(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::string full = root.Path() + "/" + path;
    std::string dir = full.substr(0, full.rfind('/'));
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(WriteWholeFile(full, bytes));
  }

  // Starts the server (with an optional fault) and downloads `path` into buffer.
  int Download(GuardedBuffer& buffer, const std::string& path, const std::string& fault = "",
               const std::u16string& fileName = u"") {
    CLocalServer server(root.Path(), fault);
    EXPECT_TRUE(server.Started());
    return DownloadToBuffer(buffer.data(), buffer.capacity, server.Url(path).c_str(),
                            fileName.c_str());
  }

  std::u16string LocalName(const std::string& name) {
    std::u16string out;
    EXPECT_TRUE(Utf8ToUtf16(local.Path() + "/" + name, &out));
    return out;
  }

  CTempDir root;
  CTempDir local;
};

std::vector<uint8_t> Bytes(GuardedBuffer& buffer, int n) {
  return std::vector<uint8_t>(buffer.data(), buffer.data() + n);
}

}  // namespace

TEST_F(DownloadTest, WholeFilesOfEverySizeAroundTheChunk) {
  for (size_t size : {size_t{1}, size_t{DOWNLOAD_CHUNK_SIZE - 1}, size_t{DOWNLOAD_CHUNK_SIZE},
                      size_t{DOWNLOAD_CHUNK_SIZE + 1}, size_t{100000}}) {
    SCOPED_TRACE(size);
    std::vector<uint8_t> content = PatternPayload(size, static_cast<uint32_t>(size));
    Put("files/f.bin", content);
    GuardedBuffer buffer(static_cast<int>(size));  // exactly the file's size is enough
    ASSERT_EQ(Download(buffer, "files/f.bin"), static_cast<int>(size));
    EXPECT_EQ(Bytes(buffer, static_cast<int>(size)), content);
    EXPECT_TRUE(buffer.GuardIntact());
  }
}

TEST_F(DownloadTest, AnEmptyFileGivesZero) {
  Put("files/empty.bin", {});
  GuardedBuffer buffer(64);
  EXPECT_EQ(Download(buffer, "files/empty.bin"), 0);
  EXPECT_EQ(buffer.bytes[0], GUARD) << "nothing was copied";
}

TEST_F(DownloadTest, AMissingFileReturnsTheErrorPageWhichThenFailsTheCheck) {
  GuardedBuffer buffer(MAX_INDEX_FILE_SIZE);
  int length = Download(buffer, "Mvlq5/Oxt/k4/Door47/0000.Bin");
  ASSERT_GT(length, 0) << "the body of the 404 answer is returned like a file";
  std::string body(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(length));
  EXPECT_NE(body.find("<html>"), std::string::npos) << body;
  EXPECT_NE(body.find("Not Found"), std::string::npos) << body;
  EXPECT_EQ(CheckUpdateFile(length, buffer.data(), "0000", MODE_INDEX_FILE), CHECK_BAD_MAGIC);

  // The not-found fault answers the same way for a file that exists.
  Put("files/there.bin", {1, 2, 3});
  GuardedBuffer faulted(MAX_INDEX_FILE_SIZE);
  EXPECT_EQ(Download(faulted, "files/there.bin", "not-found"), length);
  EXPECT_EQ(Bytes(faulted, length), Bytes(buffer, length));
}

TEST_F(DownloadTest, ABodyLongerThanTheBufferFailsWithoutWritingPastIt) {
  std::vector<uint8_t> content = PatternPayload(3 * DOWNLOAD_CHUNK_SIZE, 7);
  Put("files/big.bin", content);
  for (int capacity :
       {0, 1, MAX_INDEX_FILE_SIZE, DOWNLOAD_CHUNK_SIZE, static_cast<int>(content.size()) - 1}) {
    SCOPED_TRACE(capacity);
    GuardedBuffer buffer(capacity);
    EXPECT_EQ(Download(buffer, "files/big.bin"), ERR_READ);
    EXPECT_TRUE(buffer.GuardIntact());
  }
}

TEST_F(DownloadTest, AServerThatSendsJunkAfterTheFileOverrunsNoImageBuffer) {
  // An image buffer holds the listed size plus 128 bytes; the oversize fault sends far more.
  std::vector<uint8_t> content = PatternPayload(5000, 3);
  Put("files/image.bin", content);
  GuardedBuffer buffer(static_cast<int>(content.size()) + IMAGE_BUFFER_EXTRA);
  EXPECT_EQ(Download(buffer, "files/image.bin", "oversize"), ERR_READ);
  EXPECT_TRUE(buffer.GuardIntact());
}

TEST_F(DownloadTest, ABodyBeyondItsAnnouncedLengthIsNotTaken) {
  std::vector<uint8_t> content = PatternPayload(3000, 4);
  Put("files/f.bin", content);
  GuardedBuffer buffer(static_cast<int>(content.size()) + IMAGE_BUFFER_EXTRA);
  ASSERT_EQ(Download(buffer, "files/f.bin", "long-body"), static_cast<int>(content.size()));
  EXPECT_EQ(Bytes(buffer, static_cast<int>(content.size())), content);
}

TEST_F(DownloadTest, ASlowServerStillDeliversTheWholeFile) {
  std::vector<uint8_t> content = PatternPayload(4000, 5);
  Put("files/f.bin", content);
  GuardedBuffer buffer(static_cast<int>(content.size()));
  ASSERT_EQ(Download(buffer, "files/f.bin", "slow"), static_cast<int>(content.size()));
  EXPECT_EQ(Bytes(buffer, static_cast<int>(content.size())), content);
}

TEST_F(DownloadTest, ARefusedConnectionIsErrConnect) {
  int port = UnusedPort();
  ASSERT_GT(port, 0);
  GuardedBuffer buffer(MAX_INDEX_FILE_SIZE);
  std::string url = BaseUrlForPort(port) + "Door47/4D9C.Bin";
  EXPECT_EQ(DownloadToBuffer(buffer.data(), buffer.capacity, url.c_str(), u""), ERR_CONNECT);
  EXPECT_EQ(buffer.bytes[0], GUARD);
}

TEST_F(DownloadTest, AConnectionBrokenMidBodyIsErrRead) {
  std::vector<uint8_t> content = PatternPayload(40000, 6);
  Put("files/f.bin", content);
  for (const char* fault : {"cut", "reset"}) {
    SCOPED_TRACE(fault);
    GuardedBuffer buffer(static_cast<int>(content.size()) + IMAGE_BUFFER_EXTRA);
    EXPECT_EQ(Download(buffer, "files/f.bin", fault), ERR_READ);
    EXPECT_TRUE(buffer.GuardIntact());
  }
}

TEST_F(DownloadTest, AServerThatStallsMidBodyIsErrReadOnceTheStallTimeHasPassed) {
  std::vector<uint8_t> content = PatternPayload(40000, 9);
  Put("files/f.bin", content);
  const int saved = g_downloadStallSeconds;
  g_downloadStallSeconds = 1;
  GuardedBuffer buffer(static_cast<int>(content.size()) + IMAGE_BUFFER_EXTRA);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Download(buffer, "files/f.bin", "stall"), ERR_READ);
  g_downloadStallSeconds = saved;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(Bytes(buffer, 100), std::vector<uint8_t>(content.begin(), content.begin() + 100))
      << "the part received before the stall stays in the buffer";
  EXPECT_TRUE(buffer.GuardIntact());
}

TEST_F(DownloadTest, TheLocalCopyHoldsTheSameBytesAndIsTruncatedFirst) {
  std::vector<uint8_t> content = PatternPayload(2 * DOWNLOAD_CHUNK_SIZE + 17, 8);
  Put("files/f.bin", content);
  Put("files/empty.bin", {});
  std::u16string name = LocalName("copy.bin");
  std::string path = local.Path() + "/copy.bin";

  GuardedBuffer buffer(static_cast<int>(content.size()));
  ASSERT_EQ(Download(buffer, "files/f.bin", "", name), static_cast<int>(content.size()));
  std::vector<uint8_t> saved;
  ASSERT_TRUE(ReadWholeFile(path, &saved));
  EXPECT_EQ(saved, content);

  // An empty answer still creates (here: truncates) the copy.
  GuardedBuffer empty(16);
  EXPECT_EQ(Download(empty, "files/empty.bin", "", name), 0);
  ASSERT_TRUE(ReadWholeFile(path, &saved));
  EXPECT_TRUE(saved.empty()) << saved.size() << " bytes left from the earlier download";

  // ... and creates a copy that was not there.
  GuardedBuffer fresh(16);
  EXPECT_EQ(Download(fresh, "files/empty.bin", "", LocalName("fresh.bin")), 0);
  ASSERT_TRUE(ReadWholeFile(local.Path() + "/fresh.bin", &saved));
  EXPECT_TRUE(saved.empty());

  // Without a name nothing is written.
  GuardedBuffer plain(static_cast<int>(content.size()));
  ASSERT_EQ(Download(plain, "files/f.bin"), static_cast<int>(content.size()));
  ASSERT_TRUE(ReadWholeFile(path, &saved));
  EXPECT_TRUE(saved.empty());
}

TEST_F(DownloadTest, ACopyThatCannotBeCreatedIsErrCreateFile) {
  Put("files/f.bin", {1, 2, 3, 4});
  GuardedBuffer buffer(16);
  EXPECT_EQ(Download(buffer, "files/f.bin", "", LocalName("no/such/dir/copy.bin")),
            ERR_CREATE_FILE);
}

TEST_F(DownloadTest, IndexFilesComeFromTheStepOrTheFinalDirectory) {
  // Each file carries its own location so that a wrong path shows in the comparison.
  auto content = [](const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
  };
  Put("Mvlq5/Oxt/k4/Door47/4D9C.Bin", content("step 4D9C"));
  Put("Mvlq5/Oxt/k4/DoorU/4D9C.Bin", content("final 4D9C"));
  CLocalServer server(root.Path());
  ASSERT_TRUE(server.Started());
  std::string base = server.BaseUrl();
  EXPECT_EQ(base, "http://127.0.0.1:" + std::to_string(server.Port()) + "/Mvlq5/Oxt/k4/");

  for (int which : {1, 0, 2, -1}) {
    SCOPED_TRACE(which);
    GuardedBuffer buffer(MAX_INDEX_FILE_SIZE);
    int n = FetchIndexFile(buffer.data(), buffer.capacity, base.c_str(), "4D9C", which);
    ASSERT_GT(n, 0);
    EXPECT_EQ(Bytes(buffer, n), content(which == 1 ? "step 4D9C" : "final 4D9C"));
  }
  GuardedBuffer other(MAX_INDEX_FILE_SIZE);
  int n = FetchIndexFile(other.data(), other.capacity, base.c_str(), "1234", 1);
  ASSERT_GT(n, 0);
  EXPECT_EQ(CheckUpdateFile(n, other.data(), "1234", MODE_INDEX_FILE), CHECK_BAD_MAGIC)
      << "another model's index is missing: the error page comes back";
}
