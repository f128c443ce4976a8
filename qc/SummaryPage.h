// What a summary of unit records becomes: the text mero report prints, one
// self-contained HTML page (its charts inline SVG, nothing fetched), JSON and
// CSV for other tools.
#pragma once

#include <string>
#include <vector>

#include "qc/Summary.h"

namespace zav::qc {

// What the filter let through, in words ("plan board, station A, 2026-12-01 to 2026-12-09").
std::string FilterText(const SummaryFilter& filter);

std::string SummaryText(const std::vector<PlanSummary>& plans, const SummaryFilter& filter);
// `generated`: when the page was made, as it says it.
std::string SummaryHtml(const std::vector<PlanSummary>& plans, const SummaryFilter& filter,
                        const std::string& generated);
std::string SummaryJson(const std::vector<PlanSummary>& plans, const SummaryFilter& filter);
// plans.csv, steps.csv, errors.csv, measurements.csv, stations.csv,
// operators.csv and days.csv into `dir` (made if missing); throws
// std::runtime_error.
void WriteSummaryCsv(const std::vector<PlanSummary>& plans, const std::string& dir);

}  // namespace zav::qc
