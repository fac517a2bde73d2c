// The TLS certificate at start-up and on SIGUSR1, and giving up root.
#include "server/main/tls_setup.h"

#include <sys/stat.h>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/privileges.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/net/net_tls.h"

namespace {

constexpr const char* kTlsDirectory = "tls";
constexpr const char* kDefaultChain = "cert.pem";
constexpr const char* kDefaultKey = "key.pem";

// When this process began: what it made as root from then on it may hand over.
const timespec gProcessStart = RealTimeNow();

bool Exists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0;
}

// The two files to load, making the self-signed pair when neither is configured.
bool CertificateFiles(std::string& chain, std::string& key, std::string& why) {
  const Settings& st = ServerSettings();
  chain = st.tlsCertificateFile;
  key = st.tlsKeyFile;
  if (chain.empty() != key.empty()) {
    why = "TlsCertificateFile and TlsKeyFile must be set together.";
    return false;
  }
  if (!chain.empty()) return true;
  std::string dir = HomeDirectory() + kTlsDirectory;
  chain = dir + "/" + kDefaultChain;
  key = dir + "/" + kDefaultKey;
  if (Exists(chain) && Exists(key)) return true;
  if (!MakeDirectories(dir, 0700, &why)) return false;
  if (!NetTlsMakeSelfSigned(st.localNode, chain, key, why)) return false;
  LogEvent(0, kLogAlways, "Made a self-signed TLS certificate for %s in %s.", st.localNode.c_str(),
           dir.c_str());
  return true;
}

bool LoadCertificate(std::string& why) {
  std::string chain, key;
  if (!CertificateFiles(chain, key, why)) return false;
  if (!NetTlsLoadServerCertificate(chain, key, why)) return false;
  LogEvent(0, kLogAlways, "TLS certificate %s, SHA-256 fingerprint %s", chain.c_str(),
           NetTlsFingerprint(chain).c_str());
  return true;
}

}  // namespace

bool SetUpTls(std::string& why) {
  if (!ServerSettings().useTls) return true;
  return LoadCertificate(why);
}

void ReloadTls() {
  if (!ServerSettings().useTls) return;
  std::string why;
  if (!LoadCertificate(why))
    LogEvent(0, kLogAlways, "TLS certificate not reloaded: %s", why.c_str());
}

bool DropRootPrivileges(std::string& why) {
  if (!RunningAsRoot()) return true;
  const std::string& user = ServerSettings().mailUser;
  if (user.empty()) {
    LogEvent(0, kLogAlways,
             "Warning: running as root: MailUser is empty. Set it (the default is corvel) to "
             "serve the network as an unprivileged user.");
    return true;
  }
  uid_t uid;
  gid_t gid;
  if (!LookUpSystemUser(user, uid, gid)) {
    why = "The mail user '" + user + "' does not exist. Create it with: useradd --system " +
          "--home-dir " + HomeDirectory() + " --shell /usr/sbin/nologin " + user;
    return false;
  }
  std::string home = HomeDirectory();
  if (home.size() > 1 && home.back() == '/') home.pop_back();
  std::string foreign = FindFileNotOwnedBy(home, uid, gProcessStart);
  if (!foreign.empty()) {
    why = "The file " + foreign + " does not belong to the mail user '" + user +
          "'. Give the home to it with: chown -R " + user + ": " + home;
    return false;
  }
  if (!SwitchToUser(uid, gid, why)) return false;
  LogEvent(0, kLogAlways, "Running as the mail user %s (uid %u).", user.c_str(), unsigned(uid));
  return true;
}
