// Configuration accessors over the registry. Each call opens its key, does one
// operation and is done; nothing is cached here (the start-up settings are copied
// into ServerSettings() once, per-account values are read when needed).
#include "server/core/config.h"

#include <netdb.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/home.h"
#include "platform/registry.h"

namespace {

bool Empty(const char* s) { return s == nullptr || *s == '\0'; }

std::string& NodeName() {
  static std::string* name = new std::string;  // read by threads that may outlive main
  return *name;
}

bool ReadValue(const char* section, const char* name, const char* domain, const char* list,
               RegValue& v) {
  if (!NodeName().empty() && Empty(section) && Empty(domain) && Empty(list) &&
      RegQueryValue(std::string(kRootKey) + "\\Nodes\\" + NodeName(), name ? name : "", v))
    return true;
  return RegQueryValue(ConfigKeyPath(section, domain, list), name ? name : "", v);
}

// Text of a string-typed value; false when absent or of another type.
bool ValueText(const RegValue& v, bool allowMulti, std::string& out) {
  if (v.type == kRegSz || v.type == kRegExpandSz) {
    out = RegDecodeSz(v.data);
    return true;
  }
  if (allowMulti && v.type == kRegMultiSz) {
    std::vector<std::string> parts = RegDecodeMultiSz(v.data);
    out.clear();
    for (size_t i = 0; i < parts.size(); ++i) {
      if (i) out += '\n';
      out += parts[i];
    }
    return true;
  }
  return false;
}

}  // namespace

void SetConfigNode(const std::string& name) { NodeName() = name; }

const std::string& ConfigNode() { return NodeName(); }

std::string ConfigKeyPath(const char* section, const char* domain, const char* list) {
  std::string path = kRootKey;
  if (!Empty(domain)) (path += "\\VirtualDomains\\") += domain;
  if (!Empty(list)) (path += "\\ListsAndResponders\\") += list;
  if (!Empty(section)) (path += "\\") += section;
  return path;
}

std::vector<std::string> ConfigListValueNames(const char* section, const char* domain,
                                              const char* list) {
  std::vector<std::string> names;
  std::vector<RegValue> values;
  if (!RegEnumValues(ConfigKeyPath(section, domain, list), values)) return names;
  for (const RegValue& v : values) names.push_back(v.name);
  return names;
}

bool ConfigReadValues(const char* section, std::vector<RegValue>& out, const char* domain,
                      const char* list) {
  std::string key = ConfigKeyPath(section, domain, list);
  if (RegEnumValues(key, out)) return true;
  out.clear();
  // A key nobody has written yet holds no values; any other failure is one.
  return !RegKeyExists(key) && RegStoreOpen();
}

const RegValue* FindConfigValue(const std::vector<RegValue>& values, const char* name) {
  for (const RegValue& v : values)
    if (strcasecmp(v.name.c_str(), name) == 0) return &v;
  return nullptr;
}

long ConfigValueNumber(const RegValue* v, long def) {
  return v ? ParseNumberValue(v->type, v->data, def, true) : def;
}

bool ConfigValueBool(const RegValue* v, bool def) {
  return v ? ParseBoolValue(v->type, v->data, def, true) : def;
}

std::string ConfigValueText(const RegValue* v, const char* def, size_t maxLen) {
  std::string text;
  if (!(v && ValueText(*v, false, text))) text = def ? def : "";
  if (maxLen && text.size() > maxLen) text.resize(maxLen);
  return text;
}

int ConfigGetString(const char* section, const char* name, const char* def, char* buffer,
                    int size, const char* domain, const char* list) {
  if (buffer == nullptr || size <= 0) return 0;
  if (Empty(name)) {
    // The value names, each ended by a zero byte, the list by an extra zero; only
    // whole names that fit (each at most 99 characters).
    int used = 0;
    for (std::string n : ConfigListValueNames(section, domain, list)) {
      if (n.size() > 99) n.resize(99);
      if (used + int(n.size()) + 2 > size) break;
      memcpy(buffer + used, n.data(), n.size());
      used += int(n.size());
      buffer[used++] = '\0';
    }
    buffer[used] = '\0';
    return used;
  }
  std::string text;
  RegValue v;
  int read = 0;
  if (ReadValue(section, name, domain, list, v) && ValueText(v, false, text)) {
    read = 1;
  } else {
    text = def ? def : "";
  }
  size_t n = std::min(text.size(), size_t(size - 1));
  memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return read ? int(n) : 0;
}

std::string ConfigGetText(const char* section, const char* name, const char* def,
                          const char* domain, const char* list, size_t maxLen) {
  std::string text;
  RegValue v;
  if (!(ReadValue(section, name, domain, list, v) && ValueText(v, false, text)))
    text = def ? def : "";
  if (maxLen && text.size() > maxLen) text.resize(maxLen);
  return text;
}

long ParseNumberValue(uint32_t type, const std::string& data, long def, bool present) {
  if (!present) return def;
  if (type == kRegDword) {
    uint32_t u;
    if (!RegDecodeDword(data, u)) return def;
    return long(int32_t(u));  // two's complement: a stored 0xFFFFFFFF is -1
  }
  if (type == kRegSz || type == kRegExpandSz) {
    std::string text = RegDecodeSz(data);
    if (text.empty() || text.size() > 20 || !isdigit(static_cast<unsigned char>(text[0])))
      return def;
    long long n = 0;
    for (char c : text) {
      if (!isdigit(static_cast<unsigned char>(c))) break;
      n = n * 10 + (c - '0');
      if (n > 0x7fffffffLL) n = 0x7fffffffLL;
    }
    return long(n);
  }
  return def;
}

bool ParseBoolValue(uint32_t type, const std::string& data, bool def, bool present) {
  if (!present) return def;
  if (type == kRegDword) {
    uint32_t u;
    if (!RegDecodeDword(data, u)) return def;
    return u != 0;
  }
  if (type == kRegSz || type == kRegExpandSz) {
    std::string text = RegDecodeSz(data);
    if (text.empty()) return def;
    if (isdigit(static_cast<unsigned char>(text[0]))) return ParseNumberValue(type, data, 0, true) != 0;
    return strcasecmp(text.c_str(), "true") == 0 || strcasecmp(text.c_str(), "yes") == 0;
  }
  return def;
}

long ConfigGetNumber(const char* section, const char* name, long def, const char* domain,
                     const char* list) {
  RegValue v;
  bool present = ReadValue(section, name, domain, list, v);
  return ParseNumberValue(v.type, v.data, def, present);
}

long ConfigGetNumberRange(const char* section, const char* name, long def, long min, long max,
                          const char* domain, const char* list) {
  long n = ConfigGetNumber(section, name, def, domain, list);
  if (n < min) n = min;
  if (n > max) n = max;
  return n;
}

bool ConfigGetBool(const char* section, const char* name, bool def, const char* domain,
                   const char* list) {
  RegValue v;
  bool present = ReadValue(section, name, domain, list, v);
  return ParseBoolValue(v.type, v.data, def, present);
}

std::string ConfigGetDirectoryPath(const char* section, const char* name) {
  std::string dir = ConfigGetText(section, name, HomeDirectory().c_str());
  if (dir.empty()) dir = HomeDirectory();
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

int ConfigGetDirectory(const char* section, const char* name, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  std::string dir = ConfigGetDirectoryPath(section, name);
  size_t n = std::min(dir.size(), size_t(size - 1));
  memcpy(buffer, dir.data(), n);
  buffer[n] = '\0';
  return int(n);
}

bool ConfigSetString(const char* section, const char* name, const char* text,
                     const char* domain, const char* list) {
  std::string key = ConfigKeyPath(section, domain, list);
  if (name == nullptr) return RegDeleteKeyTree(key);
  if (text == nullptr) return RegDeleteValue(key, name);
  return RegSetString(key, name, text);
}

bool ConfigSetNumber(const char* section, const char* name, long value, const char* domain,
                     const char* list) {
  std::string key = ConfigKeyPath(section, domain, list);
  if (name == nullptr) return RegDeleteValue(key, "");
  return RegSetDword(key, name, uint32_t(int32_t(value)));
}

bool ConfigSetBool(const char* section, const char* name, bool value, const char* domain,
                   const char* list) {
  return ConfigSetNumber(section, name, value ? 1 : 0, domain, list);
}

// ---- General values -------------------------------------------------------------

namespace {

constexpr long kNoMin = 0, kNoMax = 0;
using VK = ValueKind;

// Name, type, default, range (for strings: the length limit), default text.
const std::vector<GeneralValue> kGeneralValues = {
    {"UserDirectory", VK::kDirectory, 0, kNoMin, kNoMax, ""},
    {"SystemIncoming", VK::kDirectory, 0, kNoMin, kNoMax, ""},
    {"SystemOutgoing", VK::kDirectory, 0, kNoMin, kNoMax, ""},
    {"LocalNode", VK::kString, 0, 0, 200, ""},
    {"LocalIP", VK::kString, 0, 0, 30, ""},
    {"IncomingAlias", VK::kString, 0, 0, 200, ""},
    {"OutgoingAlias", VK::kString, 0, 0, 200, ""},
    // No relay host unless the administrator names one: mail goes to the MX.
    {"SmartHost", VK::kString, 0, 0, 200, ""},
    // Empty here: the default is computed from /etc/resolv.conf at start-up.
    {"DomainServer", VK::kString, 0, 0, 200, ""},
    {"NetAlwaysPresent", VK::kBool, 1, 0, 0, nullptr},
    {"ConnectAtStart", VK::kBool, 0, 0, 0, nullptr},
    {"ForceConnectionTimeout", VK::kRange, 0, 5, 480, nullptr},
    {"ForceConnectionMode", VK::kNumber, 0, 0, 0, nullptr},
    {"RouteToLocal", VK::kBool, 0, 0, 0, nullptr},
    {"NumLocalNodes", VK::kNumber, 0, 0, 0, nullptr},
    {"InQueueTime", VK::kRange, 60, 5, 300, nullptr},
    {"OutQueueTime", VK::kRange, 60, 5, 300, nullptr},
    {"ConnectionTime", VK::kRange, 60, 5, 300, nullptr},
    {"RoutingMode", VK::kRange, 5, 0, 5, nullptr},
    {"RetryLevelStart", VK::kRange, 1, 0, 3, nullptr},
    {"RetryConstant", VK::kBool, 0, 0, 0, nullptr},
    {"LimitOutgoingMessages", VK::kNumber, 5, 0, 0, nullptr},
    {"LimitRecipients", VK::kNumber, -1, 0, 0, nullptr},
    {"LimitMxRecords", VK::kNumber, -1, 0, 0, nullptr},
    {"EvaluateSubnets", VK::kBool, 1, 0, 0, nullptr},
    {"DisableDNSLookup", VK::kBool, 0, 0, 0, nullptr},
    {"DisableSmarthost", VK::kBool, 0, 0, 0, nullptr},
    {"ForwardToSmarthost", VK::kBool, 0, 0, 0, nullptr},
    {"UseVelmontRouter", VK::kBool, 1, 0, 0, nullptr},
    {"UseFromField", VK::kBool, 1, 0, 0, nullptr},
    {"UseFourDigitYear", VK::kBool, 1, 0, 0, nullptr},
    {"DoExpnAndVrfy", VK::kBool, 1, 0, 0, nullptr},
    {"VerifyIncoming", VK::kBool, 1, 0, 0, nullptr},
    {"ReplyWithForward", VK::kBool, 0, 0, 0, nullptr},
    {"AllowUnknown", VK::kBool, 0, 0, 0, nullptr},
    {"StrictSmtpAdherence", VK::kBool, 1, 0, 0, nullptr},
    {"UseEsmtpProtocol", VK::kBool, 1, 0, 0, nullptr},
    {"ForceEsmtpProtocol", VK::kBool, 1, 0, 0, nullptr},
    {"DoEsmtpSize", VK::kBool, 1, 0, 0, nullptr},
    {"BroadcastSize", VK::kBool, 1, 0, 0, nullptr},
    {"MaxEsmtpSize", VK::kRange, 100000000, 1000, 100000000, nullptr},
    {"NotifyPartialRcv", VK::kBool, 0, 0, 0, nullptr},
    {"DontSendPosArs", VK::kBool, 0, 0, 0, nullptr},
    {"VerifyNode", VK::kBool, 1, 0, 0, nullptr},
    {"ShowActivity", VK::kBool, 1, 0, 0, nullptr},
    {"Use3dControls", VK::kBool, 1, 0, 0, nullptr},
    {"StopAfterCriticalErrors", VK::kRange, 0, 0, 2000, nullptr},
    {"SysAccess", VK::kNumber, 19, 0, 0, nullptr},
    {"SysAccessDef", VK::kNumber, 19, 0, 0, nullptr},
    {"SysOptSmtp", VK::kNumber, 0, 0, 0, nullptr},
    // The port of outgoing SMTP connections; 0 = 25 (another only for test runs).
    {"SysOptSmtpOut", VK::kNumber, 0, 0, 0, nullptr},
    {"SysOptPop", VK::kNumber, 0, 0, 0, nullptr},
    {"SysOptPswd", VK::kNumber, 0, 0, 0, nullptr},
    {"SysOptCtrl", VK::kNumber, 0, 0, 0, nullptr},
    {"SysOptRmcp", VK::kNumber, 0, 0, 0, nullptr},
    {"SysOptFngr", VK::kNumber, 0, 0, 0, nullptr},
    // The browser console: its port (0 = 8025) and its switch, off unless turned on.
    {"SysOptHttp", VK::kNumber, 0, 0, 0, nullptr},
    {"HttpConsole", VK::kBool, 0, 0, 0, nullptr},
    {"SysOptFgrNoUser", VK::kString, 0, 0, 200, ""},
    {"SysOptFgrErr", VK::kString, 0, 0, 200, ""},
    {"SysOptRFngr", VK::kNumber, 0, 0, 0, nullptr},
    {"SysOptForce", VK::kNumber, 79, 0, 0, nullptr},
    {"SysOptForceName", VK::kString, 0, 0, 200, "localhost"},
    {"BindAddress", VK::kString, 0, 0, 200, ""},
    {"RelayNetworks", VK::kString, 0, 0, 2048, "127.0.0.0/8"},
    // Encryption, authentication, submission; all off unless switched on.
    {"UseTls", VK::kBool, 0, 0, 0, nullptr},
    {"TlsCertificateFile", VK::kString, 0, 0, 1024, ""},
    {"TlsKeyFile", VK::kString, 0, 0, 1024, ""},
    {"SmtpAuthClearLoopback", VK::kBool, 0, 0, 0, nullptr},
    {"UseSubmission", VK::kBool, 0, 0, 0, nullptr},
    {"SysOptSubmission", VK::kNumber, 0, 0, 0, nullptr},
    {"UseSmtps", VK::kBool, 0, 0, 0, nullptr},
    {"SysOptSmtps", VK::kNumber, 0, 0, 0, nullptr},
    {"UsePop3s", VK::kBool, 0, 0, 0, nullptr},
    {"SysOptPop3s", VK::kNumber, 0, 0, 0, nullptr},
    {"Pop3RequireTls", VK::kBool, 0, 0, 0, nullptr},
    {"UseImap", VK::kBool, 0, 0, 0, nullptr},
    {"SysOptImap", VK::kNumber, 0, 0, 0, nullptr},
    {"UseImaps", VK::kBool, 0, 0, 0, nullptr},
    {"SysOptImaps", VK::kNumber, 0, 0, 0, nullptr},
    {"SmtpRequireTls", VK::kBool, 0, 0, 0, nullptr},
    // Mail authentication (all off by default): DKIM signing of our mail on the way
    // out, with a second ed25519 signature.
    {"DkimSign", VK::kBool, 0, 0, 0, nullptr},
    {"DkimEd25519", VK::kBool, 0, 0, 0, nullptr},
    // Checks of incoming mail from outside, recorded as an Authentication-Results
    // header.
    {"AuthCheckIncoming", VK::kBool, 0, 0, 0, nullptr},
    // What the checks do beyond the header (both off: they only record): refuse mail
    // that fails DMARC of a domain whose policy is reject; put off mail whose
    // checks met a DNS error.
    {"AuthRejectDmarc", VK::kBool, 0, 0, 0, nullptr},
    {"AuthTempfailDns", VK::kBool, 0, 0, 0, nullptr},
    // rspamd's normal worker ("host:port"; empty: no rspamd check) and how long a
    // check may take (seconds) before the message is taken unchecked.
    {"RspamdAddress", VK::kString, 0, 0, 200, ""},
    {"RspamdTimeout", VK::kRange, 10, 1, 120, nullptr},
    // A server started as root becomes this user once its listeners are bound; set
    // to empty, it stays root (warned at start-up).
    {"MailUser", VK::kString, 0, 0, 64, "corvel"},
    {"LogFile", VK::kString, 0, 0, 200, ""},
    {"LogFileOptions", VK::kNumber, 1, 0, 0, nullptr},
    {"LogWindowOptions", VK::kNumber, 1, 0, 0, nullptr},
    {"AutoLogWhich", VK::kRange, 0, 0, 1, nullptr},
    {"AutoLogDuration", VK::kRange, 0, 0, 3, nullptr},
    {"AutoLogOtherDur", VK::kRange, 0, 0, 3, nullptr},
    {"AutoLogCheck", VK::kString, 0, 0, 10, ""},
    {"AutoLogOtherCheck", VK::kString, 0, 0, 10, ""},
    {"CheckTimestamp", VK::kString, 0, 0, 10, ""},
    {"IsIconic", VK::kBool, 0, 0, 0, nullptr},
    {"XLoc", VK::kNumber, 200, 0, 0, nullptr},
    {"YLoc", VK::kNumber, 200, 0, 0, nullptr},
    {"XSize", VK::kNumber, 200, 0, 0, nullptr},
    {"YSize", VK::kNumber, 200, 0, 0, nullptr},
    {"Border", VK::kNumber, 100, 0, 0, nullptr},
};

// Product and branding values: string or multi-string, at most 2048 bytes.
constexpr size_t kBrandingLimit = 2048;
constexpr const char* kFileDescription = "Corvel mail server";

std::string BrandingValue(const char* name, const char* def) {
  RegValue v;
  std::string text;
  if (!(RegQueryValue(kRootKey, name, v) && ValueText(v, true, text))) text = def;
  if (text.size() > kBrandingLimit - 1) text.resize(kBrandingLimit - 1);
  return text;
}

}  // namespace

const std::vector<GeneralValue>& GeneralValues() { return kGeneralValues; }

const GeneralValue* FindGeneralValue(const char* name) {
  for (const GeneralValue& g : kGeneralValues)
    if (strcasecmp(g.name, name) == 0) return &g;
  return nullptr;
}

long GetGeneralNumber(const char* name) {
  const GeneralValue* g = FindGeneralValue(name);
  if (g == nullptr) return 0;
  if (g->kind == VK::kRange) return ConfigGetNumberRange("", g->name, g->def, g->min, g->max);
  if (g->kind == VK::kBool) return ConfigGetBool("", g->name, g->def != 0) ? 1 : 0;
  return ConfigGetNumber("", g->name, g->def);
}

bool GetGeneralBool(const char* name) { return GetGeneralNumber(name) != 0; }

std::string GetGeneralString(const char* name) {
  const GeneralValue* g = FindGeneralValue(name);
  if (g == nullptr) return "";
  if (g->kind == VK::kDirectory) return ConfigGetDirectoryPath("", g->name);
  return ConfigGetText("", g->name, g->text ? g->text : "", nullptr, nullptr, size_t(g->max));
}

Settings& ServerSettings() {
  static Settings settings;
  return settings;
}

void LoadProductValues(Settings& s) {
  s.productName = BrandingValue("Service Name", "");
  if (s.productName.empty()) s.productName = std::string(kProductBaseName) + "95";
  s.productDescription = BrandingValue("Service Description", "");
  if (s.productDescription.empty()) s.productDescription = kFileDescription;
  s.productVersion = kProductVersion;
  s.aboutText = BrandingValue("About Text",
                              "Corvel: mail for one host. Support by mail, telephone and web; "
                              "see the values SupportMail, SupportPhone and SupportWWW.");
  s.legalText = BrandingValue("Legal Text", "");
  s.serviceIcon = BrandingValue("Service Icon", "");
  s.helpName = BrandingValue("Help Name", "corvel95.hlp");
  s.supportMail = BrandingValue("SupportMail", "postmaster@localhost");
  s.supportPhone = BrandingValue("SupportPhone", "");
  s.supportWww = BrandingValue("SupportWWW", "");
  s.softwareName = s.productName + " V" + s.productVersion;
}

void LoadDirectories(Settings& s) {
  s.homeDirectory = HomeDirectory();
  s.userDirectory = GetGeneralString("UserDirectory");
  s.incomingDirectory = GetGeneralString("SystemIncoming");
  s.outgoingDirectory = GetGeneralString("SystemOutgoing");
}

void LoadHostAliases(Settings& s) {
  s.outgoingAlias = GetGeneralString("OutgoingAlias");
  s.incomingAlias = GetGeneralString("IncomingAlias");
  if (s.outgoingAlias.empty()) return;
  std::stringstream in(s.incomingAlias);
  std::string item;
  while (std::getline(in, item, ';'))
    if (strcasecmp(item.c_str(), s.outgoingAlias.c_str()) == 0) return;
  if (!s.incomingAlias.empty()) s.incomingAlias += ';';
  s.incomingAlias += s.outgoingAlias;
}

long ApplyForceConnectionChoices(long minutes) {
  static constexpr long kChoices[] = {5, 15, 30, 60, 120, 180, 240, 300, 360, 420, 480, 720, 1440};
  if (minutes < 5) minutes = 5;
  if (minutes > 480) minutes = 480;
  long picked = minutes;
  bool isChoice = false;
  for (long c : kChoices) isChoice = isChoice || c == minutes;
  if (!isChoice) {
    // The last choice in the list that is greater than the value: always 1440.
    for (long c : kChoices)
      if (c > minutes) picked = c;
  }
  return picked;
}

void LoadGeneralSettings(Settings& s) {
  s.localNode = GetGeneralString("LocalNode");
  s.localIp = GetGeneralString("LocalIP");
  s.smartHost = GetGeneralString("SmartHost");
  s.domainServer = GetGeneralString("DomainServer");
  if (s.domainServer.empty()) s.domainServer = DefaultDomainServer();
  s.bindAddress = GetGeneralString("BindAddress");
  s.relayNetworks = GetGeneralString("RelayNetworks");
  s.netAlwaysPresent = GetGeneralBool("NetAlwaysPresent");
  s.connectAtStart = GetGeneralBool("ConnectAtStart");
  s.forceConnectionTimeout = ApplyForceConnectionChoices(GetGeneralNumber("ForceConnectionTimeout"));
  s.forceConnectionMode = GetGeneralNumber("ForceConnectionMode");
  s.routeToLocal = GetGeneralBool("RouteToLocal");
  s.inQueueTime = GetGeneralNumber("InQueueTime");
  s.outQueueTime = GetGeneralNumber("OutQueueTime");
  s.connectionTime = GetGeneralNumber("ConnectionTime");
  s.routingMode = GetGeneralNumber("RoutingMode");
  s.retryLevelStart = GetGeneralNumber("RetryLevelStart");
  s.retryConstant = GetGeneralBool("RetryConstant");
  s.limitOutgoingMessages = GetGeneralNumber("LimitOutgoingMessages");
  // Absent (-1) means 50; 0 and 1 become 1; 250 or more become 250.
  long lr = GetGeneralNumber("LimitRecipients");
  s.limitRecipients = lr == -1 ? 50 : lr <= 1 ? 1 : lr >= 250 ? 250 : lr;
  s.limitMxRecords = GetGeneralNumber("LimitMxRecords");
  s.evaluateSubnets = GetGeneralBool("EvaluateSubnets");
  s.disableDnsLookup = GetGeneralBool("DisableDNSLookup");
  s.disableSmarthost = GetGeneralBool("DisableSmarthost");
  s.forwardToSmarthost = GetGeneralBool("ForwardToSmarthost");
  s.useVelmontRouter = GetGeneralBool("UseVelmontRouter");
  s.useFromField = GetGeneralBool("UseFromField");
  s.useFourDigitYear = GetGeneralBool("UseFourDigitYear");
  s.doExpnAndVrfy = GetGeneralBool("DoExpnAndVrfy");
  s.verifyIncoming = GetGeneralBool("VerifyIncoming");
  s.replyWithForward = GetGeneralBool("ReplyWithForward");
  s.allowUnknown = GetGeneralBool("AllowUnknown");
  s.strictSmtpAdherence = GetGeneralBool("StrictSmtpAdherence");
  s.useEsmtpProtocol = GetGeneralBool("UseEsmtpProtocol");
  s.forceEsmtpProtocol = GetGeneralBool("ForceEsmtpProtocol");
  s.doEsmtpSize = GetGeneralBool("DoEsmtpSize");
  s.broadcastSize = GetGeneralBool("BroadcastSize");
  s.maxEsmtpSize = GetGeneralNumber("MaxEsmtpSize");
  s.notifyPartialRcv = GetGeneralBool("NotifyPartialRcv");
  s.dontSendPosArs = GetGeneralBool("DontSendPosArs");
  s.verifyNode = GetGeneralBool("VerifyNode");
  s.showActivity = GetGeneralBool("ShowActivity");
  s.use3dControls = GetGeneralBool("Use3dControls");
  s.stopAfterCriticalErrors = GetGeneralNumber("StopAfterCriticalErrors");
  s.sysAccess = GetGeneralNumber("SysAccess");
  s.sysAccessDef = GetGeneralNumber("SysAccessDef");
  s.sysOptSmtp = GetGeneralNumber("SysOptSmtp");
  s.sysOptSmtpOut = GetGeneralNumber("SysOptSmtpOut");
  s.sysOptPop = GetGeneralNumber("SysOptPop");
  s.sysOptPswd = GetGeneralNumber("SysOptPswd");
  s.sysOptCtrl = GetGeneralNumber("SysOptCtrl");
  s.sysOptRmcp = GetGeneralNumber("SysOptRmcp");
  s.sysOptFngr = GetGeneralNumber("SysOptFngr");
  s.sysOptHttp = GetGeneralNumber("SysOptHttp");
  s.httpConsole = GetGeneralBool("HttpConsole");
  s.sysOptRFngr = GetGeneralNumber("SysOptRFngr");
  s.sysOptForce = GetGeneralNumber("SysOptForce");
  s.sysOptForceName = GetGeneralString("SysOptForceName");
  s.sysOptFgrNoUser = GetGeneralString("SysOptFgrNoUser");
  s.sysOptFgrErr = GetGeneralString("SysOptFgrErr");
  s.useTls = GetGeneralBool("UseTls");
  s.tlsCertificateFile = GetGeneralString("TlsCertificateFile");
  s.tlsKeyFile = GetGeneralString("TlsKeyFile");
  s.smtpAuthClearLoopback = GetGeneralBool("SmtpAuthClearLoopback");
  s.useSubmission = GetGeneralBool("UseSubmission");
  s.sysOptSubmission = GetGeneralNumber("SysOptSubmission");
  s.useSmtps = GetGeneralBool("UseSmtps");
  s.sysOptSmtps = GetGeneralNumber("SysOptSmtps");
  s.usePop3s = GetGeneralBool("UsePop3s");
  s.sysOptPop3s = GetGeneralNumber("SysOptPop3s");
  s.pop3RequireTls = GetGeneralBool("Pop3RequireTls");
  s.useImap = GetGeneralBool("UseImap");
  s.sysOptImap = GetGeneralNumber("SysOptImap");
  s.useImaps = GetGeneralBool("UseImaps");
  s.sysOptImaps = GetGeneralNumber("SysOptImaps");
  s.smtpRequireTls = GetGeneralBool("SmtpRequireTls");
  s.mailUser = GetGeneralString("MailUser");
}

int EffectivePort(long stored, int defaultPort) {
  if (stored <= 0 || stored > 65535) return defaultPort;
  return int(stored);
}

int SmtpPort(const Settings& s) {
  if (s.sysOptSmtp > 0 && s.sysOptSmtp <= 65535) return int(s.sysOptSmtp);
  servent* se = getservbyname("smtp", "tcp");
  return se ? ntohs(uint16_t(se->s_port)) : 25;
}

int PopPort(const Settings& s) { return EffectivePort(s.sysOptPop, 110); }
int SubmissionPort(const Settings& s) { return EffectivePort(s.sysOptSubmission, 587); }
int SmtpsPort(const Settings& s) { return EffectivePort(s.sysOptSmtps, 465); }
int Pop3sPort(const Settings& s) { return EffectivePort(s.sysOptPop3s, 995); }
int ImapPort(const Settings& s) { return EffectivePort(s.sysOptImap, 143); }
int ImapsPort(const Settings& s) { return EffectivePort(s.sysOptImaps, 993); }
int FingerPort(const Settings& s) { return EffectivePort(s.sysOptFngr, 79); }
int RemoteFingerPort(const Settings& s) { return EffectivePort(s.sysOptRFngr, 79); }
int RmcpPort(const Settings& s) { return EffectivePort(s.sysOptRmcp, 50); }
int PasswordPort(const Settings& s) { return EffectivePort(s.sysOptPswd, 106); }
int ControlPort(const Settings& s) { return EffectivePort(s.sysOptCtrl, 107); }
int HttpPort(const Settings& s) { return EffectivePort(s.sysOptHttp, 8025); }

std::string DefaultDomainServer(const char* resolvConf) {
  std::ifstream in(resolvConf ? resolvConf : "/etc/resolv.conf");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string word, server;
    if (words >> word >> server && word == "nameserver") return server;
  }
  return "127.0.0.1";
}
