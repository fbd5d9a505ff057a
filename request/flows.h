// The request flows: each opens the link, runs its stages in a fixed order
// (the first failing stage decides the result), and always closes with
// TidyUpAndClosePort, which never overwrites the flow's result.
#pragma once

#include "vantbrook/records.h"

namespace vb::request {

int DIBRequest(DibRecord* dib, RequestRecord* request, ResultRecord* result);       // 2742
int VersionRequest(DibRecord* dib, RequestRecord* request, ResultRecord* result);   // 2746
int MessageRequest(DibRecord* dib, RequestRecord* request, ResultRecord* result);   // 2739
int HeaderRequest(DibRecord* dib, RequestRecord* request, ResultRecord* result);    // 2745
int DownloadRequest(DibRecord* dib, RequestRecord* request, ResultRecord* result);  // 2738, 2744

// Stage of the header and download flows: reads the identity block again
// when the decoded header's status flags say it has changed.
int CheckDibChanged(DibRecord* dib, RequestRecord* request, ResultRecord* result);

}  // namespace vb::request
