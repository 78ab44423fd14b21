// Running the local update server as a child process, and temporary server trees.
#include "support/local_server.h"

#include <arpa/inet.h>
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

#include "files/server_layout.h"

extern char** environ;

#ifndef TOLVARIN_SERVER_SCRIPT
#error "the build names the server script (TOLVARIN_SERVER_SCRIPT)"
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
                           const std::string& faultPath) {
  int fds[2];
  if (pipe(fds) != 0) return;
  std::vector<std::string> args = {"python3", TOLVARIN_SERVER_SCRIPT, "--root", root, "--port",
                                   "0"};
  if (!fault.empty()) args.insert(args.end(), {"--fault", fault});
  if (!faultPath.empty()) args.insert(args.end(), {"--fault-path", faultPath});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  pid_t child = -1;
  int spawned = posix_spawnp(&child, "python3", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned == 0) {
    pid = child;
    port = ReadReady(fds[0]);
  }
  close(fds[0]);
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
