// The commands that change the state of the meter's logger or of the session
// with it. Each builds its command in request->data (the work buffer, sized
// for the command and its reply), runs it through CommandTransaction and
// checks the reply's status. 1 on success, 0 with the result set.
#pragma once

#include "vantbrook/records.h"

namespace vb::request {

int CancelSession(RequestRecord* request, ResultRecord* result);

// Sends every character of the password field up to its NUL (all 41 when it
// has none) followed by a NUL; status 9 is reported as "Incorrect password".
int Unlock(RequestRecord* request, ResultRecord* result);

int Lock(RequestRecord* request, ResultRecord* result);

// Sets the meter clock to the host's local standard time.
int SetTime(RequestRecord* request, ResultRecord* result);

// Restarts logger logNo: plainly when the host passed no data, otherwise with
// the first 6 bytes of the host's buffer as parameters (a host buffer shorter
// than 6 bytes is refused before anything is sent).
int RestartLogger(RequestRecord* request, ResultRecord* result);

// Code 2 with a clear message when the host's buffer is given but shorter
// than the restart parameters; 1 when a restart can be sent.
int CheckRestartParameters(ResultRecord* result);

}  // namespace vb::request
