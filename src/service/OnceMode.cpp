// /ONCE: one cycle in the foreground.
#include <ostream>
#include <string>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "service/OperatorCollector.h"
#include "service/OperatorModes.h"

int TOperatorModes::RunOnce() {
  if (log) log("Operator mode ONCE: one cycle in the foreground", false);
  TOperatorCollector collector(log);
  try {
    collector.RunOneCycle();
  } catch (...) {
    err << "DataCollector /ONCE: " << CurrentExceptionMessage() << "\n";
    collector.Shutdown();
    return 1;
  }
  const bool initialized = collector.Initialized();
  collector.Shutdown();

  if (collector.updating) {
    err << "DataCollector /ONCE: the server ordered an update or an uninstall, which has been "
            "started; no cycle was run\n";
    return 1;
  }
  using TPostResult = TDataCollector::TPostResult;
  const bool accepted = collector.posted && !collector.postRaised && collector.postResult == TPostResult::Accepted;
  if (accepted && initialized) {
    out << "Post accepted: " << collector.postWindow << ": " << collector.postContents << "\n";
    return 0;
  }
  std::string reason;
  if (!collector.posted) {
    reason = initialized ? "the cycle did not reach the post" : "the collector could not be initialised";
  } else if (collector.postRaised) {
    reason = "the post failed; nothing was saved";
  } else {
    switch (collector.postResult) {
      case TPostResult::Accepted:
        reason = "the post was accepted but the status could not be saved";
        break;
      case TPostResult::Reinitialize:
        reason = "the server asked the collector to reinitialise; nothing was saved";
        break;
      case TPostResult::AnswerUnreadable:
        reason = "the server's answer was not a JSON object; the status was saved but the data's "
                 "pending changes are kept to be sent again";
        break;
      case TPostResult::Resend:
        reason = "the server asked for the data again in " + std::to_string(collector.ResendDelay()) +
                 " minutes; nothing was saved";
        break;
    }
  }
  err << "DataCollector /ONCE failed: " << reason << "\n";
  for (const TCollectorProblem& problem : collector.Problems()) err << "  " << problem.Text << "\n";
  return 1;
}
