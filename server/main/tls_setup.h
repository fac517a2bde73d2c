// Start-up and reload of the server's TLS certificate, and the switch to the
// unprivileged mail user after every listener is bound.
#pragma once

#include <string>

// With UseTls: loads TlsCertificateFile and TlsKeyFile, or, when neither is set,
// <home>/tls/cert.pem and key.pem, made once as a self-signed certificate for
// LocalNode. Logs the certificate's SHA-256 fingerprint. True (doing nothing)
// without UseTls; false with `why` on failure.
bool SetUpTls(std::string& why);
// Loads the certificate again (SIGUSR1); a failure is logged and the old one kept.
void ReloadTls();

// Started as root: checks that the home and its files belong to MailUser (corvel
// unless configured), then becomes that user (listeners stay open). Not root, or
// MailUser set to empty (logged as a warning): does nothing. False with `why` when
// the user does not exist (naming the command that makes it) or a file belongs to
// someone else (naming it).
bool DropRootPrivileges(std::string& why);
