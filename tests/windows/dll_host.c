/*
 * A Windows host in C, as a user writes one: loads Vantbrook.dll with
 * LoadLibraryA and binds VantbrookRequest and brisel.dll's eight entries by
 * their exported names (decorated on 32-bit Windows, plain on 64-bit) with
 * GetProcAddress, then runs requests against the
 * simulated meters that tests/windows/wine-session puts on COM1..COM4:
 *   COM1 a meter, COM2 behind a PAD (protocol "pnet"), COM3 behind a modem
 *   (protocol "dial"), COM4 a meter whose line is cut during a download.
 * Every meter has the same logger data, so a download must bring the same
 * pairs whichever way it comes. Prints one line per check; exit status 0
 * when all passed.
 */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <vantbrook/brisel.h>
#include <vantbrook/vantbrook.h>

typedef int32_t(VB_STDCALL *RequestFn)(DibRecord *, RequestRecord *, ResultRecord *);
typedef int32_t(VB_STDCALL *LinkFn)(LinkRecord *);
typedef uint32_t(VB_STDCALL *LinkQueryFn)(LinkRecord *);

enum { kPairs = 1000 };

static RequestFn vantbrookRequest;
static int failures;

static void check(int passed, const char *what, const ResultRecord *result) {
  if (passed) {
    printf("ok    %s\n", what);
    return;
  }
  ++failures;
  if (result != NULL) {
    printf("FAIL  %s: code %d, %.40s: %.128s\n", what, (int)result->code, result->source,
           result->message);
  } else {
    printf("FAIL  %s\n", what);
  }
}

static RequestRecord makeRequest(int port, const char *protocol, const char *address) {
  RequestRecord request;
  memset(&request, 0, sizeof request);
  request.portNumber = (int16_t)port;
  memcpy(request.protocol, protocol, 4);
  strncpy(request.address, address, sizeof request.address - 1);
  request.receiveTimeout = 15000;
  request.frameTimeout = 2000;
  request.linkHandle = -1;
  request.portHandle = -1;
  request.logNo = 1;
  request.specifier = 2;
  request.commandAttempts = 2;
  request.reconnectAttempts = 2;
  request.resumeLimit = 3;
  return request;
}

static int run(RequestRecord *request, int16_t code, void *download, ResultRecord *result) {
  DibRecord dib;
  memset(&dib, 0, sizeof dib);
  memset(result, 0, sizeof *result);
  request->requestCode = code;
  request->download = download;
  return vantbrookRequest(&dib, request, result);
}

/* Downloads logger 1's pairs raw; 1 when all kPairs came. */
static int downloadPairs(RequestRecord *request, RawPair *pairs, ResultRecord *result) {
  DataHeaderRecord header;
  DownloadRecord download;
  memset(&header, 0, sizeof header);
  memset(pairs, 0, kPairs * sizeof *pairs);
  download.header = &header;
  download.entries = pairs;
  download.capacity = kPairs;
  return run(request, VB_REQ_DOWNLOAD_RAW, &download, result) == 1 && header.count == kPairs;
}

static void everyRequestCode(void) {
  RequestRecord request = makeRequest(1, "COM1", "");
  static ConvertedPair entries[kPairs];
  DataHeaderRecord header;
  DownloadRecord download = {&header, entries, kPairs};
  VersionRecord versions;
  char message[64] = "HELLO";
  char what[64];
  ResultRecord result;
  int16_t code;
  for (code = VB_REQ_DOWNLOAD_CONVERTED; code <= VB_REQ_RELEASE; ++code) {
    const int reserved = code == VB_REQ_RESERVED_2740 || code == VB_REQ_RESERVED_2741 ||
                         code == VB_REQ_RESERVED_2747;
    int outcome;
    request.data = code == VB_REQ_MESSAGE ? (unsigned char *)message : NULL;
    request.dataLength = code == VB_REQ_MESSAGE ? sizeof message : 0;
    outcome = run(&request, code, code == VB_REQ_VERSIONS ? (void *)&versions : &download,
                  &result);
    snprintf(what, sizeof what, "request %d on COM1", (int)code);
    check(reserved ? outcome == 0 && result.code == VB_NOT_IMPLEMENTED : outcome == 1, what,
          &result);
  }
  check(request.linkHandle == -1, "2749 released the link that 2748 held", NULL);
}

static void heldLink(void) {
  RequestRecord request = makeRequest(1, "COM1", "");
  VersionRecord versions;
  ResultRecord result;
  int i, held = 1;
  check(run(&request, VB_REQ_HOLD, NULL, &result) == 1, "2748 holds the link", &result);
  for (i = 0; i < 3; ++i) {
    held = held && run(&request, VB_REQ_VERSIONS, &versions, &result) == 1 &&
           request.connectCount == 1;
  }
  check(held, "three requests on the held link, one connection", &result);
  check(run(&request, VB_REQ_RELEASE, NULL, &result) == 1 && request.linkHandle == -1,
        "2749 releases it", &result);
}

static int VB_CDECL abortAtOnce(int percent) {
  (void)percent;
  return 1;
}

static void userAbort(void) {
  static RawPair pairs[kPairs];
  RequestRecord request = makeRequest(1, "COM1", "");
  ResultRecord result;
  request.progressCallback = abortAtOnce;
  check(!downloadPairs(&request, pairs, &result) && result.code == VB_USER_ABORT,
        "a progress callback that answers 1 aborts the download", &result);
}

static void downloadsAgree(void) {
  static RawPair reference[kPairs];
  static RawPair other[kPairs];
  RequestRecord request = makeRequest(1, "COM1", "");
  ResultRecord result;
  check(downloadPairs(&request, reference, &result), "download on COM1", &result);

  request = makeRequest(2, "pnet", "1234");
  check(downloadPairs(&request, other, &result) && memcmp(reference, other, sizeof other) == 0,
        "the same pairs through pnetport.dll", &result);

  request = makeRequest(3, "dial", "0123");
  check(downloadPairs(&request, other, &result) && memcmp(reference, other, sizeof other) == 0,
        "the same pairs through dialport.dll", &result);

  /* The receiver gives up on the cut line (frame time-out) well before the
   * receive does, so the reception ends with a resume point. */
  request = makeRequest(4, "COM4", "");
  request.frameTimeout = 1000;
  check(downloadPairs(&request, other, &result) && memcmp(reference, other, sizeof other) == 0 &&
            request.connectCount == 2,
        "the same pairs after a cut line, resumed on a second connection", &result);
}

/* A host opens COM1 itself and hands the line over in portHandle: the
 * kernel handle travels through the 32-bit field by HandleToLong and comes
 * back by LongToHandle, on 64-bit Windows as on 32-bit. */
static void hostsOwnLine(void) {
  RequestRecord request = makeRequest(1, "COM1", "");
  VersionRecord versions;
  ResultRecord result;
  HANDLE line = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, NULL);
  check(line != INVALID_HANDLE_VALUE, "the host opens COM1 itself", NULL);
  if (line == INVALID_HANDLE_VALUE) return;
  request.portHandle = HandleToLong(line);
  check(run(&request, VB_REQ_VERSIONS, &versions, &result) == 1 &&
            LongToHandle(request.portHandle) == line,
        "a request on the host's own line, handed over by HandleToLong", &result);
  check(CloseHandle(LongToHandle(request.portHandle)), "the line is still the host's to close",
        NULL);
}

/* brisel.dll's entry names: decorated on 32-bit Windows, plain on 64-bit. */
#if defined(_WIN64)
#define LINK_ENTRY(name, argumentBytes) #name
#define OTHER_TARGETS_OPEN_PORT "_OpenPort@4"
#else
#define LINK_ENTRY(name, argumentBytes) "_" #name "@" #argumentBytes
#define OTHER_TARGETS_OPEN_PORT "OpenPort"
#endif

static void linkEntriesByName(HMODULE brisel) {
  static const char *const names[] = {
      LINK_ENTRY(OpenPort, 4),       LINK_ENTRY(ClosePort, 4),     LINK_ENTRY(SendData, 4),
      LINK_ENTRY(RecvData, 4),       LINK_ENTRY(GetResumePoint, 4), LINK_ENTRY(SetStartPoint, 8),
      LINK_ENTRY(GetMsgLength, 4),   LINK_ENTRY(SetMsgLength, 8)};
  LinkFn openPort, closePort;
  LinkQueryFn resumePoint;
  LinkRecord link;
  size_t i;
  int found = 1;
  for (i = 0; i < sizeof names / sizeof names[0]; ++i) {
    found = found && GetProcAddress(brisel, names[i]) != NULL;
  }
  check(found && GetProcAddress(brisel, OTHER_TARGETS_OPEN_PORT) == NULL,
        "brisel.dll's eight entries by this target's names only", NULL);

  openPort = (LinkFn)(void *)GetProcAddress(brisel, LINK_ENTRY(OpenPort, 4));
  closePort = (LinkFn)(void *)GetProcAddress(brisel, LINK_ENTRY(ClosePort, 4));
  resumePoint = (LinkQueryFn)(void *)GetProcAddress(brisel, LINK_ENTRY(GetResumePoint, 4));
  if (openPort == NULL || closePort == NULL || resumePoint == NULL) return;
  memset(&link, 0, sizeof link);
  link.port_number = 1;
  memcpy(link.protocol, "COM1", 4);
  link.receive_timeout_ms = 5000;
  link.frame_timeout_ms = 2000;
  link.link = -1;
  link.port_handle = -1;
  check(openPort(&link) == 1 && link.link != -1, "a link opened through " LINK_ENTRY(OpenPort, 4),
        NULL);
  check(closePort(&link) == 1 && link.link == -1, "and closed through " LINK_ENTRY(ClosePort, 4),
        NULL);
  check(resumePoint(&link) == 0xFFFFFFFFu, "a closed link has no resume point", NULL);
}

int main(void) {
  HMODULE vantbrook = LoadLibraryA("Vantbrook.dll");
  HMODULE brisel = LoadLibraryA("brisel.dll");
  if (vantbrook == NULL || brisel == NULL) {
    printf("FAIL  cannot load Vantbrook.dll or brisel.dll (error %lu)\n", GetLastError());
    return 1;
  }
  vantbrookRequest = (RequestFn)(void *)GetProcAddress(vantbrook, "VantbrookRequest");
  check(vantbrookRequest != NULL, "VantbrookRequest by its plain name", NULL);
  if (vantbrookRequest == NULL) return 1;

  linkEntriesByName(brisel);
  everyRequestCode();
  heldLink();
  hostsOwnLine();
  userAbort();
  downloadsAgree();
  FreeLibrary(brisel);
  FreeLibrary(vantbrook);
  printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
