// One meter connection as the program uses it: the request record with the
// connection settings, the identity record that every request shares, the
// application port when the program opens the line itself (--device), and
// the hold that keeps one link open across the requests of a session.
#pragma once

#include <cstdint>
#include <string>

#include "options.h"
#include "vantbrook/vantbrook.h"

namespace vb::cli {

class MeterLink {
 public:
  explicit MeterLink(const ConnectionOptions& connection);
  // Releases a link still held and closes the application port.
  ~MeterLink();
  MeterLink(const MeterLink&) = delete;
  MeterLink& operator=(const MeterLink&) = delete;

  // Opens and configures the line for --device; nothing to do otherwise.
  // False with *failure describing why.
  bool prepare(ResultRecord* failure);

  // The record for the next request: connection settings kept, the fields of
  // the previous request cleared. The caller sets its own fields and calls
  // run().
  RequestRecord& next(int16_t requestCode);
  bool run(ResultRecord* result);

  // Requests 2748 and 2749. release() does nothing when no link is open.
  bool hold(ResultRecord* result);
  void release();

  DibRecord& dib() { return dib_; }

 private:
  void closeApplicationPort();

  ConnectionOptions connection_;
  RequestRecord record_{};
  DibRecord dib_{};
};

}  // namespace vb::cli
