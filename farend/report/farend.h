// What the simulated far end reports when it ends (and on SIGUSR1): its summary and its --report
// document.
#pragma once

#include "farend/figures/farend.h"

#include <nlohmann/json.hpp>

#include <string>

// "farend: received N bytes, sent M bytes, first to last T s, <cycle>" and, indented below it,
// the timing lines and what went missing.
std::string farEndSummary(const FarEndFigures &f);
// The summary's figures and the gap histogram, as a JSON document.
nlohmann::ordered_json farEndReportJson(const FarEndFigures &f);
