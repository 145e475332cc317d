// The collector's exchanges with the statistics server: the connection, TLS
// readiness, Authorize, Post and SendToServer.

#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "Shared/Orvel_Shared/SSLDeployment.h"
#include "collector/DataCollector.h"
#include "model/CollectedData.h"
#include "model/JSONConventions.h"
#include "platform/TimeZone.h"
#include "server/HttpClient.h"
#include "server/QuorixURI.h"
#include "server/ServerDocuments.h"

namespace {

constexpr int kConnectTimeout = 10000;
constexpr int kReadTimeout = 30000;
constexpr int kHistoryReadTimeout = 90000;
// The server reads and stores a post before it answers: a large post gets one
// more second of read time-out for every 256 KiB sent.
constexpr size_t kBytesPerExtraSecond = 256 * 1024;
constexpr int32_t kMaxResendDelay = 360;
constexpr std::string_view kSendingLogPrefix = "Sending: ";
constexpr int32_t kDefaultCycleTime = 300;
constexpr int32_t kMinHistoryStep = 1;
constexpr int32_t kMaxHistoryStep = 1096;
// A server's clock may run ahead of the site's: an answered LastCycleEnd up to
// this many days after the end of the posted window is still taken.
constexpr TDateTime kCycleEndTolerance = 1.0;

// Uninstall is ordered only by an explicit yes: JSON true, a non-zero number,
// or the text "true" or "1". A string such as "false" is not an order.
bool OrdersUninstall(const TJSONValue& value) {
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number()) return AsBoolean(value);
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    return text == "true" || text == "1";
  }
  return false;
}

std::string ValueLogText(const TJSONValue& value) { return AnswerLogText(JSONWrite(value)); }

int ReadTimeoutFor(size_t bodyBytes, bool historyTravels) {
  const int base = historyTravels ? kHistoryReadTimeout : kReadTimeout;
  return base + static_cast<int>(bodyBytes / kBytesPerExtraSecond) * 1000;
}

}  // namespace

void TDataCollector::CreateServerConnection() {
  FURI = std::make_unique<TQuorixURI>();
  FURI->SetURL(LCfg->RegURL());
  Log("Using URL: " + FURI->URL());
  LHTTPConnection = std::make_unique<THttpClient>(&LStop);
  LHTTPConnection->SetReadTimeout(kReadTimeout);
  LHTTPConnection->SetConnectTimeout(kConnectTimeout);
  LHTTPConnection->SetPinnedPublicKey(LCfg->ServerKeyPin());
}

bool TDataCollector::PrepareTLS() {
  if (!FURI || !LHTTPConnection || !FURI->UsesSSL()) return true;
  if (!CreateSSLDLLs()) return false;
  LHTTPConnection->EnableTLS();
  return true;
}

std::string TDataCollector::GetMACAddress() {
  if (!LMachineIdentity) LMachineIdentity = std::make_unique<TMachineIdentity>();
  return LMachineIdentity->GetMACAddress();
}

TDataCollector::TAuthorizeResult TDataCollector::Authorize() {
  LCfg->SetSendStatistics(false);
  LCfg->SetCycleTime(300);
  LCfg->SetHistoryStep(1);

  TAuthorizeIdentity identity;
  identity.LocCode = LCfg->LocCode();
  identity.Token = LCfg->ClientToken();
  identity.SWVersion = LCfg->InstalledVersion();
  identity.DCVersion = GetCollectorVersion();
  identity.MACAddress = GetMACAddress();
  const TTimeZoneRecord zone = TimeZoneRecordOf(platform::NewSystemTimeZone()->Query());
  const std::string text = JSONWrite(AuthorizeDocument(identity, zone));
  if (LCfg->LogCommunications()) {
    // The log is no place for the site's secret: enough of it to tell tokens apart.
    TAuthorizeIdentity logged = identity;
    const std::size_t shown = logged.Token.size() > 8 ? 4 : 0;
    if (!logged.Token.empty())
      logged.Token = logged.Token.substr(0, shown) + "...(" + std::to_string(logged.Token.size()) + " characters)";
    Log("Sending: " + JSONWrite(AuthorizeDocument(logged, zone)));
  }
  const std::string body = JSONRequestBody(text);

  TAuthorizeResult result = TAuthorizeResult::Refused;
  LAuthorizeFailed = false;
  try {
    Log("Sending Authorize");
    if (!FURI || !LHTTPConnection) throw ETransferError("No server connection has been set up");
    const std::string answerText = PostJSONDocument(*LHTTPConnection, FURI->URL(), body);
    if (LCfg->LogCommunications()) Log("Server Response: " + AnswerLogText(answerText));
    const auto answer = JSONParse(answerText);
    if (!answer) return TAuthorizeResult::Refused;

    const TJSONValue* uninstall = JSONGet(*answer, "Uninstall");
    if (uninstall && !OrdersUninstall(*uninstall) && AsBoolean(*uninstall)) {
      Log("Ignoring Uninstall " + ValueLogText(*uninstall) +
          " from the server: only true, a non-zero number, \"true\" or \"1\" order an uninstall");
    }
    if (uninstall && OrdersUninstall(*uninstall)) {
      FInitialized = false;
      result = TAuthorizeResult::UninstallOrdered;
      Log("Uninstall requested from server...", true);
      StartRemoteUninstall();
      return result;
    }

    if (const TJSONValue* update = JSONGet(*answer, "UpdateURL"); update && !AsString(*update).empty()) {
      result = TAuthorizeResult::UpdateOrdered;
      const std::string url = AsString(*update);
      Log("New Update available from " + url, true);
      try {
        DownloadUpdater(url);
      } catch (const std::exception& e) {
        LogProblem(TProblemSubject::Update, std::string("ERROR: Failed to download update (reinitializing): ") + e.what());
        FInitialized = false;
      }
      return result;
    }

    const TJSONValue* authenticated = JSONGet(*answer, "Authenticated");
    if (!authenticated || !AsBoolean(*authenticated)) {
      LogProblem(TProblemSubject::Server, "Failed Authentication Response: " + AnswerLogText(answerText));
      return TAuthorizeResult::Refused;
    }
    result = TAuthorizeResult::Granted;

    if (const TJSONValue* v = JSONGet(*answer, "CycleTime")) {
      // A cycle time below one second would run a whole cycle on every tick.
      const int32_t seconds = AnswerInt32(*v);
      if (seconds >= 1) {
        LCfg->SetCycleTime(seconds);
      } else {
        Log("Ignoring CycleTime " + ValueLogText(*v) + " from the server: keeping " +
            std::to_string(kDefaultCycleTime) + " seconds");
      }
    }
    if (const TJSONValue* v = JSONGet(*answer, "HistoryStep")) {
      // Bounded both ways: an inverted or unbounded history window would
      // bypass the history-age rule.
      const int32_t days = AnswerInt32(*v);
      const int32_t bounded = std::clamp(days, kMinHistoryStep, kMaxHistoryStep);
      if (bounded != days) {
        Log("HistoryStep " + ValueLogText(*v) + " from the server is out of range; using " +
            std::to_string(bounded));
      }
      LCfg->SetHistoryStep(bounded);
    }
    if (const TJSONValue* v = JSONGet(*answer, "SendStatistics")) LCfg->SetSendStatistics(AsBoolean(*v));
    Log("Loaded configuration - CycleTime: " + std::to_string(LCfg->CycleTime()) +
        " HistoryStep: " + std::to_string(LCfg->HistoryStep()) +
        " SendStats: " + (LCfg->SendStatistics() ? "-1" : "0"));

    if (const TJSONValue* v = JSONGet(*answer, "DataURL")) LCfg->SetDataURL(AsString(*v));
    return result;
  } catch (const std::exception& e) {
    LogProblem(TProblemSubject::Server,
               std::string("ERROR: Failed to authorize with the Quorix Server (reinitializing): ") + e.what());
    FInitialized = false;
    LAuthorizeFailed = true;
    return result;
  }
}

TDataCollector::TPostResult TDataCollector::Post(TCollectedData* Data, TDataCollectorStatusObj& Status) {
  const TDateTime now = DateTimeNow();
  // The header members are a small tree; the data, the bulk of a post, is
  // written straight from the records ahead of them into one buffer.
  TJSONValue members = TJSONValue::object();
  const bool withStatistics = LCfg->SendStatistics() && LLastCycleStats.SendSize > 0;
  PutPostMembers(members, *LCfg, GetCollectorVersion(), GetMACAddress(), now, &Status,
                 withStatistics ? &LLastCycleStats : nullptr);
  std::string text;
  if (Data != nullptr) {
    text.reserve(kSendingLogPrefix.size() + Data->JSONTextSize(members));
    Data->WriteJSONText(text, members);
  } else {
    text = JSONWrite(members);
  }
  const TPostResult result = SendToServer(std::move(text), &Status);
  Status.LastSent = now;
  return result;
}

TDataCollector::TPostResult TDataCollector::SendToServer(std::string Text, TDataCollectorStatusObj* Status) {
  if (LCfg->LogCommunications()) {
    // The log line is made in the document's own buffer: a copy of a large
    // document would add its whole size to the cycle's peak.
    Text.insert(0, kSendingLogPrefix);
    Log(Text);
    Text.erase(0, kSendingLogPrefix.size());
  }
  std::string& body = Text;
  MakeJSONRequestBody(body);
  LCurCycleStats.SendSize = static_cast<double>(body.size());

  std::string answerText;
  try {
    if (!FURI || !LHTTPConnection) throw ETransferError("No server connection has been set up");
    const std::string url = LCfg->DataURL().empty() ? FURI->URL() : LCfg->DataURL();
    Log("Sending to Server " + url + "  Bytes:" + std::to_string(body.size()));
    const bool historyTravels = Status != nullptr && (Status->SkipHistory || Status->CurrentHistoryEnd != 0);
    LHTTPConnection->SetReadTimeout(ReadTimeoutFor(body.size(), historyTravels));
    answerText = PostJSONDocument(*LHTTPConnection, url, body);
    if (LCfg->LogCommunications()) Log("Server Response: " + AnswerLogText(answerText));
  } catch (const std::exception& e) {
    FInitialized = false;
    LogProblem(TProblemSubject::Server, std::string("Error while posting to the server (reinitializing) (") + e.what() + ") ");
    throw ETransferError("Unable to post data to web server");
  }

  const auto answer = JSONParse(answerText);
  if (!answer) {
    FInitialized = false;
    throw EOrvelError("Invalid response received from server (reinitializing): " + AnswerLogText(answerText));
  }

  if (Status != nullptr && !RivoConversionPending()) {
    // Every date is checked before any is taken: an answer with one date that
    // cannot be right is not used at all.
    auto answeredDate = [&](const char* path) -> std::optional<TDateTime> {
      const TJSONValue* v = JSONGet(*answer, path);
      if (v == nullptr) return std::nullopt;
      const TDateTime value = AsDouble(*v);
      if (!IsValidDateTime(value)) {
        FInitialized = false;
        throw EOrvelError(std::string("Invalid response received from server (reinitializing): ") + path +
                          " " + ValueLogText(*v) + " is not a date");
      }
      return value;
    };
    const std::optional<TDateTime> historyStart = answeredDate("Header.ActiveHistoryStart");
    const std::optional<TDateTime> historyEnd = answeredDate("Header.ActiveHistoryEnd");
    const std::optional<TDateTime> cycleEnd = answeredDate("Header.LastCycleEnd");
    // A cycle end after the window just posted would skip the changes made
    // between the two for good.
    if (cycleEnd && *cycleEnd > Status->CurrentCycleEnd + kCycleEndTolerance) {
      FInitialized = false;
      throw EOrvelError("Invalid response received from server (reinitializing): Header.LastCycleEnd " +
                        DateTimeToText(*cycleEnd) + " is later than the posted window's end " +
                        DateTimeToText(Status->CurrentCycleEnd));
    }
    if (historyStart) Status->ActiveHistoryStart = *historyStart;
    if (historyEnd) Status->ActiveHistoryEnd = *historyEnd;
    if (const TJSONValue* v = JSONGet(*answer, "Header.ActiveHistorySingleFact")) {
      Status->ActiveHistoryFactID = AnswerInt32(*v);
    }
    CheckHistoryAge(*Status);
    if (cycleEnd) Status->LastCycleEnd = *cycleEnd;
  }

  if (const TJSONValue* resend = JSONGet(*answer, "Resend")) {
    FResendDelay = AnswerInt32(*resend);
    if (FResendDelay < 0 || FResendDelay > kMaxResendDelay) FResendDelay = 0;
    return TPostResult::Resend;
  }
  if (JSONGet(*answer, "Reinitialize") != nullptr) {
    Log("Reinitialize requested from server.");
    FInitialized = false;
    LCfg->SiteEmployees().Clear();
    LCfg->SitePlanTypes().Clear();
    return TPostResult::Reinitialize;
  }
  if (const TJSONValue* error = JSONGet(*answer, "Error")) {
    FInitialized = false;
    throw EOrvelError("Server failed to post update with error message (reinitializing): " +
                      AnswerLogText(AsString(*error)));
  }
  FResendDelay = 0;
  if (!answer->is_object()) {
    Log("WARNING: The server's answer is not a JSON object; the status is saved but the data's pending "
        "changes are kept to be sent again. Answer: " + AnswerLogText(answerText));
    return TPostResult::AnswerUnreadable;
  }
  return TPostResult::Accepted;
}
