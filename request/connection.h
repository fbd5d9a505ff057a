// The link to the meter for a request: opening, closing, holding it across
// requests (2748, 2749) and re-establishing it after a reply time-out.
#pragma once

#include <cstdint>

#include "vantbrook/records.h"

namespace vb::request {

// No link open / no application port.
inline constexpr int32_t kNoHandle = -1;

// Opens the link unless one is open already (then nothing is called).
int OpenLink(RequestRecord* request, ResultRecord* result);

// Closes an open link; 0 without calling anything when none is open.
int CloseLink(RequestRecord* request, ResultRecord* result);

// The last step of every flow: keeps a held link open after a flow that ended
// with code 0 or 7, otherwise closes it with a scratch result so the caller's
// result keeps the flow's outcome.
int TidyUpAndClosePort(RequestRecord* request, ResultRecord* result);

// Closes and reopens the link after a reply time-out, with the host's
// application-port callbacks when both are set. Adds 1 to connectCount on
// success; code 19 "\nFailed to re-connect" on failure, or the link's code 24
// at once when the host aborted a new call's set-up.
int Reconnect(RequestRecord* request, ResultRecord* result);

// Requests 2748 and 2749.
int HoldConnection(DibRecord* dib, RequestRecord* request, ResultRecord* result);
int ReleaseConnection(DibRecord* dib, RequestRecord* request, ResultRecord* result);

}  // namespace vb::request
