// Running the local update server as a child process, and temporary server trees.
#include "support/local_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "files/server_layout.h"

extern char** environ;

#if !defined(TOLVARIN_SERVER_SCRIPT) || !defined(TOLVARIN_NGINX_SCRIPT) || \
    !defined(TOLVARIN_CERT_SCRIPT) || !defined(TOLVARIN_TEST_RUN_DIR)
#error "the build names the server scripts and the folder for their runs"
#endif

namespace {

// Python needs a moment to start; a server that has not said READY by then will not.
constexpr int READY_TIMEOUT_MS = 15000;

// Reads the READY line from fd; returns the port or 0.
int ReadReady(int fd) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(READY_TIMEOUT_MS);
  while (line.find('\n') == std::string::npos) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) return 0;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) return 0;
    char chunk[64];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return 0;
    line.append(chunk, static_cast<size_t>(n));
  }
  if (line.rfind("READY ", 0) != 0) return 0;
  return std::atoi(line.c_str() + 6);
}

// Starts a server script (argv) with a pipe as its stdout and, when input is given, another as
// its stdin; returns its pid and sets *port from its READY line (0 when it never came).
pid_t SpawnServer(std::vector<std::string> args, int* port, int* input) {
  *port = 0;
  int out[2], in[2] = {-1, -1};
  // Close-on-exec: a later child must not hold an earlier server's stdin open.
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  if (input != nullptr && pipe2(in, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return -1;
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, out[1]);
  if (input != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[0]);
    posix_spawn_file_actions_addclose(&actions, in[1]);
  }
  pid_t child = -1;
  int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (input != nullptr) {
    close(in[0]);
    *input = in[1];
  }
  if (spawned != 0) child = -1;
  if (child > 0) *port = ReadReady(out[0]);
  close(out[0]);
  return child;
}

}  // namespace

CTempDir::CTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tolvarin-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path = pattern;
}

CTempDir::~CTempDir() {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

CLocalServer::CLocalServer(const std::string& root, const std::string& fault,
                           const std::string& faultPath, const std::vector<std::string>& options) {
  std::vector<std::string> args = {"python3", TOLVARIN_SERVER_SCRIPT, "--root", root, "--port",
                                   "0"};
  if (!fault.empty()) args.insert(args.end(), {"--fault", fault});
  if (!faultPath.empty()) args.insert(args.end(), {"--fault-path", faultPath});
  args.insert(args.end(), options.begin(), options.end());
  pid = SpawnServer(args, &port, nullptr);
}

CLocalServer::~CLocalServer() {
  Stop();
}

void CLocalServer::Stop() {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  pid = -1;
}

std::string CLocalServer::BaseUrl() const {
  return BaseUrlForPort(port);
}

std::string CLocalServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port) + "/" + path;
}

CNginxServer::CNginxServer(const std::string& root, const std::string& certificate)
    : tls(!certificate.empty()) {
  std::string pattern = std::string(TOLVARIN_TEST_RUN_DIR) + "/nginx-XXXXXX";
  std::error_code ignored;
  std::filesystem::create_directories(TOLVARIN_TEST_RUN_DIR, ignored);
  if (mkdtemp(pattern.data()) == nullptr) return;
  run = pattern;
  std::vector<std::string> args = {"python3", TOLVARIN_NGINX_SCRIPT, "--root", root, "--run", run};
  if (tls) {
    std::string certificates = TestCertificates();
    if (certificates.empty()) return;
    args.insert(args.end(), {"--tls", certificates, certificate});
  }
  pid = SpawnServer(args, &port, &input);
}

CNginxServer::~CNginxServer() {
  if (input >= 0) close(input);  // the script stops nginx and ends
  if (pid > 0) {
    int status = 0;
    waitpid(pid, &status, 0);
  }
  std::error_code ignored;
  if (!run.empty()) std::filesystem::remove_all(run, ignored);
}

std::string CNginxServer::BaseUrl() const {
  return Url(UPDATE_BASE_PATH);
}

std::string CNginxServer::Url(const std::string& path) const {
  return (tls ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port) + path;
}

std::string CNginxServer::AccessLog() const {
  std::ifstream log(run + "/access.log");
  std::stringstream text;
  text << log.rdbuf();
  return text.str();
}

std::string TestCertificates() {
  std::string script = TOLVARIN_CERT_SCRIPT;
  std::string dir = std::string(TOLVARIN_TEST_RUN_DIR) + "/tls";
  char* argv[] = {script.data(), dir.data(), nullptr};
  pid_t child = -1;
  int status = -1;
  if (posix_spawn(&child, argv[0], nullptr, nullptr, argv, environ) != 0 ||
      waitpid(child, &status, 0) != child)
    return "";
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? dir : "";
}

int UnusedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

std::string BaseUrlForPort(int port) {
  return "http://127.0.0.1:" + std::to_string(port) + UPDATE_BASE_PATH;
}

void WriteTreeOrFail(const ServerPlan& plan, const std::string& root) {
  std::string error;
  ASSERT_TRUE(WriteServerTree(plan, root, &error)) << error;
}
