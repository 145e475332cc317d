#include "service/OperatorCollector.h"

#include <algorithm>
#include <utility>

#include "server/QuorixURI.h"
#include "service/OperatorReport.h"

// Every message goes to the log as an ordinary line, never as an event-log error.
TOperatorCollector::TOperatorCollector(TDataCollectorOnLog log)
    : TDataCollector([log = std::move(log)](const std::string& msg, bool) {
        if (log) log(msg, false);
      }) {}

std::string TOperatorCollector::LastProblem() const {
  return Problems().empty() ? std::string() : Problems().back().Text;
}

bool TOperatorCollector::HasProblem(TProblemSubject subject) const {
  return std::any_of(Problems().begin(), Problems().end(),
                     [subject](const TCollectorProblem& p) { return p.Subject == subject; });
}

void TOperatorCollector::RunOneCycle() {
  SetOnUpdating([this](bool) { updating = true; });
  Initialize();
  if (Initialized() && !updating) RunCycle();
}

void TOperatorCollector::CloseQuietly() {
  try {
    RollbackTransaction();
  } catch (...) {
  }
  try {
    CloseDatabase();
  } catch (...) {
  }
}

std::string TOperatorCollector::URL() const { return FURI ? FURI->URL() : std::string(); }

TDataCollector::TPostResult TOperatorCollector::Post(TCollectedData* Data, TDataCollectorStatusObj& Status) {
  postWindow = OperatorReport::WindowText(Status.CurrentCycleStart, Status.CurrentCycleEnd);
  postContents = OperatorReport::ContentsText(Data);
  posted = true;
  postRaised = true;
  postResult = TDataCollector::Post(Data, Status);
  postRaised = false;
  return postResult;
}

void TOperatorCollector::DownloadUpdater(const std::string& URL) {
  if (reportOnly) {
    orderedUpdateUrl = URL;
    return;
  }
  TDataCollector::DownloadUpdater(URL);
}

void TOperatorCollector::StartRemoteUninstall() {
  if (reportOnly) {
    orderedUninstall = true;
    return;
  }
  TDataCollector::StartRemoteUninstall();
}
