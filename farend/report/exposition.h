// The relay's figures in Prometheus's text exposition format, for its metrics endpoint: the
// counts the report gives under the report's names, the round trip as a histogram, COM3, the
// late share and the LAN as gauges, and each verdict in force as a series of its own.
#pragma once

#include "farend/figures/scrape.h"

#include <string>

// The content type of what exposition() writes.
extern const char *const kExpositionType;
// The round trip histogram's buckets' upper bounds, ms: fine enough about the tester's 5 ms read.
extern const double kRoundTripBucketsMs[14];

std::string exposition(const ScrapeFigures &s);
