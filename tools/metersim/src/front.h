// What stands between the line and the meter: nothing, a packet-radio PAD
// (X.28 dialogue) or a dial-up modem (AT dialogue). A front takes the host's
// bytes, answers the ones meant for it and passes the rest to the meter
// while a call carries the meter's link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "metersim/simulator.h"

namespace vb::metersim {

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  // Bytes from the host at nowMs; those for the meter go to *link.
  virtual void received(const uint8_t* bytes, size_t count, uint64_t nowMs,
                        std::vector<uint8_t>* link) = 0;
  // Timed steps: delayed call results, the escape guard time.
  virtual void tick(uint64_t nowMs) = 0;
  // True while a call carries the meter's link.
  virtual bool carrying() const = 0;
  // The line was cut: any call is gone.
  virtual void dropCall() = 0;

  // The front's own answers waiting to be sent.
  std::string takeOutput() {
    std::string text;
    text.swap(output_);
    return text;
  }
  // The address or number of the last call connected.
  const std::string& calledAddress() const { return calledAddress_; }
  // Calls connected since the last ask.
  uint32_t takeConnections() { return take(&connections_); }
  // Calls placed (being set up), and calls the host cleared while they were
  // being set up or up, since the last ask.
  uint32_t takeCallsPlaced() { return take(&placed_); }
  uint32_t takeCallsCleared() { return take(&cleared_); }

 protected:
  void send(const std::string& text) { output_ += text; }
  void connected(const std::string& address) {
    calledAddress_ = address;
    ++connections_;
  }
  // A call begins to be set up; it is held until cleared or dropped.
  void placed() {
    ++placed_;
    callHeld_ = true;
  }
  // The host cleared whatever call was held.
  void cleared() {
    if (callHeld_) ++cleared_;
    callHeld_ = false;
  }
  // The call ended without the host (refused, failed, line cut).
  void ended() { callHeld_ = false; }

 private:
  static uint32_t take(uint32_t* counter) {
    const uint32_t count = *counter;
    *counter = 0;
    return count;
  }

  std::string output_;
  std::string calledAddress_;
  uint32_t connections_ = 0;
  uint32_t placed_ = 0;
  uint32_t cleared_ = 0;
  bool callHeld_ = false;
};

std::unique_ptr<FrontEnd> makeFront(const Options& options);
std::unique_ptr<FrontEnd> makePadFront(const Options& options);
std::unique_ptr<FrontEnd> makeModemFront(const Options& options);

// Command-line helpers the PAD and the modem share.
std::string upperCase(const std::string& text);
bool listed(const std::vector<std::string>& list, const std::string& entry);

}  // namespace vb::metersim
