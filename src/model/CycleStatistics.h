#pragma once

#include <cstdint>
#include <optional>

#include "Shared/Orvel_Shared/DateTime.h"
#include "model/PostResult.h"

// The timing of one cycle. Every TDateTime field is the local date-time
// at which the named step began or ended, 0 when the step did not take place;
// SendSize is the size in bytes of the posted text.
struct TCycleStatistics {
  TDateTime InitializeStart = 0;
  TDateTime InitializeEnd = 0;
  TDateTime LoadStart = 0;
  TDateTime LoadEnd = 0;
  TDateTime RetrieveStart = 0;
  TDateTime RetrieveEnd = 0;
  TDateTime SendStart = 0;
  TDateTime SendEnd = 0;
  double SendSize = 0;
  // What the post came to, nothing when nothing was posted; and how many sale
  // records the posted document held.
  std::optional<TPostResult> PostResult;
  int32_t SalesSent = 0;
  TDateTime SaveStart = 0;
  TDateTime SaveEnd = 0;
  TDateTime GetCurSalesStart = 0;
  TDateTime GetCurSalesEnd = 0;
  TDateTime GetHistSalesStart = 0;
  TDateTime GetHistSalesEnd = 0;
  TDateTime GetCurLaborStart = 0;
  TDateTime GetCurLaborEnd = 0;
  TDateTime GetHistLaborStart = 0;
  TDateTime GetHistLaborEnd = 0;
  TDateTime GetSaleEmpStart = 0;
  TDateTime GetSaleEmpEnd = 0;
  TDateTime ClearLaborStart = 0;
  TDateTime ClearLaborEnd = 0;
  TDateTime GetRefTermStart = 0;
  TDateTime GetRefTermEnd = 0;
  TDateTime GetRefEmpStart = 0;
  TDateTime GetRefEmpEnd = 0;
  TDateTime GetRefRoleStart = 0;
  TDateTime GetRefRoleEnd = 0;
  TDateTime GetRefSvcStart = 0;
  TDateTime GetRefSvcEnd = 0;

  bool operator==(const TCycleStatistics&) const = default;
};
