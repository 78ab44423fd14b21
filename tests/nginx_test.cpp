// The nginx site of deploy/nginx/ against a tree the publisher writes, over http and https, and
// downloads from servers whose certificates do not verify.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "files/download.h"
#include "files/server_layout.h"
#include "publisher.h"
#include "support/local_server.h"
#include "update_builder.h"

namespace {

struct Response {
  long status = 0;
  std::string headers;
  std::string body;
};

size_t Append(char* data, size_t size, size_t count, void* to) {
  static_cast<std::string*>(to)->append(data, size * count);
  return size * count;
}

// One request with libcurl, trusting the test CA: status, headers and body as they came.
Response Fetch(const std::string& url, const char* method = "GET") {
  Response response;
  CURL* curl = curl_easy_init();
  std::string ca = TestCertificates() + "/ca.pem";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  if (std::string(method) == "HEAD")
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  else
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
  curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response.headers);
  if (curl_easy_perform(curl) == CURLE_OK)
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  curl_easy_cleanup(curl);
  return response;
}

bool HasNoCache(const std::string& headers) {
  return headers.find("\r\nCache-Control: no-cache\r\n") != std::string::npos;
}

// Trusts the test CA for the program's downloads while it lives.
struct TrustTestCa {
  TrustTestCa() { g_downloadExtraCaFile = TestCertificates() + "/ca.pem"; }
  ~TrustTestCa() { g_downloadExtraCaFile.clear(); }
};

// The record (or its signature) of modelId under root, and under the server's base URL.
std::string RecordFile(const std::string& base, const std::string& modelId, bool signature) {
  char location[LOCATION_CAPACITY];
  RecordFileLocation(location, sizeof location, base.c_str(), modelId.c_str(), signature);
  return location;
}

// Two models, each with its step and final index and its images.
ServerPlan TwoModels() {
  ServerPlan plan;
  for (const char* id : {"4D9C", "A1B2"}) {
    ModelPlan model;
    model.modelId = id;
    std::string tag = std::string(id).substr(0, 2);
    for (auto [kind, first, last] : {std::tuple{"0b", 0, 0}, {"2b", 4, 6}}) {
      ImagePlan image;
      image.name = "Mx" + tag + "C5" + kind;
      image.firstSector = static_cast<uint16_t>(first);
      image.lastSector = static_cast<uint16_t>(last);
      image.payload = PatternPayload(RangeBytes(first, last), first + 7);
      model.images.push_back(image);
      model.step.entries.push_back({image.name, u"", -1});
    }
    model.step.versionWord = 0x01020304;
    model.hasFinal = true;
    model.final = model.step;
    plan.models.push_back(model);
  }
  return plan;
}

class NginxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(TestCertificates().empty());
    WriteTreeOrFail(TwoModels(), root.Path());
    // The site serves records whatever their bytes; the tool's own tests sign real ones.
    std::string base = root.Path() + UPDATE_BASE_PATH;
    std::filesystem::create_directories(base + RECORD_DIRECTORY);
    for (const ModelPlan& model : TwoModels().models)
      for (bool signature : {false, true})
        ASSERT_TRUE(WriteWholeFile(RecordFile(base, model.modelId, signature), {'{', 's'}));
  }
  CTempDir root;
  TrustTestCa trust;
};

}  // namespace

TEST_F(NginxTest, ServesThePublishedFilesAndNothingElseOverHttpAndHttps) {
  ServerPlan plan = TwoModels();
  for (std::string certificate : {"", "localhost"}) {
    SCOPED_TRACE(certificate.empty() ? "http" : "https");
    CNginxServer server(root.Path(), certificate);
    ASSERT_TRUE(server.Started());
    std::string base = server.BaseUrl();
    for (const ModelPlan& model : plan.models) {
      // Index files and records first: they are replaced in place.
      std::string tree = root.Path() + UPDATE_BASE_PATH;
      std::vector<std::pair<std::string, std::string>> files = {
          {base + "Door47/" + model.modelId + ".Bin", IndexFilePath(root.Path(), model.modelId, 1)},
          {base + "DoorU/" + model.modelId + ".Bin", IndexFilePath(root.Path(), model.modelId, 0)},
          {base + "Seal/" + model.modelId + ".json", RecordFile(tree, model.modelId, false)},
          {base + "Seal/" + model.modelId + ".sig", RecordFile(tree, model.modelId, true)}};
      for (const ImagePlan& image : model.images)
        files.push_back({base + "Pool47" + model.modelId.substr(2, 1) + "x/" + image.name,
                         ImageFilePath(root.Path(), model.modelId, image.name)});
      for (size_t i = 0; i < files.size(); ++i) {
        const auto& [url, path] = files[i];
        SCOPED_TRACE(url);
        std::vector<uint8_t> expected;
        ASSERT_TRUE(ReadWholeFile(path, &expected));
        std::vector<uint8_t> got(expected.size() + 64);
        ASSERT_EQ(DownloadToBuffer(got.data(), static_cast<int>(got.size()), url.c_str(), u""),
                  static_cast<int>(expected.size()));
        got.resize(expected.size());
        EXPECT_EQ(got, expected);
        Response head = Fetch(url, "HEAD");
        EXPECT_EQ(head.status, 200);
        EXPECT_EQ(HasNoCache(head.headers), i < 4) << "only indexes and records are no-cache";
        EXPECT_EQ(Fetch(url, "POST").status, 403);
      }
    }
    // Folders, other paths, names the program never asks for, and files beside the tree.
    ASSERT_TRUE(WriteWholeFile(root.Path() + "/stray.Bin", {1, 2, 3}));
    ASSERT_TRUE(WriteWholeFile(root.Path() + UPDATE_BASE_PATH + "Door47/notes.txt", {1}));
    ASSERT_TRUE(WriteWholeFile(root.Path() + UPDATE_BASE_PATH + "Pool479x/.hidden", {1}));
    // What the signing tool writes before it renames.
    ASSERT_TRUE(WriteWholeFile(root.Path() + UPDATE_BASE_PATH + "Seal/.4D9C.json.tmp", {1}));
    for (std::string path :
         {"/", "/stray.Bin", "/Mvlq5/", "/Mvlq5/Oxt/k4/", "/Mvlq5/Oxt/k4/Door47/",
          "/Mvlq5/Oxt/k4/Pool479x/", "/Mvlq5/Oxt/k4/Door47/notes.txt",
          "/Mvlq5/Oxt/k4/Pool479x/.hidden", "/Mvlq5/Oxt/k4/Door47/4d9c.Bin",
          "/Mvlq5/Oxt/k4/Door47/FFFF.Bin", "/Mvlq5/Oxt/k4/Pool47Zx/Mx4DC50b", "/Mvlq5/Oxt/k4/Seal/",
          "/Mvlq5/Oxt/k4/Seal/.4D9C.json.tmp", "/Mvlq5/Oxt/k4/Seal/FFFF.json",
          "/Mvlq5/Oxt/k4/Seal/4D9C.txt"}) {
      Response response = Fetch(server.Url(path));
      EXPECT_EQ(response.status, 404) << path;
      EXPECT_EQ(response.body.find("Index of"), std::string::npos) << path;
    }
  }
}

TEST_F(NginxTest, ACertificateThatDoesNotVerifyFailsTheDownloadBeforeAnyRequest) {
  std::vector<uint8_t> index;
  ASSERT_TRUE(ReadWholeFile(IndexFilePath(root.Path(), "4D9C", 1), &index));
  struct Case {
    std::string certificate;
    bool trustTestCa;
    const char* why;
  };
  for (const Case& c :
       {Case{"unknownca", true, "signed by a CA nobody trusts"},
        Case{"wronghost", true, "made for another host name"}, Case{"expired", true, "expired"},
        Case{"localhost", false, "good, but its CA is not given to libcurl"}}) {
    SCOPED_TRACE(c.why);
    if (!c.trustTestCa) g_downloadExtraCaFile.clear();
    CNginxServer server(root.Path(), c.certificate);
    ASSERT_TRUE(server.Started());
    std::vector<uint8_t> buffer(4096, 0xA5);
    std::string url = server.BaseUrl() + "Door47/4D9C.Bin";
    EXPECT_EQ(DownloadToBuffer(buffer.data(), static_cast<int>(buffer.size()), url.c_str(), u""),
              ERR_CONNECT);
    EXPECT_EQ(buffer, std::vector<uint8_t>(4096, 0xA5)) << "nothing taken from the server";
    EXPECT_EQ(server.AccessLog(), "") << "no request sent, over https or over http";
  }
  g_downloadExtraCaFile = TestCertificates() + "/ca.pem";
  CNginxServer good(root.Path(), "localhost");
  std::vector<uint8_t> buffer(4096);
  std::string url = good.BaseUrl() + "Door47/4D9C.Bin";
  EXPECT_EQ(DownloadToBuffer(buffer.data(), static_cast<int>(buffer.size()), url.c_str(), u""),
            static_cast<int>(index.size()))
      << "the same server with a good certificate";
}
