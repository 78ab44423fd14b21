// The local update server as a child process of one test, and temporary directories.
#pragma once

#include <sys/types.h>
#include <string>

#include "publisher.h"

// A temporary directory, created empty and removed with everything in it by the destructor.
class CTempDir {
 public:
  CTempDir();
  ~CTempDir();
  CTempDir(const CTempDir&) = delete;
  CTempDir& operator=(const CTempDir&) = delete;
  const std::string& Path() const { return path; }

 private:
  std::string path;
};

// Starts the server on a free port of 127.0.0.1 serving `root`, with an optional fault (a mode of
// the server, "" for none) limited to paths holding faultPath, and waits for its READY line.
// The destructor kills the server and reaps it.
class CLocalServer {
 public:
  explicit CLocalServer(const std::string& root, const std::string& fault = "",
                        const std::string& faultPath = "");
  ~CLocalServer();
  CLocalServer(const CLocalServer&) = delete;
  CLocalServer& operator=(const CLocalServer&) = delete;

  // True once the server said READY; Port() and the URLs are meaningful only then.
  bool Started() const { return port > 0; }
  int Port() const { return port; }
  // "http://127.0.0.1:PORT/Mvlq5/Oxt/k4/": the base URL the program builds its locations on.
  std::string BaseUrl() const;
  // "http://127.0.0.1:PORT/<path>" for any path below the server's root.
  std::string Url(const std::string& path) const;
  // Kills the server now, as a server that goes away; the destructor then only reaps.
  void Stop();

 private:
  pid_t pid = -1;
  int port = 0;
};

// A port on 127.0.0.1 that nothing listens on (bound once to find it, then released).
int UnusedPort();

// "http://127.0.0.1:PORT/Mvlq5/Oxt/k4/" for any port.
std::string BaseUrlForPort(int port);

// Writes the server tree of plan under root; fails the calling test (gtest) when it cannot.
void WriteTreeOrFail(const ServerPlan& plan, const std::string& root);
