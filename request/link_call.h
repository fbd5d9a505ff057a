// Every call into the link library goes through here: a LinkRecord is built
// from the RequestRecord and ResultRecord, the export is called, every field
// is copied back and the link error code is mapped to a result code.
#pragma once

#include <cstdint>

#include "vantbrook/records.h"

namespace vb::request {

// Result code of a link error code: 0..8 map through the link table; any
// other value gives 25. Sets *replaceMessage when the message must become
// the table text of 25.
int32_t MapLinkError(int32_t linkErrorCode, bool* replaceMessage);

// The eight exports, each returning the export's own value unchanged. After
// every call, including the four that never set an error code, `code` is
// mapped again from what went in, so a code outside the link table (say 16)
// turns into 25 "Unspecified Brisel error" until the next call that sets one.
int32_t LinkOpenPort(RequestRecord* request, ResultRecord* result);
int32_t LinkClosePort(RequestRecord* request, ResultRecord* result);
int32_t LinkSendData(RequestRecord* request, ResultRecord* result);
int32_t LinkRecvData(RequestRecord* request, ResultRecord* result);
uint32_t LinkGetResumePoint(RequestRecord* request, ResultRecord* result);
uint32_t LinkGetMsgLength(RequestRecord* request, ResultRecord* result);
int32_t LinkSetStartPoint(RequestRecord* request, ResultRecord* result, uint32_t offset);
int32_t LinkSetMsgLength(RequestRecord* request, ResultRecord* result, uint32_t length);

}  // namespace vb::request
