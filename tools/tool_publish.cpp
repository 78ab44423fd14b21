// tolvarin-tool publish and layout: whole server trees from a manifest, and where files lie.
#include <sys/stat.h>

#include <memory>
#include <sstream>

#include "files/server_layout.h"
#include "publisher.h"
#include "tool_common.h"

namespace {

struct PublishOptions {
  std::string manifest, out, modelId;
  CLI::Option* modelIdOption = nullptr;
  bool json = false;
};

int Publish(const PublishOptions& o) {
  const std::string& manifest = o.manifest;
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(manifest, &bytes)) return Fail("cannot read " + manifest);
  size_t slash = manifest.rfind('/');
  std::string baseDir = slash == std::string::npos ? "." : manifest.substr(0, slash);
  ServerPlan plan;
  std::string error;
  if (!ParseManifest(std::string(bytes.begin(), bytes.end()), baseDir, &plan, &error))
    return Fail(manifest + ": " + error);
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
  Print(o.json, j, text.str());
  return EXIT_OK;
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
  if (Given(o.modelIdOption)) {
    if (o.modelId.size() != 4) return Fail("--model-id needs 4 characters");
    char pool[9];
    PoolDirectoryFor(o.modelId.c_str(), pool);
    j["modelId"] = o.modelId;
    j["poolDirectory"] = pool;
    j["stepIndex"] = UnderRoot(IndexFilePath("", o.modelId, 1));
    j["finalIndex"] = UnderRoot(IndexFilePath("", o.modelId, 0));
    j["pool"] = UnderRoot(ImageFilePath("", o.modelId, ""));
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
  AddJsonFlag(c, &p->json);
  c->footer("Example:\n  tolvarin-tool publish samples/manifest.json --out build/server");
  commands->push_back({c, [p] { return Publish(*p); }});

  auto l = std::make_shared<PublishOptions>();
  c = tool.add_subcommand("layout", "where the update server keeps index and image files");
  l->modelIdOption = c->add_option("--model-id", l->modelId,
                                   "also the files of this model (paths under the root)");
  AddJsonFlag(c, &l->json);
  c->footer("Example:\n  tolvarin-tool layout --model-id 4D9C --json");
  commands->push_back({c, [l] { return Layout(*l); }});
}
