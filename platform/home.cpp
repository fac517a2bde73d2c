#include "platform/home.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/registry.h"

namespace {

constexpr const char* kDefaultHome = "/var/lib/corvel";
constexpr const char* kRegistryFileName = "registry.db";

std::string& HomeStore() {
  static std::string home;
  return home;
}

// The user directory becomes the current directory at start-up, so a relative
// home or registry path is fixed against the directory we were started in.
std::string MakeAbsolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[4096];
  if (!::getcwd(cwd, sizeof cwd)) return path;
  std::string out = cwd;
  if (out.back() != '/') out += '/';
  if (path == ".") return out;
  if (path.compare(0, 2, "./") == 0) return out + path.substr(2);
  return out + path;
}

std::string WithSlash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

const char* NonEmpty(const char* s) { return s && *s ? s : nullptr; }

}  // namespace

std::string ResolveHomeDirectory(const char* fromCommandLine) {
  const char* dir = NonEmpty(fromCommandLine);
  if (!dir) dir = NonEmpty(std::getenv("CORVEL_HOME"));
  if (!dir) dir = kDefaultHome;
  return WithSlash(MakeAbsolute(dir));
}

std::string ResolveRegistryPath(const char* fromCommandLine, const std::string& home) {
  const char* file = NonEmpty(fromCommandLine);
  if (!file) file = NonEmpty(std::getenv("CORVEL_REGISTRY"));
  if (file) return RegLocationIsDatabase(file) ? std::string(file) : MakeAbsolute(file);
  return WithSlash(home) + kRegistryFileName;
}

const std::string& HomeDirectory() {
  std::string& home = HomeStore();
  if (home.empty()) home = ResolveHomeDirectory(nullptr);
  return home;
}

void SetHomeDirectory(const std::string& home) { HomeStore() = WithSlash(MakeAbsolute(home)); }

bool TakeLocationOptions(int& argc, char** argv, std::string& home, std::string& registry,
                         std::string& why) {
  struct Option {
    const char* name;
    std::string* target;
  };
  const Option options[] = {{"--home", &home}, {"--registry", &registry}};
  int out = argc > 0 ? 1 : 0;
  for (int i = out; i < argc; ++i) {
    const char* arg = argv[i];
    bool taken = false;
    for (const Option& o : options) {
      size_t len = std::strlen(o.name);
      if (std::strncmp(arg, o.name, len) != 0) continue;
      if (arg[len] == '=') {
        *o.target = arg + len + 1;
      } else if (arg[len] == 0) {
        if (i + 1 >= argc) {
          why = std::string(o.name) + " needs a value";
          return false;
        }
        *o.target = argv[++i];
      } else {
        continue;  // "--homely" is someone else's word
      }
      if (o.target->empty()) {
        why = std::string(o.name) + " needs a value";
        return false;
      }
      taken = true;
      break;
    }
    if (!taken) argv[out++] = argv[i];
  }
  argc = out;
  if (argv) argv[argc] = nullptr;
  return true;
}
