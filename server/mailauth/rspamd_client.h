// The optional rspamd check of incoming mail: when RspamdAddress names an rspamd
// normal worker ("host:port"), each message is posted to its HTTP check
// interface (/checkv2) before the server answers the final ".", with the client
// address, HELO, sender, recipients and authenticated user as request headers.
// Its action decides: reject -> 550, soft reject and greylist -> 451, add header
// and rewrite subject -> the headers it asks for (else "X-Spam: Yes"), and
// rewrite subject also replaces the Subject with the one rspamd returns; every
// checked message gets rspamd's summary as "X-Spamd-Result". An rspamd that does
// not answer within RspamdTimeout seconds (or is down) lets the message through;
// the log says so once per outage, and once when it answers again.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct RspamdSettings {
  std::string address;   // RspamdAddress: "host:port"; empty = no check
  long timeoutSeconds = 10;
};
RspamdSettings ReadRspamdSettings();

struct RspamdRequest {
  std::string ip, helo, from, user, queueId;
  std::vector<std::string> recipients;
};

enum class RspamdAction { kAccept, kReject, kSoftReject, kGreylist };

struct RspamdVerdict {
  bool checked = false;  // rspamd answered
  RspamdAction action = RspamdAction::kAccept;
  std::string text;      // the reply text for a refusal
  std::vector<std::pair<std::string, std::string>> headers;  // to add
  std::string subject;   // rewrite subject: the new Subject value; else empty
};

// Posts `message` and reads rspamd's verdict. Never fails: an unreachable or
// confused rspamd gives an unchecked kAccept.
RspamdVerdict AskRspamd(const RspamdSettings& settings, const RspamdRequest& request,
                        const std::string& message);
// Reads a /checkv2 answer; false when it is not one.
bool ParseRspamdReply(const std::string& body, RspamdVerdict& out);
