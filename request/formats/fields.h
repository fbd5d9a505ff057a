// Field readers shared by every reply decoder. A meter reply is a run of
// little-endian fields with no gaps; each reader takes the cursor (a byte
// offset from the reply's 0xFF marker), reads at it and advances it.
//
// Bound: a read of n bytes at cursor c is in bounds when c + n <= bound.
// A bound of 0 means no bound for the numeric readers; ReadString treats it
// as "nothing to read" so that a text scan is never unbounded. A read out of
// bounds yields 0 (0.0f, the empty text) and leaves the cursor unchanged.
#pragma once

#include <cstdint>

#include "vantbrook/records.h"

namespace vb::request {

uint8_t ReadU8(uint32_t& cursor, const uint8_t* message, uint32_t bound);
uint16_t ReadU16(uint32_t& cursor, const uint8_t* message, uint32_t bound);
uint32_t ReadU32(uint32_t& cursor, const uint8_t* message, uint32_t bound);

// A meter time (signed seconds since 1990-01-01). Negative times are invalid
// and read as 0, with a trace line.
uint32_t ReadCdtf(uint32_t& cursor, const uint8_t* message, uint32_t bound);

// IEEE 754 single precision.
float ReadFloat(uint32_t& cursor, const uint8_t* message, uint32_t bound);

// A NUL-terminated text into a 40-character field: at most 39 characters and
// a NUL, the rest of the field cleared. The cursor moves past the whole text
// and its NUL even when the field took fewer characters; the scan for the NUL
// stops at the bound, and a text with no NUL before it leaves the cursor
// there. A cursor at or beyond the bound (or a bound of 0) gives the empty
// text and leaves the cursor where it is.
void ReadString(uint32_t& cursor, char field[VB_TEXT_FIELD], const uint8_t* message,
                uint32_t bound);

}  // namespace vb::request
