// Renders request outcomes for people (aligned tables), for programs (one
// JSON document) and for spreadsheets (CSV of a download).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "json_writer.h"
#include "outcome.h"

namespace vb::cli {

// The texts of the status flags set in a statusFlags value; "No error
// indications" when none is set. Bits without a text are named "bit N".
std::vector<std::string> statusFlagTexts(uint32_t flags);

// entryLimit: the most download entries listed; the rest are counted.
std::string renderTable(const Outcome& outcome, size_t entryLimit = SIZE_MAX);
void writeJson(JsonWriter& json, const Outcome& outcome);
// The member "error" of a document: the request that failed, the result's
// code and source, and the message as the program reports it.
void writeErrorJson(JsonWriter& json, Command request, const ResultRecord& result,
                    const std::string& message);
// Only for header and download outcomes of any logger.
std::string renderCsv(const LoggerData& logger);
std::string renderFlagsTable(uint32_t flags);
void writeFlagsJson(JsonWriter& json, uint32_t flags);

}  // namespace vb::cli
