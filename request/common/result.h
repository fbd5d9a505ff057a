// Filling a ResultRecord: every failure sets code, source and message once,
// at the place that knows why.
#pragma once

#include <cstdint>

#include "vantbrook/records.h"

namespace vb::request {

// The source name of the request library's own results.
inline constexpr const char* kSource = "Vantbrook";

// Table text n of the result codes 0..25; "" for any other code.
const char* ResultText(int32_t code);

// Sets code, source and message (bounded copies, rest of each field cleared).
void SetResult(ResultRecord* result, int32_t code, const char* source, const char* message);
// Sets code and source "Vantbrook" with a printf-style message cut to fit.
__attribute__((format(printf, 3, 4))) void SetResultF(ResultRecord* result, int32_t code,
                                                      const char* format, ...);

}  // namespace vb::request
