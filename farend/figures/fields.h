// The relay's JSON report and stream by field name, written once: the renderers write these
// names and the picture of a run reads them back.
#pragma once

namespace field {

// a record's type, and the types
inline constexpr const char *type = "type";
inline constexpr const char *start = "start";
inline constexpr const char *interval = "interval";
inline constexpr const char *run = "run";
inline constexpr const char *end = "end";

// the relay and its run (the start record, and the report that the end record carries)
inline constexpr const char *format = "format";
inline constexpr const char *link = "link";
inline constexpr const char *target = "target";
inline constexpr const char *targetKind = "target_kind";
inline constexpr const char *intervalS = "interval_s";
inline constexpr const char *started = "started";
inline constexpr const char *ended = "ended";
inline constexpr const char *endedBy = "ended_by";
inline constexpr const char *elapsedS = "elapsed_s";
inline constexpr const char *runs = "runs";
inline constexpr const char *bytes = "bytes";
inline constexpr const char *awaiting = "awaiting";
inline constexpr const char *outcome = "outcome";
inline constexpr const char *clean = "clean";
inline constexpr const char *roundTripHistogramMs = "round_trip_histogram_ms";
inline constexpr const char *repliesPerRead = "replies_per_read";
inline constexpr const char *testerTiming = "tester_timing";
inline constexpr const char *deviceServer = "device_server";
inline constexpr const char *uartCounters = "uart_counters";
inline constexpr const char *timeSplitMs = "time_split_ms";
inline constexpr const char *speedMatch = "speed_match";

// a run's start
inline constexpr const char *atS = "at_s";
inline constexpr const char *settings = "settings";

// a span: an interval, or the whole run
inline constexpr const char *fromS = "from_s";
inline constexpr const char *toS = "to_s";
inline constexpr const char *toChain = "to_chain";
inline constexpr const char *fromChain = "from_chain";
inline constexpr const char *sends = "sends";
inline constexpr const char *echoed = "echoed";
inline constexpr const char *lost = "lost";
inline constexpr const char *changed = "changed";
inline constexpr const char *extra = "extra";
inline constexpr const char *late = "late";
inline constexpr const char *lateShare = "late_share";
inline constexpr const char *released = "released_by_a_later_send";
inline constexpr const char *reads = "reads";
inline constexpr const char *com3Open = "com3_open";
inline constexpr const char *lineErrors = "line_errors";
inline constexpr const char *tcp = "tcp";
inline constexpr const char *roundTripMs = "round_trip_ms";
inline constexpr const char *p50 = "p50";
inline constexpr const char *p90 = "p90";
inline constexpr const char *p99 = "p99";
inline constexpr const char *p99_9 = "p99_9";
inline constexpr const char *max = "max";

// a verdict
inline constexpr const char *verdicts = "verdicts";
inline constexpr const char *code = "code";
inline constexpr const char *cause = "cause";
inline constexpr const char *figures = "figures";
inline constexpr const char *text = "text";
inline constexpr const char *step = "step";

} // namespace field
