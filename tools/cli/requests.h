// The requests the program runs, each filling an Outcome.
#pragma once

#include <string>

#include "meter_link.h"
#include "outcome.h"

namespace vb::cli {

Outcome requestDib(MeterLink& link);
Outcome requestVersions(MeterLink& link);
Outcome requestHeader(MeterLink& link, const DownloadOptions& download);
// earlierHeader: a header of the same logger read before on the same link,
// or nullptr; it sizes the download when --capacity is not given.
Outcome requestDownload(MeterLink& link, const DownloadOptions& download,
                        const LoggerData* earlierHeader);
Outcome requestMessage(MeterLink& link, const std::string& text, uint32_t room);

// Entries a download makes room for.
uint32_t downloadCapacity(const DownloadOptions& download, const LoggerData* earlierHeader);

// Record number of the first entry a download of this selection brings.
uint32_t firstEntryRsn(const LoggerData& logger, const DownloadOptions& download);

}  // namespace vb::cli
