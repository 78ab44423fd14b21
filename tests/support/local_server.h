// The local update server as a child process of one test, and temporary directories.
#pragma once

#include <sys/types.h>
#include <string>
#include <vector>

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
// the server, "" for none) limited to paths holding faultPath and more of its options (the slow
// mode's pace, say), and waits for its READY line. The destructor kills the server and reaps it.
class CLocalServer {
 public:
  explicit CLocalServer(const std::string& root, const std::string& fault = "",
                        const std::string& faultPath = "",
                        const std::vector<std::string>& options = {});
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

// nginx serving `root` with the site configuration of deploy/nginx/ (tests/server/nginx_server.py,
// its config, pid, logs and temp files in a fresh folder of the build tree). Over http when
// certificate is empty, else over https with that test certificate of TestCertificates():
// "localhost", "wronghost", "expired" or "unknownca". The destructor stops nginx (nginx -s quit)
// and waits for it.
class CNginxServer {
 public:
  explicit CNginxServer(const std::string& root, const std::string& certificate = "");
  ~CNginxServer();
  CNginxServer(const CNginxServer&) = delete;
  CNginxServer& operator=(const CNginxServer&) = delete;

  bool Started() const { return port > 0; }
  int Port() const { return port; }
  // "http://127.0.0.1:PORT/Mvlq5/Oxt/k4/" or "https://localhost:PORT/Mvlq5/Oxt/k4/" (the name the
  // test certificates are made for).
  std::string BaseUrl() const;
  // The same origin with any path below the server's root ("/" first).
  std::string Url(const std::string& path) const;
  // nginx's access log: one line per request it answered.
  std::string AccessLog() const;

 private:
  std::string run;
  bool tls;
  pid_t pid = -1;
  int input = -1;  // the script serves until this closes
  int port = 0;
};

// The folder of the test certificates, made on first use (tests/tls/make_certs.sh); ca.pem in it
// is the test CA. Empty when they cannot be made.
std::string TestCertificates();

// A port on 127.0.0.1 that nothing listens on (bound once to find it, then released).
int UnusedPort();

// "http://127.0.0.1:PORT/Mvlq5/Oxt/k4/" for any port.
std::string BaseUrlForPort(int port);

// Writes the server tree of plan under root; fails the calling test (gtest) when it cannot.
void WriteTreeOrFail(const ServerPlan& plan, const std::string& root);
