// /TEST: one cycle's retrieval, rolled back, and the document it would post.
#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/AnsiText.h"
#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "collector/CollectorSchema.h"
#include "model/CollectedData.h"
#include "model/JSONConventions.h"
#include "platform/TextEncoding.h"
#include "server/ServerDocuments.h"
#include "service/OperatorCollector.h"
#include "service/OperatorModes.h"
#include "service/OperatorReport.h"

using namespace OperatorReport;

namespace {

// The characters of a document that the post, written in the system's ANSI
// code page, carries as "?": how many there are, and each of them once in
// order of first use (a malformed byte shows as U+FFFD).
struct TReplacedCharacters {
  size_t Count = 0;
  std::string Distinct;
};

TReplacedCharacters ReplacedInPost(const std::string& document) {
  TReplacedCharacters replaced;
  std::vector<char32_t> seen;
  for (size_t i = 0; i < document.size();) {
    bool valid = true;
    const char32_t code = platform::NextCodePoint(document, i, &valid);
    if (valid && SystemAnsiHolds(code)) continue;
    ++replaced.Count;
    if (std::find(seen.begin(), seen.end(), code) == seen.end()) {
      seen.push_back(code);
      if (!replaced.Distinct.empty()) replaced.Distinct += ' ';
      platform::AppendUtf8(replaced.Distinct, code);
    }
  }
  return replaced;
}

}  // namespace

std::string TOperatorCollector::Preview(std::string& reason, std::string& summary) {
  LoadConfiguration();
  if (!BasicSystemChecksOK()) {
    reason = LastProblem();
    return {};
  }
  if (!TransactionManagerRunning()) {
    LogProblem(TProblemSubject::TransactionManager,
               "Note: the Transaction Manager (Omnid.exe) is not running; a service cycle would not run now", false,
               TProblemSeverity::Note);
  }
  std::string document;
  try {
    document = PreviewFromDatabase(reason, summary);
  } catch (...) {
    reason = CurrentExceptionMessage();
    CloseQuietly();
    throw;
  }
  CloseQuietly();
  return document;
}

std::string TOperatorCollector::PreviewFromDatabase(std::string& reason, std::string& summary) {
  if (!OpenDatabase()) {
    reason = LastProblem().empty() ? "Could not open and verify database " + LCfg->DBPath() : LastProblem();
    return {};
  }
  StartTransaction();
  const std::vector<std::string> missing = InspectCollectorSchema(*LDB).Problems();
  if (!missing.empty()) {
    reason = "the collector's objects in the site database are not in place (" + JoinProblems(missing) +
             "); TEST changes nothing, so let the service or /ONCE create them first";
    return {};
  }
  std::unique_ptr<TDataCollectorStatusObj> status = LoadStatus();
  ComputeWindows(*status, DateTimeNow());
  std::unique_ptr<TCollectedData> data;
  if (status->CurrentCycleStart != 0 || status->CurrentHistoryEnd != 0) data = RetrieveData(*status);

  const TDateTime now = DateTimeNow();
  std::string mac;
  try {
    mac = GetMACAddress();
  } catch (const ENetworkError&) {
  }
  TJSONValue doc = data ? data->JSONEncoded() : TJSONValue::object();
  PutPostMembers(doc, *LCfg, GetCollectorVersion(), mac, now, status.get(), nullptr);
  status->LastSent = now;
  summary = "Current window " + WindowText(status->CurrentCycleStart, status->CurrentCycleEnd);
  if (status->CurrentHistoryEnd != 0 && status->CurrentHistoryStart <= status->CurrentHistoryEnd) {
    summary += ", history window " + WindowText(status->CurrentHistoryStart, status->CurrentHistoryEnd);
  }
  summary += ": " + ContentsText(data.get());
  // Nothing of the retrieval may stay: the transaction is undone and the
  // accepted-data step, which alone removes pending days and fills the
  // caches, is never called.
  RollbackTransaction();
  return JSONWrite(doc);
}

int TOperatorModes::RunTest() {
  if (log) log("Operator mode TEST: retrieval only, rolled back, nothing posted", false);
  TOperatorCollector collector(log);
  std::string reason;
  std::string summary;
  std::string document;
  try {
    document = collector.Preview(reason, summary);
  } catch (...) {
    reason = CurrentExceptionMessage();
  }
  collector.Shutdown();
  if (document.empty()) {
    err << "DataCollector /TEST failed: " << OrDefault(reason, "no document was built") << "\n";
    return 1;
  }
  // The document as the server will read it: the post is in the system's ANSI
  // code page, so what it cannot hold is shown as the "?" the server gets.
  out << SystemAnsiToUtf8(Utf8ToSystemAnsi(document)) << "\n";
  for (const TCollectorProblem& problem : collector.Problems()) {
    if (problem.Severity == TProblemSeverity::Note) err << problem.Text << "\n";
  }
  const TReplacedCharacters replaced = ReplacedInPost(document);
  if (replaced.Count != 0) {
    err << "Note: the post carries " << Plural(replaced.Count, "character")
         << " as \"?\", since " << CodePageName(AnsiCodePage())
         << " cannot hold them: " << replaced.Distinct << "\n";
  }
  err << "Not posted (TEST). " << summary << "\n";
  return 0;
}
