// model_bench <sales> [stream|tree]: generates one cycle's data of that many
// sales (five facts and two employees each) plus one labor record of five
// punches per ten sales and a small set of reference records, then times
// writing the collected-data document's text. "stream" (the default) writes
// it straight from the records (TCollectedData::JSONText), as a post does;
// "tree" builds the JSON tree first and writes that (JSONWrite of
// JSONEncoded), the reference the streamed text is tested against. Prints one
// "name: value unit" line per figure.
//
// Document peak memory is the rise of the process's peak resident size during
// the first write, above what the generated records already hold. The whole
// post peak is the process's peak resident size, records included, once the
// post body (the document with its header members, in Windows-1252) has been
// made the way a post makes it; it is measured after the document figures so
// that their rise is their own. The process does nothing else, so each size is
// measured on its own.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/AnsiText.h"
#include "model/CollectedData.h"
#include "model/JSONConventions.h"

namespace {

long PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;  // KiB on Linux
}

void Generate(TCollectedData& data, int sales) {
  std::mt19937 random(20240307);
  std::uniform_real_distribution<double> amount(0.0, 500.0);

  data.SetNewEmployees(true);
  data.Employees().reserve(40);
  for (int i = 1; i <= 40; ++i) {
    auto employee = std::make_unique<TEmployeeRecord>();
    employee->ObjId = i;
    employee->Name = "Employee " + std::to_string(i);
    employee->FirstName = "First" + std::to_string(i);
    employee->LastName = "Last" + std::to_string(i);
    employee->Initials = "E" + std::to_string(i);
    employee->MainPhone = "555-01" + std::to_string(10 + i);
    employee->Category = i % 4;
    employee->Enabled = true;
    data.Employees().push_back(std::move(employee));
  }
  for (int i = 1; i <= 6; ++i) {
    auto terminal = std::make_unique<TTerminalRecord>();
    terminal->ObjId = i;
    terminal->Name = "Lane " + std::to_string(i);
    terminal->TerminalType = i % 3;
    data.Terminals().push_back(std::move(terminal));
  }

  data.SalesData().reserve(static_cast<size_t>(sales));
  for (int i = 0; i < sales; ++i) {
    auto sale = std::make_unique<TSaleRecord>();
    sale->SaleID = 100000 + i;
    sale->PaidTime = 45000.0 + static_cast<double>(i) / sales;
    sale->CreatedTime = sale->PaidTime - 0.001;
    sale->Shift = static_cast<uint8_t>(1 + i % 3);
    sale->Terminal = 1 + i % 6;
    sale->Status = 0;
    // Five distinct (profit center, fact) pairs: four facts of profit
    // center 0 and one of a second profit center.
    std::vector<int> facts(12);
    for (int j = 0; j < 12; ++j) facts[j] = j;
    std::shuffle(facts.begin(), facts.end(), random);
    for (int j = 0; j < 4; ++j) sale->AddFact(0, TSaleRecord::TrackedFactIDs[facts[j]], amount(random));
    const int32_t secondPC = TSaleRecord::TrackedProfitCenters[1 + i % 6];
    sale->AddFact(secondPC, TSaleRecord::TrackedFactIDs[facts[4]], amount(random));
    // Two employees in two profit centers.
    const int32_t employee = 1 + i % 40;
    sale->SalesRoles = {employee, 0};
    sale->SalesRoles.resize(1 + (1 + i % 6), 0);
    sale->SalesRoles[1 + i % 6] = 1 + (i + 7) % 40;
    sale->ActiveRolesMap = static_cast<uint16_t>(1u | (1u << (1 + i % 6)));
    data.SalesData().push_back(std::move(sale));
  }

  const int laborRecords = std::max(1, sales / 10);
  data.LaborData().reserve(static_cast<size_t>(laborRecords));
  for (int i = 0; i < laborRecords; ++i) {
    auto record = std::make_unique<TLaborRecord>();
    record->Employee = 1 + i % 40;
    record->StartDay = 45000.0 + 7 * (i / 40);
    record->EndDay = record->StartDay + 6;
    for (int p = 0; p < 5; ++p) {
      TPunchRecord punch;
      punch.PunchDate = record->StartDay + p;
      punch.Role = 1 + p % 3;
      punch.InTime = static_cast<int16_t>(480 + p);
      punch.ActualInTime = 28800 + 60 * p;
      punch.OutTime = static_cast<int16_t>(1020 + p);
      punch.ActualOutTime = 61200 + 60 * p;
      punch.Rate = 12.5;
      punch.Multiplier = 1.0;
      record->Punches.push_back(punch);
    }
    data.LaborData().push_back(std::move(record));
  }
}

enum class TPath { kStream, kTree };

std::string DocumentText(const TCollectedData& data, TPath path) {
  return path == TPath::kStream ? data.JSONText() : JSONWrite(data.JSONEncoded());
}

// Writes the document; returns the text's size.
size_t BuildAndWrite(const TCollectedData& data, TPath path) {
  const std::string text = DocumentText(data, path);
  if (text.empty() || text.front() != '{') {
    std::fprintf(stderr, "model_bench: unexpected document text\n");
    std::exit(1);
  }
  return text.size();
}

// Header members of the size a post adds.
TJSONValue PostMembers() {
  TJSONValue members = TJSONValue::object();
  JSONPut(members, "Command", StrAsJSON("Post"));
  JSONPut(members, "Header.LocCode", StrAsJSON("Caf\xC3\xA9 Nord"));
  JSONPut(members, "Header.DCVersion", StrAsJSON("2.5.8.10"));
  JSONPut(members, "Contents.SentDate", FloatAsJSON(45000.5));
  return members;
}

// Makes the post body as a post does and returns its size. With the stream
// path the text is written into a buffer sized once (with room for the log
// line's prefix) and converted in place; the tree path keeps the tree, the
// UTF-8 text and the converted body alive together, as building from the
// tree does.
size_t MakePostBody(const TCollectedData& data, TPath path) {
  const TJSONValue members = PostMembers();
  if (path == TPath::kStream) {
    std::string text;
    text.reserve(9 + data.JSONTextSize(members));
    data.WriteJSONText(text, members);
    Utf8ToAnsiInPlace(text);
    return text.size();
  }
  TJSONValue doc = data.JSONEncoded();
  for (const auto& [name, value] : members.items()) JSONPut(doc, name, value);
  const std::string text = JSONWrite(doc);
  const std::string body = Utf8ToAnsi(text);
  return body.size();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string pathName = argc == 3 ? argv[2] : "stream";
  if (argc < 2 || argc > 3 || std::atoi(argv[1]) <= 0 || (pathName != "stream" && pathName != "tree")) {
    std::fprintf(stderr, "usage: model_bench <sales> [stream|tree]\n");
    return 2;
  }
  const int sales = std::atoi(argv[1]);
  const TPath path = pathName == "stream" ? TPath::kStream : TPath::kTree;

  const long beforeRecords = PeakResidentKiB();
  TCollectedData data;
  Generate(data, sales);
  const long beforeEncoding = PeakResidentKiB();

  // Wall-clock and processor time of each run. The process is single-threaded,
  // so on an idle machine the two agree; on a busy one the processor time
  // shows what the code costs.
  struct Run {
    double wall;
    double cpu;
  };
  std::vector<Run> runs;
  size_t bytes = 0;
  long afterEncoding = 0;
  double total = 0;
  while (runs.size() < 5 || (total < 2.0 && runs.size() < 200)) {
    const auto wallStart = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    bytes = BuildAndWrite(data, path);
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    if (runs.empty()) afterEncoding = PeakResidentKiB();
    runs.push_back({wall, cpu});
    total += wall;
  }
  const auto median = [&runs](double Run::*field) {
    std::vector<double> values;
    for (const Run& run : runs) values.push_back(run.*field);
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  const double wall = median(&Run::wall);
  const double cpu = median(&Run::cpu);

  const size_t bodyBytes = MakePostBody(data, path);
  const double postPeakBytes = static_cast<double>(PeakResidentKiB()) * 1024.0;

  const double peakBytes = static_cast<double>(afterEncoding - beforeEncoding) * 1024.0;
  const double text = static_cast<double>(bytes);
  const std::string suffix = path == TPath::kStream ? "" : "_tree";
  const std::string name = "model.document" + suffix + "." + std::to_string(sales) + "_sales";
  std::printf("%s.json_text: %zu bytes\n", name.c_str(), bytes);
  std::printf("%s.build_and_write_time: %.3f ms\n", name.c_str(), wall * 1e3);
  std::printf("%s.build_and_write_cpu_time: %.3f ms\n", name.c_str(), cpu * 1e3);
  std::printf("%s.throughput: %.1f MB/s\n", name.c_str(), text / wall / 1e6);
  std::printf("%s.throughput_cpu: %.1f MB/s\n", name.c_str(), text / cpu / 1e6);
  std::printf("%s.peak_memory: %.2f MB\n", name.c_str(), peakBytes / 1e6);
  std::printf("%s.peak_memory_per_json_byte: %.2f x\n", name.c_str(), peakBytes / text);
  std::printf("%s.records_memory: %.2f MB\n", name.c_str(),
              static_cast<double>(beforeEncoding - beforeRecords) * 1024.0 / 1e6);
  const std::string post = "model.post_body" + suffix + "." + std::to_string(sales) + "_sales";
  std::printf("%s.body: %zu bytes\n", post.c_str(), bodyBytes);
  std::printf("%s.whole_peak_resident: %.2f MB\n", post.c_str(), postPeakBytes / 1e6);
  std::printf("%s.whole_peak_per_body_byte: %.2f x\n", post.c_str(),
              postPeakBytes / static_cast<double>(bodyBytes));
  return 0;
}
