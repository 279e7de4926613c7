// Tavrel::Server::Dovecot: fixed locations of the mail server's files that
// the product generates.
#pragma once

#include <string>

namespace Tavrel::Server::Dovecot {

// The protocols the mail server serves, space-separated ("imap pop3 lmtp"),
// written by the product whenever the mail configuration changes.
inline std::string PROTOCOLS_FILE = "/etc/dovecot/tavrel_protocols";

}  // namespace Tavrel::Server::Dovecot
