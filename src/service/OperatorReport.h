#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/DateTime.h"

class TCollectedData;

// The words the operator modes share in their reports.
namespace OperatorReport {

// "<start> through <end>" in the log's date-time text.
std::string WindowText(TDateTime start, TDateTime end);
// n and the word, plural when n is not 1 (word + "s" unless plural is given).
std::string Plural(size_t n, const std::string& word, const std::string& plural = {});
// What one document holds ("3 sales, 1 labor record with 2 punches, ...");
// nullptr is the empty document.
std::string ContentsText(const TCollectedData* data);
// The phrases joined with "; ".
std::string JoinProblems(const std::vector<std::string>& problems);
std::string OrDefault(const std::string& text, const std::string& fallback);

}  // namespace OperatorReport
