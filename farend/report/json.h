// The relay's --report document and its --report-stream records, one JSON object a line.
#pragma once

#include "farend/figures/relayfigures.h"

#include <nlohmann/json.hpp>

// The --report document; the stream's end record carries the same members.
nlohmann::ordered_json reportJson(const RelayFigures &f);
nlohmann::ordered_json startRecord(const RelayFigures &f, double intervalS);
nlohmann::ordered_json intervalRecord(const IntervalFigures &f);
nlohmann::ordered_json runRecord(const RunStart &r);
nlohmann::ordered_json endRecord(const RelayFigures &f);
