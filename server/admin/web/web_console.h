// The administration console in the browser: an HTTP/1.1 listener inside the
// server, on BindAddress (loopback when that is empty) and SysOptHttp (0 = 8025),
// started when HttpConsole is on. Its pages are compiled in; each page reads and
// acts through a JSON API under /api/ that scripts may use as well.
//
// Security: one administrator password (stored hashed, set with `corveladm
// admin-password`; without one the console does not start and the log says how to
// set it), a session cookie (HttpOnly, SameSite=Strict), a CSRF token that every
// state-changing request carries in X-CSRF-Token, failed logins delayed and
// limited per address, and limits on request size and header length.
#pragma once

#include <string>

// Starts the listener on its own threads. False with `why` when it cannot run
// (no password, the port taken); the server goes on without it.
bool StartWebConsole(std::string& why);
// Stops the listener and waits for its threads (idempotent).
void StopWebConsole();
