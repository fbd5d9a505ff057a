// The commands that read the meter: identity block, logger header, logged
// data and version texts. Each builds its command in the work buffer, runs
// the exchange and validates the reply; the reader commands of the loggers
// and the versions also decode the reply into the host's records.
#pragma once

#include <cstdint>

#include "vantbrook/records.h"

namespace vb::request {

// Leaves the identity-block reply in the work buffer; *received is the
// number of its bytes that came in.
int GetDIB(RequestRecord* request, ResultRecord* result, uint32_t* received);

// Header of logger logNo into the DownloadRecord's header record.
int GetHeader(DibRecord* dib, RequestRecord* request, ResultRecord* result);

// Header and entries of logger logNo over the range the specifier selects.
int GetData(DibRecord* dib, RequestRecord* request, ResultRecord* result);

// The eight version texts into the VersionRecord that download points to.
int GetVersions(DibRecord* dib, RequestRecord* request, ResultRecord* result);

// The download specifier without the restart marker (1000 added).
inline constexpr int16_t kRestartAfterDownload = 1000;
inline int16_t ReducedSpecifier(int16_t specifier) {
  return specifier >= kRestartAfterDownload ? static_cast<int16_t>(specifier - kRestartAfterDownload)
                                            : specifier;
}

}  // namespace vb::request
