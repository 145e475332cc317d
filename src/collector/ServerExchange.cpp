// The collector's exchanges with the statistics server: the connection, TLS
// readiness, Authorize, Post and SendToServer.

#include <exception>
#include <string>

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
constexpr int32_t kMaxResendDelay = 360;

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

int TDataCollector::Authorize() {
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

  int result = 0;
  try {
    Log("Sending Authorize");
    if (!FURI || !LHTTPConnection) throw ETransferError("No server connection has been set up");
    const std::string answerText = PostJSONDocument(*LHTTPConnection, FURI->URL(), body);
    if (LCfg->LogCommunications()) Log("Server Response: " + answerText);
    const auto answer = JSONParse(answerText);
    if (!answer) return 0;

    if (const TJSONValue* uninstall = JSONGet(*answer, "Uninstall"); uninstall && AsBoolean(*uninstall)) {
      FInitialized = false;
      result = 3;
      Log("Uninstall requested from server...", true);
      StartRemoteUninstall();
      return 3;
    }

    if (const TJSONValue* update = JSONGet(*answer, "UpdateURL"); update && !AsString(*update).empty()) {
      result = 2;
      const std::string url = AsString(*update);
      Log("New Update available from " + url, true);
      try {
        DownloadUpdater(url);
      } catch (const std::exception& e) {
        Log(std::string("ERROR: Failed to download update (reinitializing): ") + e.what());
        FInitialized = false;
      }
      return 2;
    }

    const TJSONValue* authenticated = JSONGet(*answer, "Authenticated");
    if (!authenticated || !AsBoolean(*authenticated)) {
      Log("Failed Authentication Response: " + answerText);
      return 0;
    }
    result = 1;

    if (const TJSONValue* v = JSONGet(*answer, "CycleTime")) LCfg->SetCycleTime(AnswerInt32(*v));
    if (const TJSONValue* v = JSONGet(*answer, "HistoryStep")) LCfg->SetHistoryStep(AnswerInt32(*v));
    if (const TJSONValue* v = JSONGet(*answer, "SendStatistics")) LCfg->SetSendStatistics(AsBoolean(*v));
    Log("Loaded configuration - CycleTime: " + std::to_string(LCfg->CycleTime()) +
        " HistoryStep: " + std::to_string(LCfg->HistoryStep()) +
        " SendStats: " + (LCfg->SendStatistics() ? "-1" : "0"));

    if (const TJSONValue* v = JSONGet(*answer, "DataURL")) LCfg->SetDataURL(AsString(*v));
    return 1;
  } catch (const std::exception& e) {
    Log(std::string("ERROR: Failed to authorize with the Quorix Server (reinitializing): ") + e.what());
    FInitialized = false;
    return result;
  }
}

int TDataCollector::Post(TCollectedData* Data, TDataCollectorStatusObj& Status) {
  const TDateTime now = DateTimeNow();
  TJSONValue doc = Data != nullptr ? Data->JSONEncoded() : TJSONValue::object();
  const bool withStatistics = LCfg->SendStatistics() && LLastCycleStats.SendSize > 0;
  PutPostMembers(doc, *LCfg, GetCollectorVersion(), GetMACAddress(), now, &Status,
                 withStatistics ? &LLastCycleStats : nullptr);
  const int result = SendToServer(JSONWrite(doc), &Status);
  Status.LastSent = now;
  return result;
}

int TDataCollector::SendToServer(const std::string& Text, TDataCollectorStatusObj* Status) {
  if (LCfg->LogCommunications()) Log("Sending: " + Text);
  const std::string body = JSONRequestBody(Text);
  LCurCycleStats.SendSize = static_cast<double>(body.size());

  int result = 0;
  std::string answerText;
  try {
    if (!FURI || !LHTTPConnection) throw ETransferError("No server connection has been set up");
    const std::string url = LCfg->DataURL().empty() ? FURI->URL() : LCfg->DataURL();
    Log("Sending to Server " + url + "  Bytes:" + std::to_string(body.size()));
    const bool historyTravels = Status != nullptr && (Status->SkipHistory || Status->CurrentHistoryEnd != 0);
    LHTTPConnection->SetReadTimeout(historyTravels ? kHistoryReadTimeout : kReadTimeout);
    answerText = PostJSONDocument(*LHTTPConnection, url, body);
    result = 1;
    if (LCfg->LogCommunications()) Log("Server Response: " + answerText);
  } catch (const std::exception& e) {
    FInitialized = false;
    Log(std::string("Error while posting to the server (reinitializing) (") + e.what() + ") ");
    throw ETransferError("Unable to post data to web server");
  }

  const auto answer = JSONParse(answerText);
  if (!answer) {
    FInitialized = false;
    throw EOrvelError("Invalid response received from server (reinitializing): " + answerText);
  }

  if (Status != nullptr && !RivoConversionPending()) {
    if (const TJSONValue* v = JSONGet(*answer, "Header.ActiveHistoryStart")) Status->ActiveHistoryStart = AsDouble(*v);
    if (const TJSONValue* v = JSONGet(*answer, "Header.ActiveHistoryEnd")) Status->ActiveHistoryEnd = AsDouble(*v);
    if (const TJSONValue* v = JSONGet(*answer, "Header.ActiveHistorySingleFact")) {
      Status->ActiveHistoryFactID = AnswerInt32(*v);
    }
    CheckHistoryAge(*Status);
    if (const TJSONValue* v = JSONGet(*answer, "Header.LastCycleEnd")) Status->LastCycleEnd = AsDouble(*v);
  }

  if (const TJSONValue* resend = JSONGet(*answer, "Resend")) {
    FResendDelay = AnswerInt32(*resend);
    if (FResendDelay < 0 || FResendDelay > kMaxResendDelay) FResendDelay = 0;
    return 4;
  }
  if (JSONGet(*answer, "Reinitialize") != nullptr) {
    Log("Reinitialize requested from server.");
    FInitialized = false;
    LCfg->SiteEmployees().Clear();
    LCfg->SitePlanTypes().Clear();
    return 2;
  }
  if (const TJSONValue* error = JSONGet(*answer, "Error")) {
    FInitialized = false;
    throw EOrvelError("Server failed to post update with error message (reinitializing): " + AsString(*error));
  }
  FResendDelay = 0;
  return result;
}
