/*
 * A minimal host in C: reads a meter's identity block on COM1 (or the port
 * given as the first argument, 1..8) with VantbrookRequest and prints a few
 * of its fields. Point the port at a device with VANTBROOK_COMn.
 *
 * Build against an installed Vantbrook:
 *   cmake:      find_package(Vantbrook) and link Vantbrook::Vantbrook
 *   pkg-config: cc host.c $(pkg-config --cflags --libs vantbrook)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vantbrook/vantbrook.h>

/* Length of a text field of a record, which need not be terminated. */
static int field_length(const char *field, size_t size) {
  const char *end = memchr(field, '\0', size);
  return (int)(end != NULL ? (size_t)(end - field) : size);
}

static void print_field(const char *label, const char *field, size_t size) {
  printf("%-10s %.*s\n", label, field_length(field, size), field);
}

int main(int argc, char **argv) {
  int port = argc > 1 ? atoi(argv[1]) : 1;
  DibRecord dib;
  RequestRecord request;
  ResultRecord result;

  if (port < 1 || port > 8) {
    fprintf(stderr, "usage: %s [PORT 1..8]\n", argv[0]);
    return 2;
  }
  memset(&dib, 0, sizeof dib);
  memset(&request, 0, sizeof request);
  memset(&result, 0, sizeof result);

  request.requestCode = VB_REQ_DIB;
  request.portNumber = (int16_t)port;
  memcpy(request.protocol, "COM", 3);
  request.protocol[3] = (char)('0' + port);
  request.linkHandle = -1; /* no link open yet */
  request.portHandle = -1; /* the library opens the port */
  request.receiveTimeout = 10000;
  request.frameTimeout = 5000;
  request.commandAttempts = 3;
  request.reconnectAttempts = 2;
  request.resumeLimit = 3;

  if (VantbrookRequest(&dib, &request, &result) != 1) {
    fprintf(stderr, "host: %.*s (code %d, %.*s)\n",
            field_length(result.message, sizeof result.message), result.message,
            (int)result.code, field_length(result.source, sizeof result.source), result.source);
    return 1;
  }
  print_field("meter_id", dib.meter_id, sizeof dib.meter_id);
  printf("%-10s %u\n", "supplier", (unsigned)dib.supplier);
  print_field("location", dib.location, sizeof dib.location);
  print_field("loggvers", dib.loggvers, sizeof dib.loggvers);
  return 0;
}
