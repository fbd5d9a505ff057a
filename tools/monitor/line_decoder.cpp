#include "line_decoder.h"

#include <cstring>
#include <utility>

#include "dialogue.h"
#include "wakeup.h"

namespace vb::monitor {

namespace {

// Text between frames is reported at a line end, or once this much of it
// has gathered without one.
constexpr size_t kLongestTextLine = 256;

bool isDialogueText(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool recall = i == 0 && c == 0x10;
    if (!recall && (c < 0x20 || c > 0x7E)) return false;
  }
  return true;
}

std::string printable(const std::string& text) {
  std::string shown;
  for (unsigned char c : text) {
    if (c >= 0x20 && c <= 0x7E && c != '"' && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      shown += escaped;
    }
  }
  return shown;
}

const char* controlMeaning(uint8_t character) {
  switch (character) {
    case link::CTRL_ACK:
      return "ACK";
    case link::CTRL_NAK:
      return "NAK";
    case link::CTRL_RESEND:
      return "RESEND";
    case link::CTRL_ABORT:
      return "ABORT";
    default:
      return "unsupported";
  }
}

}  // namespace

LineDecoder::LineDecoder(Direction direction, EventSink events, MessageTracker& tracker)
    : direction_(direction), events_(std::move(events)), tracker_(tracker) {
  body_.reserve(link::kMaxFrameLength);
  message_.resize(link::kMaxFrameLength);
}

void LineDecoder::emit(uint64_t timeMs, const char* kind, std::string text,
                       nlohmann::ordered_json fields) {
  Event event;
  event.timeMs = timeMs;
  event.direction = direction_;
  event.kind = kind;
  event.text = std::move(text);
  event.fields = std::move(fields);
  events_(event);
}

void LineDecoder::feed(uint64_t timeMs, const uint8_t* bytes, size_t count) {
  counts_.bytes += count;
  for (size_t i = 0; i < count; ++i) take(timeMs, bytes[i]);
}

void LineDecoder::idle() {
  if (state_ == State::Between) flushText();
}

void LineDecoder::finish(uint64_t timeMs) {
  if (state_ != State::Between) frameCutShort(timeMs);
  flushText();
}

void LineDecoder::take(uint64_t timeMs, uint8_t byte) {
  if (byte == link::kStartByte) {
    if (state_ != State::Between) frameCutShort(timeMs);
    flushText();
    startFrame();
    return;
  }
  switch (state_) {
    case State::Between:
      if (byte == link::kTerminator && terminatorDue_ && text_.empty()) {
        terminatorDue_ = false;
        return;
      }
      terminatorDue_ = false;
      if (text_.empty()) textStartMs_ = timeMs;
      if (byte == '\r' || byte == '\n') {
        // The wake-up text ends with its carriage return.
        if (byte == '\r' && text_ + '\r' == link::kWakeupText) {
          text_.clear();
          emit(textStartMs_, "wakeup",
               "wake-up \"" + printable(std::string(link::kWakeupText, link::kWakeupTextLength - 1)) +
                   "\"",
               {});
          return;
        }
        flushText();
        return;
      }
      text_ += static_cast<char>(byte);
      if (text_.size() >= kLongestTextLine) flushText();
      return;
    case State::Header:
      header_[headerFilled_++] = byte;
      if (headerFilled_ == link::kHeaderSize) headerComplete(timeMs);
      return;
    case State::Body:
      body_.push_back(byte);
      if (body_.size() + link::kHeaderSize == decoded_.length) bodyComplete(timeMs);
      return;
  }
}

void LineDecoder::startFrame() {
  state_ = State::Header;
  header_[0] = link::kStartByte;
  headerFilled_ = 1;
  body_.clear();
  terminatorDue_ = false;
}

void LineDecoder::frameCutShort(uint64_t timeMs) {
  const size_t lost = state_ == State::Header ? headerFilled_ : link::kHeaderSize + body_.size();
  counts_.badFrames += 1;
  counts_.unframedBytes += lost;
  emit(timeMs, "frame",
       "frame cut short after " + std::to_string(lost) + " bytes" +
           (state_ == State::Body ? " of " + std::to_string(decoded_.length) : std::string()),
       {{"check", "cut short"}, {"received", lost}});
  state_ = State::Between;
}

void LineDecoder::headerComplete(uint64_t timeMs) {
  if (!link::CheckHeader(header_.data())) {
    counts_.badFrames += 1;
    counts_.unframedBytes += link::kHeaderSize;
    emit(timeMs, "frame", "frame header check BAD: 9 bytes dropped", {{"check", "bad header"}});
    state_ = State::Between;
    return;
  }
  decoded_ = link::DecodeHeader(header_.data());
  if (decoded_.length == 0) {
    counts_.badFrames += 1;
    counts_.unframedBytes += link::kHeaderSize;
    emit(timeMs, "frame", "frame header holds no valid length: dropped",
         {{"check", "bad length"}});
    state_ = State::Between;
    return;
  }
  state_ = State::Body;
}

void LineDecoder::bodyComplete(uint64_t timeMs) {
  state_ = State::Between;
  const uint32_t length = decoded_.length;
  terminatorDue_ = length < link::kTerminatedBelow;
  const bool good = link::CheckPayload(body_.data(), length);
  const size_t rawPayload = length - link::kFrameOverhead;
  const link::UnstuffResult unstuffed =
      link::Unstuff(body_.data(), rawPayload, message_.data(), message_.size());
  const bool isLong = length > link::kMaxShortFrameLength;

  nlohmann::ordered_json fields = nlohmann::ordered_json::object();
  fields["type"] = decoded_.data ? "data" : "control";
  fields["length"] = length;
  fields["long"] = isLong;
  fields["check"] = good ? "good" : "bad payload";
  std::string text;
  if (decoded_.data) {
    fields["position"] = decoded_.position;
    fields["first"] = decoded_.first;
    fields["last"] = decoded_.last;
    fields["bytes"] = unstuffed.written;
    fields["stuffed"] = rawPayload - unstuffed.written;
    text = "frame data at " + std::to_string(decoded_.position) + ", " +
           std::to_string(unstuffed.written) + " bytes, length " + std::to_string(length) +
           (isLong ? " (long)" : "") + (decoded_.first ? ", first" : "") +
           (decoded_.last ? ", last" : "");
    if (rawPayload != unstuffed.written) {
      text += ", " + std::to_string(rawPayload - unstuffed.written) + " escapes";
    }
  } else {
    const uint8_t character = unstuffed.written > 0 ? message_[0] : 0;
    const char* meaning = controlMeaning(character);
    fields["control"] = meaning;
    fields["character"] = std::string(1, static_cast<char>(character));
    text = std::string("frame control ") + meaning;
    if (character == link::CTRL_RESEND) {
      fields["position"] = decoded_.position;
      text += " from " + std::to_string(decoded_.position);
    } else if (std::strcmp(meaning, "unsupported") == 0) {
      text += " '" + printable(std::string(1, static_cast<char>(character))) + "'";
    }
  }
  if (!good) {
    counts_.badFrames += 1;
    emit(timeMs, "frame", text + ": payload check BAD, dropped", std::move(fields));
    return;
  }
  counts_.goodFrames += 1;
  emit(timeMs, "frame", std::move(text), std::move(fields));
  if (decoded_.data) {
    tracker_.addFrame(timeMs, decoded_.position, message_.data(), unstuffed.written,
                      decoded_.first, decoded_.last);
  }
}

void LineDecoder::flushText() {
  if (text_.empty()) return;
  std::string text = std::move(text_);
  text_.clear();
  if (isDialogueText(text)) {
    const DialogueReading reading = readDialogue(direction_, text);
    nlohmann::ordered_json fields = {{"text", text}, {"meaning", reading.meaning}};
    if (!reading.signal.empty()) fields["signal"] = reading.signal;
    fields["failure"] = reading.failure;
    emit(textStartMs_, "dialogue", "\"" + printable(text) + "\": " + reading.meaning,
         std::move(fields));
    return;
  }
  counts_.unframedBytes += text.size();
  emit(textStartMs_, "unframed", std::to_string(text.size()) + " bytes outside any frame",
       {{"size", text.size()}});
}

}  // namespace vb::monitor
