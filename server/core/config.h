// The configuration store: every value of the server lives in the registry under
// SOFTWARE\Tollgrove\Corvel. One family of accessors reads and writes them; a read
// never writes a default back. Paths: root [\VirtualDomains\<domain>]
// [\ListsAndResponders\<list>] [\<section>], each part skipped when empty.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

inline constexpr const char* kRootKey = "SOFTWARE\\Tollgrove\\Corvel";
// The product's own name and version (the Service Name value may rename it).
inline constexpr const char* kProductBaseName = "Corvel";
inline constexpr const char* kProductVersion = "1.0";

// Several nodes sharing one registry database each have a name ($CORVEL_NODE):
// a value of the root key set under "<root>\\Nodes\\<name>" is that node's own
// (its bind address, its ports, its spool directories) and wins over the
// shared one. Empty (the default): no node values are read.
void SetConfigNode(const std::string& name);
const std::string& ConfigNode();

// The key path for a section, domain and list (each may be null or empty).
std::string ConfigKeyPath(const char* section, const char* domain = nullptr,
                          const char* list = nullptr);

// Strings: returns the number of bytes read (0 when the default was used), the
// text cut to size - 1 bytes. With a null or empty `name` it lists the key's value
// names instead, each followed by a zero byte, the list ended by an extra zero.
int ConfigGetString(const char* section, const char* name, const char* def, char* buffer,
                    int size, const char* domain = nullptr, const char* list = nullptr);
// The same into a std::string, with no length limit beyond `maxLen` (0 = none).
std::string ConfigGetText(const char* section, const char* name, const char* def,
                          const char* domain = nullptr, const char* list = nullptr,
                          size_t maxLen = 0);
// The value names of a key, in stored order.
std::vector<std::string> ConfigListValueNames(const char* section, const char* domain = nullptr,
                                              const char* list = nullptr);
// Every value of a key in one enumeration, in stored order: true with an empty
// list when the key does not exist, false when the store cannot be read. Large
// slot lists (a list's members) are read this way, not one value per slot.
bool ConfigReadValues(const char* section, std::vector<RegValue>& out,
                      const char* domain = nullptr, const char* list = nullptr);
// The value of that name in such a list (names compare without regard to case);
// null when absent.
const RegValue* FindConfigValue(const std::vector<RegValue>& values, const char* name);
// The accessors' rules applied to a value read that way (null: the default).
long ConfigValueNumber(const RegValue* v, long def);
bool ConfigValueBool(const RegValue* v, bool def);
std::string ConfigValueText(const RegValue* v, const char* def, size_t maxLen = 0);

long ConfigGetNumber(const char* section, const char* name, long def,
                     const char* domain = nullptr, const char* list = nullptr);
long ConfigGetNumberRange(const char* section, const char* name, long def, long min, long max,
                          const char* domain = nullptr, const char* list = nullptr);
bool ConfigGetBool(const char* section, const char* name, bool def,
                   const char* domain = nullptr, const char* list = nullptr);
// Directory kind: default the home directory; empty becomes the home directory; a
// trailing '/' is added. Returns the length.
int ConfigGetDirectory(const char* section, const char* name, char* buffer, int size);
std::string ConfigGetDirectoryPath(const char* section, const char* name);

// Writes. A null `text` deletes the value; a null `name` deletes the key.
bool ConfigSetString(const char* section, const char* name, const char* text,
                     const char* domain = nullptr, const char* list = nullptr);
// A null `name` deletes the value named... nothing: the call fails.
bool ConfigSetNumber(const char* section, const char* name, long value,
                     const char* domain = nullptr, const char* list = nullptr);
bool ConfigSetBool(const char* section, const char* name, bool value,
                   const char* domain = nullptr, const char* list = nullptr);

// The parsing rules, exposed for the tools that check stored values.
// Number: REG_DWORD its value; REG_SZ of at most 20 bytes starting with a digit its
// leading decimal number; else `def`.
long ParseNumberValue(uint32_t type, const std::string& data, long def, bool present);
bool ParseBoolValue(uint32_t type, const std::string& data, bool def, bool present);

// ---- The general values (root key) --------------------------------------------

enum class ValueKind : char { kString = 'S', kDirectory = 'D', kNumber = 'N', kRange = 'R', kBool = 'B' };

struct GeneralValue {
  const char* name;
  ValueKind kind;
  long def;           // numbers and booleans
  long min, max;      // ranges; for strings max is the length limit
  const char* text;   // default text of strings
};

// The one table of general values (name, type, default, range).
const std::vector<GeneralValue>& GeneralValues();
const GeneralValue* FindGeneralValue(const char* name);

// Readers by table entry.
long GetGeneralNumber(const char* name);
bool GetGeneralBool(const char* name);
std::string GetGeneralString(const char* name);

// Process-wide settings read once at start-up (LoadGeneralSettings).
struct Settings {
  std::string homeDirectory;      // the program directory, ends in '/'
  std::string userDirectory;      // ends in '/'
  std::string incomingDirectory;  // ends in '/'
  std::string outgoingDirectory;  // ends in '/'

  std::string productName = "Corvel95";
  std::string productDescription;
  std::string productVersion;
  std::string softwareName;  // "%s V%s"
  std::string aboutText, legalText, serviceIcon, helpName;
  std::string supportMail, supportPhone, supportWww;

  std::string localNode, localIp;
  std::string incomingAlias, outgoingAlias;
  std::string smartHost, domainServer;
  std::string bindAddress;

  bool netAlwaysPresent = true, connectAtStart = false;
  long forceConnectionTimeout = 5;  // minutes, after the choice rule
  long forceConnectionMode = 0;
  bool routeToLocal = false;
  long inQueueTime = 60, outQueueTime = 60, connectionTime = 60;
  long routingMode = 5, retryLevelStart = 1;
  bool retryConstant = false;
  long limitOutgoingMessages = 5, limitRecipients = 50, limitMxRecords = -1;
  bool evaluateSubnets = true, disableDnsLookup = false, disableSmarthost = false;
  bool forwardToSmarthost = false, useVelmontRouter = true, useFromField = true;
  bool useFourDigitYear = true, doExpnAndVrfy = true, verifyIncoming = true;
  bool replyWithForward = false, allowUnknown = false, strictSmtpAdherence = true;
  bool useEsmtpProtocol = true, forceEsmtpProtocol = true, doEsmtpSize = true;
  bool broadcastSize = true;
  long maxEsmtpSize = 100000000;
  bool notifyPartialRcv = false, dontSendPosArs = false, verifyNode = true;
  bool showActivity = true, use3dControls = true;
  long stopAfterCriticalErrors = 0;
  long sysAccess = 19, sysAccessDef = 19;
  long sysOptSmtpOut = 0;  // outgoing SMTP port, 0 = 25
  long sysOptSmtp = 0, sysOptPop = 0, sysOptPswd = 0, sysOptCtrl = 0, sysOptRmcp = 0;
  long sysOptFngr = 0, sysOptRFngr = 0, sysOptForce = 79;
  long sysOptHttp = 0;
  bool httpConsole = false;
  std::string sysOptForceName = "localhost", sysOptFgrNoUser, sysOptFgrErr;
  std::string relayNetworks = "127.0.0.0/8";
  // Encryption and authentication (all off by default).
  bool useTls = false, smtpAuthClearLoopback = false, pop3RequireTls = false;
  bool smtpRequireTls = false;  // outgoing: a peer without STARTTLS is a temporary failure
  std::string tlsCertificateFile, tlsKeyFile;
  bool useSubmission = false, useSmtps = false, usePop3s = false;
  long sysOptSubmission = 0, sysOptSmtps = 0, sysOptPop3s = 0;
  // IMAP on the same mailboxes (off by default); IMAP over TLS needs UseTls too.
  bool useImap = false, useImaps = false;
  long sysOptImap = 0, sysOptImaps = 0;
  std::string mailUser;  // the user a server started as root becomes ("corvel"; empty: stays root)
};

// The settings of this process (written at start-up, read everywhere after).
Settings& ServerSettings();

// Reads the product and branding values.
void LoadProductValues(Settings& s);
// Reads the directories (UserDirectory, SystemIncoming, SystemOutgoing).
void LoadDirectories(Settings& s);
// Reads IncomingAlias/OutgoingAlias, appending the outgoing alias to the incoming
// list when it is not already one of them.
void LoadHostAliases(Settings& s);
// Reads every other general value into `s`.
void LoadGeneralSettings(Settings& s);

// The forced-connection choice rule: 5..480 clamp, then a value that is not a
// choice becomes the last choice greater than it.
long ApplyForceConnectionChoices(long minutes);

// Ports with "0 = default" semantics.
int EffectivePort(long stored, int defaultPort);
int SmtpPort(const Settings& s);   // 0 = the "smtp" service entry, else 25
int PopPort(const Settings& s);    // 0 = 110
int SubmissionPort(const Settings& s);  // SysOptSubmission, 0 = 587
int SmtpsPort(const Settings& s);       // SysOptSmtps, 0 = 465
int Pop3sPort(const Settings& s);       // SysOptPop3s, 0 = 995
int ImapPort(const Settings& s);        // SysOptImap, 0 = 143
int ImapsPort(const Settings& s);       // SysOptImaps, 0 = 993
int FingerPort(const Settings& s);        // SysOptFngr, 0 = 79
int RemoteFingerPort(const Settings& s);  // SysOptRFngr, 0 = 79
int RmcpPort(const Settings& s);          // SysOptRmcp, 0 = 50
int PasswordPort(const Settings& s);      // SysOptPswd, 0 = 106
int ControlPort(const Settings& s);       // SysOptCtrl, 0 = 107
int HttpPort(const Settings& s);          // SysOptHttp, 0 = 8025

// The default name server: the first "nameserver" line of /etc/resolv.conf
// (`resolvConf` for tests), else "127.0.0.1".
std::string DefaultDomainServer(const char* resolvConf = "/etc/resolv.conf");
