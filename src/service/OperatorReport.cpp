#include "service/OperatorReport.h"

#include "model/CollectedData.h"

namespace OperatorReport {

std::string WindowText(TDateTime start, TDateTime end) {
  return DateTimeToText(start) + " through " + DateTimeToText(end);
}

std::string Plural(size_t n, const std::string& word, const std::string& plural) {
  return std::to_string(n) + " " + (n == 1 ? word : plural.empty() ? word + "s" : plural);
}

// What one document holds, in the words of the summary lines.
std::string ContentsText(const TCollectedData* data) {
  if (data == nullptr) return "no data (an empty document)";
  size_t punches = 0;
  for (const auto& labor : data->LaborData()) punches += labor->Punches.size();
  return Plural(data->SalesData().size(), "sale") + ", " +
         Plural(data->LaborData().size(), "labor record") + " with " + Plural(punches, "punch", "punches") +
         ", " + Plural(data->Employees().size(), "employee") + ", " +
         Plural(data->Terminals().size(), "terminal") + ", " + Plural(data->Roles().size(), "role") +
         ", " + Plural(data->Services().size(), "service") + ", " +
         Plural(data->EmpCategories().size(), "employee category", "employee categories") + ", " +
         Plural(data->DeletedSales().size(), "deleted sale");
}

std::string JoinProblems(const std::vector<std::string>& problems) {
  std::string text;
  for (const std::string& p : problems) text += (text.empty() ? "" : "; ") + p;
  return text;
}

std::string OrDefault(const std::string& text, const std::string& fallback) {
  return text.empty() ? fallback : text;
}

}  // namespace OperatorReport
