#include "support/StatsServer.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/StatsServerLaunch.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAtomic(const fs::path& path, const std::string& data) {
  const fs::path tmp = path.string() + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << data;
  }
  fs::rename(tmp, path);
}

nlohmann::json AnswerJson(const StatsServer::Answer& a) {
  nlohmann::json j = {{"status", a.status},     {"body", a.body},
                      {"content_type", a.contentType}, {"charset", a.charset},
                      {"delay", a.delaySeconds}, {"reset", a.reset}};
  if (!a.file.empty()) j["file"] = a.file;
  if (a.echoCycleEnd) j["echo_cycle_end"] = true;
  if (a.raw) j["raw"] = true;
  if (a.noLength) j["no_length"] = true;
  return j;
}

}  // namespace

std::string StatsServer::Request::header(const std::string& name) const {
  auto lower = [](std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
  };
  for (const auto& [key, value] : headers) {
    if (lower(key) == lower(name)) return value;
  }
  return "";
}

StatsServer::StatsServer() : StatsServer(Options{}) {}

StatsServer::StatsServer(Options options) : dir_("stats-server", StatsServerParentFolder()) {
  std::vector<std::string> arguments;
  if (!options.tls) arguments.push_back("--plain");
  if (options.tls13Only) arguments.push_back("--tls13-only");
  if (options.silent) arguments.push_back("--silent");
  LaunchStatsServer(dir_.path(), arguments);
  running_ = true;

  const fs::path portFile = dir_.path() / "port";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(portFile)) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("the statistics server did not start: " + ReadFile(dir_.path() / "server.log"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  port_ = std::stoi(ReadFile(portFile));
  url_prefix_ = (options.tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_);
}

StatsServer::~StatsServer() {
  try {
    stop();
  } catch (...) {
  }
}

void StatsServer::stop() {
  if (!running_) return;
  running_ = false;
  WriteAtomic(dir_.path() / "stop", "");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!fs::exists(dir_.path() / "stopped") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string StatsServer::url(const std::string& path) const { return url_prefix_ + path; }

void StatsServer::enqueue(const Answer& answer) {
  char name[32];
  std::snprintf(name, sizeof name, "%06d.json", ++answerCount_);
  WriteAtomic(dir_.path() / "answers" / name, AnswerJson(answer).dump());
}

void StatsServer::setDefault(const Answer& answer) {
  WriteAtomic(dir_.path() / "default.json", AnswerJson(answer).dump());
}

std::vector<StatsServer::Request> StatsServer::requests() const {
  std::vector<fs::path> metas;
  for (const auto& entry : fs::directory_iterator(dir_.path() / "requests")) {
    const std::string name = entry.path().filename().string();
    if (name.size() == 9 && name.ends_with(".json")) metas.push_back(entry.path());
  }
  std::sort(metas.begin(), metas.end());
  std::vector<Request> result;
  for (const auto& meta : metas) {
    const auto j = nlohmann::json::parse(ReadFile(meta));
    Request r;
    r.method = j.at("method").get<std::string>();
    r.path = j.at("path").get<std::string>();
    for (const auto& h : j.at("headers")) r.headers.emplace_back(h.at(0).get<std::string>(), h.at(1).get<std::string>());
    r.clientPort = j.value("client_port", 0);
    if (j.contains("tls") && j["tls"].is_string()) r.tls = j["tls"].get<std::string>();
    r.body = ReadFile(dir_.path() / "requests" / j.at("body").get<std::string>());
    result.push_back(std::move(r));
  }
  return result;
}

std::string StatsServer::decoded(size_t index) const {
  char name[32];
  std::snprintf(name, sizeof name, "%04zu.decoded.json", index + 1);
  const fs::path path = dir_.path() / "requests" / name;
  return fs::exists(path) ? ReadFile(path) : std::string();
}
