#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/TempDir.h"

// The test statistics server (tools/stats-server) run as a child process on
// loopback, for tests that exchange documents with a real HTTPS server. The
// constructor returns once the server listens; the destructor stops it.
// Answers are scripted: each request takes the oldest queued answer, or the
// default answer when none is queued. Every request is recorded.
class StatsServer {
 public:
  struct Options {
    bool tls = true;          // false: plain HTTP
    bool tls13Only = false;   // refuse every TLS version but 1.3
    bool silent = false;      // listen but never accept: nothing ever answers
  };

  // One scripted answer; see tools/stats-server/stats_server.py.
  struct Answer {
    int status = 200;
    std::string body = "{}";
    std::string contentType = "text/json; charset=utf-8";
    std::string charset = "utf-8";  // how body becomes bytes: "utf-8", "cp1252", "latin-1"
    double delaySeconds = 0;
    bool reset = false;      // close the connection without answering
    std::string file;        // serve this file of files() instead of body
    bool raw = false;        // the body bytes alone, no status line or headers
    bool noLength = false;   // no Content-Length: the body ends with the connection
    // As a real server accepting a post: the body (a JSON object) gets
    // Header.LastCycleEnd = the posted document's Contents.ContentsEnd.
    bool echoCycleEnd = false;
  };

  struct Request {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;  // the bytes as received
    int clientPort = 0;
    std::string tls;   // "TLSv1.2", "TLSv1.3", empty for plain HTTP
    // The header's value, compared without regard to case; empty when absent.
    std::string header(const std::string& name) const;
  };

  StatsServer();
  explicit StatsServer(Options options);
  ~StatsServer();
  StatsServer(const StatsServer&) = delete;
  StatsServer& operator=(const StatsServer&) = delete;

  int port() const { return port_; }
  // "https://127.0.0.1:<port>" + path (http for a plain server).
  std::string url(const std::string& path = "/datacollector.php") const;

  void enqueue(const Answer& answer);
  // An answer with the given body and status 200.
  void enqueue(const std::string& body) { Answer a; a.body = body; enqueue(a); }
  void setDefault(const Answer& answer);

  // The requests received so far, oldest first.
  std::vector<Request> requests() const;
  // The posted document of request `index` with its sale and punch images
  // decoded, as JSON text; empty when the body was not a JSON document.
  std::string decoded(size_t index) const;

  // Folder whose files the server hands out under /files/<name>.
  std::filesystem::path files() const { return dir_.path() / "files"; }

  void stop();

 private:
  TempDir dir_;
  int port_ = 0;
  std::string url_prefix_;
  int answerCount_ = 0;
  bool running_ = false;
};
