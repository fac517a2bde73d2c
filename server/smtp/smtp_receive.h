// SMTP mail reception: the mail transaction of a server session (state 8).
// MAIL opens a spool temporary and writes the envelope sender, each accepted RCPT
// a recipient line, DATA the Received line and the message. The end of data
// flushes, closes and commits the temporary as an incoming .in file (durable: the
// commit syncs data and directory) before the 250 reply is sent, and asks the
// router for a scan. Every other way out of a transaction deletes the temporary.
//
// Relaying: a recipient that is not ours is taken only from a client whose
// address lies in RelayNetworks ("550 Relaying denied." for everybody else), so
// the server cannot be used to pass mail between strangers.
#pragma once

#include <string>
#include <string_view>

#include "server/smtp/smtp_session.h"

// Runs one step of the mail transaction (state 8).
SmtpStep RunReceiveStep(SmtpSession& s, NetNode* node, int32_t& state);

// Collects output in the session's 8192-byte write buffer. With `flush`, or when
// the bytes (and CRLF with `addCrlf`) would fill it, the buffer goes to the file
// first. Bytes larger than the buffer are written straight through. Returns the
// success of the file writes; `error` gets the system error number or 0.
bool BufferedSpoolWrite(SmtpSession& s, int fd, const char* bytes, size_t length, bool addCrlf,
                        int& error, bool flush);

// The outcome of the recipient check.
struct RecipientCheck {
  bool isLocal = false;
  bool exists = false;
  std::string normalised;  // the bare address (a list owner's for "owner-<list>")
  std::string domain;      // "" for the primary domain, else the secondary domain
};

// Normalises `address` and decides whether it is ours and, when it is, whether an
// account answers for it (an "owner-" prefix of a list reaches the list's owner;
// `allowUnknown` lets every local name through). False only when the address
// cannot be normalised.
bool CheckRecipient(std::string_view address, bool allowUnknown, RecipientCheck& out);

// Abort of a transaction (RSET, QUIT, a refused MAIL, a failed DATA start): closes
// and deletes the temporary, logging 5031.
void AbortReceive(SmtpSession& s);

// The connection ended in the middle of a transaction: closes the temporary,
// sends the partial-message notice when NotifyPartialRcv is on, deletes it.
void FinishPartialReceive(SmtpSession& s);

// Closes and deletes a temporary without a word (client side, other states).
void DiscardTempFile(SmtpSession& s);
