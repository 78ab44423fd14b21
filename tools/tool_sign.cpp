// tolvarin-tool key, sign and verify: the publisher's key pair, and signed publication records.
#include <cstdio>
#include <ctime>
#include <memory>
#include <sstream>

#include "files/publication_record.h"
#include "files/server_layout.h"
#include "seal.h"
#include "signing.h"
#include "tool_common.h"

namespace {

struct SignOptions {
  std::string key, publicKey, privateKey, tree, expires, at;
  CLI::Option *expiresOption = nullptr, *atOption = nullptr;
  bool json = false;
};

std::string KeyIdText(const uint8_t* publicKey) {
  uint8_t id[KEY_ID_BYTES];
  KeyIdOf(publicKey, id);
  return HexText(id, KEY_ID_BYTES);
}

int FailNoModel(const std::string& tree) {
  return Fail(tree + " holds no model (no step index in " + UPDATE_BASE_PATH +
              STEP_INDEX_DIRECTORY + "/)");
}

bool TimeOption(const std::string& name, const std::string& text, int64_t* seconds,
                std::string* error) {
  if (ParseUtcTime(text, seconds)) return true;
  *error = name + " needs a UTC time as 2027-03-09T02:00:00Z, not \"" + text + "\"";
  return false;
}

int KeyNew(const SignOptions& o) {
  uint8_t publicKey[P256_PUBLIC_KEY_BYTES];
  std::string error;
  if (!NewKeyPair(o.privateKey, o.publicKey, publicKey, &error)) return Fail(error);
  Json j;
  j["private"] = o.privateKey;
  j["public"] = o.publicKey;
  j["keyId"] = KeyIdText(publicKey);
  Print(o.json, j,
        "private key " + o.privateKey + " (mode 0600: keep it off the server)\npublic key  " +
            o.publicKey + " (key id " + KeyIdText(publicKey) + ")\n");
  return EXIT_OK;
}

int Verify(const SignOptions& o) {
  uint8_t publicKey[P256_PUBLIC_KEY_BYTES];
  std::string error;
  if (!ReadPublicKeyFile(o.publicKey, publicKey, &error)) return Fail(error);
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (Given(o.atOption) && !TimeOption("--at", o.at, &now, &error)) return Fail(error);
  std::vector<std::string> models = TreeModels(o.tree);
  if (models.empty()) return FailNoModel(o.tree);
  Json j, list = Json::array();
  std::ostringstream text;
  bool all = true;
  for (const std::string& model : models) {
    std::vector<std::string> problems = VerifyModel(o.tree, model, publicKey, now);
    all = all && problems.empty();
    list.push_back({{"modelId", model}, {"verified", problems.empty()}, {"problems", problems}});
    text << model << (problems.empty() ? ": verified\n" : ": FAILED\n");
    for (const std::string& problem : problems) text << "  " << problem << "\n";
  }
  j["keyId"] = KeyIdText(publicKey);
  j["at"] = FormatUtcTime(now);
  j["models"] = list;
  j["verified"] = all;
  Print(o.json, j, text.str());
  return all ? EXIT_OK : EXIT_REFUSED;
}

int Sign(const SignOptions& o) {
  Signer signer;
  std::string error;
  if (!PrepareSigner(o.key, Given(o.expiresOption) ? &o.expires : nullptr, &signer, &error))
    return Fail(error);
  Json j;
  std::ostringstream text;
  int code = SignModels(o.tree, {}, signer, &j, &text);
  if (!j.empty()) Print(o.json, j, text.str());
  return code;
}

void AddExpires(CLI::App* c, SignOptions* o) {
  o->expiresOption =
      c->add_option("--expires", o->expires,
                    "when the records stop holding, UTC as 2027-03-09T02:00:00Z (default: " +
                        std::to_string(DEFAULT_EXPIRY_DAYS) + " days from now)")
          ->type_name("TIME");
}

}  // namespace

bool PrepareSigner(const std::string& keyPath, const std::string* expires, Signer* signer,
                   std::string* error) {
  signer->key = ReadPrivateKeyFile(keyPath, signer->publicKey, error);
  if (!signer->key) return false;
  signer->published = static_cast<int64_t>(std::time(nullptr));
  signer->expires = signer->published + int64_t{DEFAULT_EXPIRY_DAYS} * 86400;
  if (expires != nullptr && !TimeOption("--expires", *expires, &signer->expires, error))
    return false;
  if (signer->expires <= signer->published) {
    *error = "--expires " + FormatUtcTime(signer->expires) + " is not later than now";
    return false;
  }
  return true;
}

int SignModels(const std::string& root, std::vector<std::string> models, const Signer& signer,
               Json* j, std::ostringstream* text) {
  if (models.empty()) models = TreeModels(root);
  if (models.empty()) return FailNoModel(root);
  std::string error;
  Json records = Json::array(), failed = Json::array();
  for (const std::string& model : models) {
    SealedModel sealed;
    if (!SealModel(root, model, signer.key.get(), signer.publicKey, signer.published,
                   signer.expires, &sealed, &error)) {
      failed.push_back({{"modelId", model}, {"error", error}});
      *text << model << (sealed.halfWritten ? ": NOT SIGNED: " : ": NOT SIGNED, nothing written: ")
            << error << "\n";
      continue;
    }
    records.push_back({{"modelId", model},
                       {"record", sealed.record},
                       {"signature", sealed.signature},
                       {"recordBytes", sealed.recordBytes},
                       {"files", sealed.fileCount}});
    *text << model << ": " << sealed.record << "  " << sealed.recordBytes << " bytes, "
          << sealed.fileCount << " files, and its .sig\n";
  }
  (*j)["keyId"] = KeyIdText(signer.publicKey);
  (*j)["published"] = FormatUtcTime(signer.published);
  (*j)["expires"] = FormatUtcTime(signer.expires);
  (*j)["records"] = records;
  (*j)["failed"] = failed;
  *text << "key " << KeyIdText(signer.publicKey) << ", expires " << FormatUtcTime(signer.expires)
        << "\n";
  if (!failed.empty()) {
    std::fprintf(stderr, "tolvarin-tool: %zu of %zu models not signed\n", failed.size(),
                 models.size());
    return EXIT_REFUSED;
  }
  return EXIT_OK;
}

void AddSignCommands(CLI::App& tool, ToolCommands* commands) {
  CLI::App* key = tool.add_subcommand("key", "the publisher's signing key pair");
  key->require_subcommand(1);
  key->footer("Example:\n  tolvarin-tool key new --private publisher.pem --public publisher.pub");
  auto k = std::make_shared<SignOptions>();
  CLI::App* c = key->add_subcommand("new", "make a new P-256 key pair");
  c->add_option("--private", k->privateKey,
                "the private key to create (PEM, PKCS#8, mode 0600; never replaced)")
      ->required()
      ->type_name("FILE");
  c->add_option("--public", k->publicKey,
                "the public key to create (PEM: what the build setting TOLVARIN_PUBLIC_KEYS "
                "takes)")
      ->required()
      ->type_name("FILE");
  AddJsonFlag(c, &k->json);
  c->footer(
      "Keep the private key off the update server; build the programs with\n"
      "-DTOLVARIN_PUBLIC_KEYS=publisher.pub.\n"
      "Example:\n  tolvarin-tool key new --private publisher.pem --public publisher.pub");
  commands->push_back({c, [k] { return KeyNew(*k); }});

  auto s = std::make_shared<SignOptions>();
  c = tool.add_subcommand("sign", "sign every model of a published tree");
  c->add_option("TREE", s->tree, "the server root (what publish --out wrote)")->required();
  c->add_option("--key", s->key, "the publisher's private key (PEM, from key new)")
      ->required()
      ->type_name("FILE");
  AddExpires(c, s.get());
  AddJsonFlag(c, &s->json);
  c->footer(
      "Writes Seal/<model>.json (the record: the step index, the final index when there is one\n"
      "and every image either lists, with sizes and SHA-256) and Seal/<model>.sig (its\n"
      "signature) beside the index folders, for every step index Door47/<model>.Bin of the\n"
      "tree, whatever tool wrote the files. A model whose index fails the program's check, or\n"
      "lists an image the pool does not hold or the program would refuse, is not signed and\n"
      "nothing is written for it (exit 1). Each file is written under a temporary name and\n"
      "renamed: no file is ever seen half written. A program that fetches between the two\n"
      "renames could still get a record and a signature of two releases: release by publishing\n"
      "and signing into a new folder, then switching the server root's symlink to it.\n"
      "Example:\n  tolvarin-tool sign --key publisher.pem --expires 2027-03-09T02:00:00Z "
      "build/server");
  commands->push_back({c, [s] { return Sign(*s); }});

  auto v = std::make_shared<SignOptions>();
  c = tool.add_subcommand("verify", "check a signed tree as the program would");
  c->add_option("TREE", v->tree, "the server root")->required();
  c->add_option("--public-key", v->publicKey, "the public key the programs are built with")
      ->required()
      ->type_name("FILE");
  v->atOption =
      c->add_option("--at", v->at, "check at this UTC time instead of now")->type_name("TIME");
  AddJsonFlag(c, &v->json);
  c->footer(
      "For every model: the record's signature, model and expiry, then every listed file's\n"
      "size and SHA-256 against the served file, and every file the program may fetch listed.\n"
      "Exit 0 only when every model verifies; each problem is named.\n"
      "Example:\n  tolvarin-tool verify --public-key publisher.pub build/server");
  commands->push_back({c, [v] { return Verify(*v); }});
}
