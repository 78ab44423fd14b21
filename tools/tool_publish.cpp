// tolvarin-tool publish and layout: whole server trees from a manifest (signed with --key), and
// where files lie.
#include <sys/stat.h>

#include <memory>
#include <sstream>

#include "files/server_layout.h"
#include "publisher.h"
#include "seal.h"
#include "tool_common.h"

namespace {

struct PublishOptions {
  std::string manifest, out, modelId, key, expires;
  CLI::Option *modelIdOption = nullptr, *keyOption = nullptr, *expiresOption = nullptr;
  bool json = false;
};

int Publish(const PublishOptions& o) {
  ServerPlan plan;
  std::string error;
  if (!ReadManifestFile(o.manifest, &plan, &error)) return Fail(error);
  // The key is read before anything is written: a refused key leaves no unsigned tree.
  Signer signer;
  if (Given(o.keyOption) &&
      !PrepareSigner(o.key, Given(o.expiresOption) ? &o.expires : nullptr, &signer, &error))
    return Fail(error);
  if (!WriteServerTree(plan, o.out, &error)) return Fail(error);

  Json files = Json::array();
  std::ostringstream text;
  auto add = [&](const std::string& path) {
    struct stat st {};
    long long size = ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    files.push_back({{"path", path}, {"bytes", size}});
    text << "  " << path << "  " << size << " bytes\n";
  };
  for (const ModelPlan& model : plan.models) {
    text << "model " << model.modelId << ":\n";
    add(IndexFilePath(o.out, model.modelId, 1));
    if (model.hasFinal) add(IndexFilePath(o.out, model.modelId, 0));
    for (const ImagePlan& image : model.images)
      add(ImageFilePath(o.out, model.modelId, image.name));
  }
  Json j;
  j["out"] = o.out;
  j["files"] = files;
  int code = EXIT_OK;
  if (Given(o.keyOption)) {
    std::vector<std::string> models;
    for (const ModelPlan& model : plan.models) models.push_back(model.modelId);
    Json signing;
    code = SignModels(o.out, models, signer, &signing, &text);
    j["signing"] = signing;
  }
  Print(o.json, j, text.str());
  return code;
}

// A path under the server root, without the root's leading '/'.
std::string UnderRoot(const std::string& path) {
  return path.substr(path.find_first_not_of('/'));
}

int Layout(const PublishOptions& o) {
  Json j;
  j["basePath"] = UPDATE_BASE_PATH;
  j["stepDirectory"] = STEP_INDEX_DIRECTORY;
  j["finalDirectory"] = FINAL_INDEX_DIRECTORY;
  j["poolTemplate"] = POOL_DIRECTORY_TEMPLATE;
  j["recordDirectory"] = RECORD_DIRECTORY;
  if (Given(o.modelIdOption)) {
    if (o.modelId.size() != 4) return Fail("--model-id needs 4 characters");
    char pool[9];
    PoolDirectoryFor(o.modelId.c_str(), pool);
    j["modelId"] = o.modelId;
    j["poolDirectory"] = pool;
    j["stepIndex"] = UnderRoot(IndexFilePath("", o.modelId, 1));
    j["finalIndex"] = UnderRoot(IndexFilePath("", o.modelId, 0));
    j["pool"] = UnderRoot(ImageFilePath("", o.modelId, ""));
    j["record"] = UnderRoot(RecordFilePath("", o.modelId, false));
    j["signature"] = UnderRoot(RecordFilePath("", o.modelId, true));
  }
  std::ostringstream text;
  for (const auto& item : j.items())
    text << item.key() << " " << item.value().get<std::string>() << "\n";
  Print(o.json, j, text.str());
  return EXIT_OK;
}

}  // namespace

void AddPublishCommands(CLI::App& tool, ToolCommands* commands) {
  auto p = std::make_shared<PublishOptions>();
  CLI::App* c = tool.add_subcommand("publish", "write a whole update server tree from a manifest");
  c->add_option("MANIFEST", p->manifest, "the JSON manifest (see samples/manifest.json)")
      ->required();
  c->add_option("--out", p->out, "the server root to fill")->required();
  p->keyOption = c->add_option("--key", p->key,
                               "also sign the manifest's models with this private key (as sign)");
  p->expiresOption =
      c->add_option(
           "--expires", p->expires,
           "with --key: when the records stop holding, UTC as 2027-03-09T02:00:00Z (default: " +
               std::to_string(DEFAULT_EXPIRY_DAYS) + " days from now)")
          ->needs(p->keyOption);
  AddJsonFlag(c, &p->json);
  c->footer(
      "Release by publishing into a new folder and switching the server root's symlink to it.\n"
      "Example:\n  tolvarin-tool publish samples/manifest.json --out build/server --key "
      "publisher.pem");
  commands->push_back({c, [p] { return Publish(*p); }});

  auto l = std::make_shared<PublishOptions>();
  c = tool.add_subcommand("layout", "where the update server keeps index, image and record files");
  l->modelIdOption = c->add_option("--model-id", l->modelId,
                                   "also the files of this model (paths under the root)");
  AddJsonFlag(c, &l->json);
  c->footer("Example:\n  tolvarin-tool layout --model-id 4D9C --json");
  commands->push_back({c, [l] { return Layout(*l); }});
}
