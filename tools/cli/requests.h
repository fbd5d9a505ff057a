// The requests the program runs, each filling an Outcome.
#pragma once

#include <string>

#include "meter_link.h"
#include "outcome.h"

namespace vb::cli {

Outcome requestDib(MeterLink& link);
Outcome requestVersions(MeterLink& link);
Outcome requestHeader(MeterLink& link, const DownloadOptions& download);

// How a download is run: the room it makes and how long it waits for its
// reply.
struct DownloadPlan {
  uint32_t capacity = 0;
  uint32_t receiveTimeoutMs = 0;
  // What the largest reply of that room needs at the line's speed.
  uint32_t neededTimeoutMs = 0;
  uint32_t baud = 0;
};

// earlierHeader: a header of the same logger read before on the same link,
// or nullptr; it sizes the download when --capacity is not given. The
// receive time-out is the one needed unless the user gave one.
DownloadPlan planDownload(const ConnectionOptions& connection, const DownloadOptions& download,
                          const LoggerData* earlierHeader);
Outcome requestDownload(MeterLink& link, const DownloadOptions& download,
                        const DownloadPlan& plan);
Outcome requestMessage(MeterLink& link, const std::string& text, uint32_t room);

// Entries a download makes room for.
uint32_t downloadCapacity(const DownloadOptions& download, const LoggerData* earlierHeader);

}  // namespace vb::cli
