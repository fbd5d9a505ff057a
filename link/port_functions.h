// The eight port operations a link calls, filled either by the built-in
// serial port or by a port driver's exports. The receiver and transmitter
// only ever call through this table and never ask which kind of port it is.
// A port is a 32-bit handle issued by whoever filled the table.
#pragma once

#include "vantbrook/portdriver.h"

namespace vb::link {

struct PortFunctions {
  PortOpenFn openPort = nullptr;
  PortCloseFn closePort = nullptr;
  PortSendFn sendData = nullptr;
  PortReceiveFn receiveData = nullptr;
  PortErrorFn getPortError = nullptr;
  PortAbortFn abort = nullptr;                 // optional
  PortThreadHookFn startReadThread = nullptr;  // optional
  PortThreadHookFn closeReadThread = nullptr;  // optional

  bool hasRequired() const {
    return openPort != nullptr && closePort != nullptr && sendData != nullptr &&
           receiveData != nullptr && getPortError != nullptr;
  }
};

// The built-in serial port's table (serial_port.cpp).
extern const PortFunctions kSerialPortFunctions;

}  // namespace vb::link
