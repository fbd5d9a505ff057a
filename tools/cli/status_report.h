// The fleet's status as text and as JSON: one summary line first (the
// verdict and the counts, as a monitoring plugin writes it), then a row per
// meter, its loggers and its open alarms. `vantbrook status` prints it; the
// service's API answers with the same JSON.
#pragma once

#include <string>

#include "fleet_status.h"
#include "json_writer.h"

namespace vb::cli {

std::string statusSummaryLine(const fleet::FleetStatus& status);
// The MQTT outbox, when the status holds it and it has anything to say,
// comes after the summary line.
std::string renderStatus(const fleet::FleetStatus& status);

void writeMeterStatusJson(JsonWriter& json, const fleet::MeterStatus& meter);
void writeFleetStatusJson(JsonWriter& json, const fleet::FleetStatus& status);

// UTC time as ISO 8601 ("2026-12-08T17:06:19Z"), and an age as "2d04h",
// "3h12m", "45s".
std::string utcText(int64_t seconds);
std::string ageText(int64_t seconds);

}  // namespace vb::cli
