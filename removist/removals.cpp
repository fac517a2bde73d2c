#include "removist/removals.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"

namespace {

constexpr const char* kRemoveFile = "remove-file ";
constexpr const char* kRemoveTree = "remove-tree ";
constexpr const char* kRemoveKey = "remove-key ";
constexpr const char* kKeyTop = "software\\tollgrove\\";

enum class Kind { kFile, kTree };

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string Argument(const std::string& item, const char* prefix) {
  std::string arg = item.substr(std::strlen(prefix));
  if (arg.size() >= 2 && arg.front() == '"' && arg.back() == '"') arg = arg.substr(1, arg.size() - 2);
  return arg;
}

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    std::string part = path.substr(start, slash == std::string::npos ? slash : slash - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

std::string Join(const std::vector<std::string>& parts, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += "/" + parts[i];
  return out.empty() ? "/" : out;
}

// `path` (absolute, without "..") is the root or lies below it.
bool Inside(const std::string& path, const std::string& root) {
  if (path == root) return true;
  return path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// The real path of an open directory.
std::string PathOfFd(int fd) {
  char buf[PATH_MAX];
  ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  buf[n] = 0;
  return buf;
}

// Lexical normalisation of an absolute path ("." and ".." resolved by name).
std::string Normalize(const std::string& path) {
  std::vector<std::string> out;
  for (const std::string& p : Components(path)) {
    if (p == "..") {
      if (!out.empty()) out.pop_back();
    } else {
      out.push_back(p);
    }
  }
  return Join(out, out.size());
}

// Removes the entry `name` of the directory `dirFd` and, for a directory, all
// below it; never follows a link. False with errno set on failure.
bool RemoveTreeAt(int dirFd, const char* name) {
  struct stat st;
  if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlinkat(dirFd, name, 0) == 0 || errno == ENOENT;
  int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return false;
  }
  std::vector<std::string> entries;
  while (dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) entries.push_back(e->d_name);
  }
  bool ok = true;
  for (const std::string& entry : entries) ok = RemoveTreeAt(::dirfd(dir), entry.c_str()) && ok;
  ::closedir(dir);
  return ok && (::unlinkat(dirFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT);
}

OwnRemoval Refuse(const std::string& text, std::string& why) {
  why = text;
  return OwnRemoval::kRefused;
}

OwnRemoval RemovePath(Kind kind, const std::string& given, const std::string& installRoot, std::string& why) {
  if (installRoot.empty() || installRoot[0] != '/') return Refuse("the product has no InstallRoot", why);
  std::string root = RealPath(installRoot);
  std::string lexicalRoot = Normalize(installRoot);
  if (root == "/" || lexicalRoot == "/") return Refuse("InstallRoot is \"/\"", why);
  for (const std::string& part : Components(given))
    if (part == "..") return Refuse(given + ": \"..\" is not allowed", why);
  std::string path = given.empty() || given[0] != '/' ? lexicalRoot + "/" + given : given;
  path = Normalize(path);
  if (!Inside(path, lexicalRoot) && (root.empty() || !Inside(path, root)))
    return Refuse(given + " is outside " + installRoot, why);
  if (root.empty()) return OwnRemoval::kDone;  // the root is gone, and all below it
  // Work from the real root: the part below it, component by component.
  std::string below = Inside(path, lexicalRoot) ? path.substr(lexicalRoot.size()) : path.substr(root.size());
  std::vector<std::string> parts = Components(below);
  if (parts.empty()) {
    if (kind == Kind::kFile) return Refuse(given + " is the install root itself", why);
    parts = Components(root);
    std::string parent = Join(parts, parts.size() - 1);
    UniqueFd fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid() || !RemoveTreeAt(fd.get(), parts.back().c_str())) {
      why = given + ": " + std::strerror(errno);
      return OwnRemoval::kFailed;
    }
    return OwnRemoval::kDone;
  }
  std::string parentReal = RealPath(root + Join(parts, parts.size() - 1));
  if (parentReal.empty()) return OwnRemoval::kDone;  // a directory on the way is gone
  if (!Inside(parentReal, root)) return Refuse(given + " leads outside " + installRoot, why);
  UniqueFd dir(::open(parentReal.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  // The directory opened is the one checked, not one swapped in since.
  if (!dir.valid()) return errno == ENOENT ? OwnRemoval::kDone : Refuse(given + ": " + std::strerror(errno), why);
  if (!Inside(PathOfFd(dir.get()), root)) return Refuse(given + " leads outside " + installRoot, why);
  const std::string& name = parts.back();
  struct stat st;
  if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return OwnRemoval::kDone;
    why = given + ": " + std::strerror(errno);
    return OwnRemoval::kFailed;
  }
  if (S_ISLNK(st.st_mode)) {
    char target[PATH_MAX];
    ssize_t n = ::readlinkat(dir.get(), name.c_str(), target, sizeof target - 1);
    if (n < 0) return Refuse(given + ": " + std::strerror(errno), why);
    target[n] = 0;
    std::string to = target[0] == '/' ? std::string(target) : parentReal + "/" + target;
    std::string resolved = RealPath(to);
    if (resolved.empty()) resolved = Normalize(to);
    if (!Inside(resolved, root)) return Refuse(given + " is a link to outside " + installRoot, why);
    if (::unlinkat(dir.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
      why = given + ": " + std::strerror(errno);
      return OwnRemoval::kFailed;
    }
    return OwnRemoval::kDone;
  }
  bool ok;
  if (kind == Kind::kFile) {
    if (S_ISDIR(st.st_mode)) return Refuse(given + " is a directory", why);
    ok = ::unlinkat(dir.get(), name.c_str(), 0) == 0 || errno == ENOENT;
  } else {
    ok = RemoveTreeAt(dir.get(), name.c_str());
  }
  if (!ok) {
    why = given + ": " + std::strerror(errno);
    return OwnRemoval::kFailed;
  }
  return OwnRemoval::kDone;
}

OwnRemoval RemoveKey(const std::string& given, std::string& why) {
  std::string key = given;
  for (const char* prefix : {"HKEY_LOCAL_MACHINE\\", "HKLM\\"}) {
    if (key.size() >= std::strlen(prefix) && ::strncasecmp(key.c_str(), prefix, std::strlen(prefix)) == 0) {
      key = key.substr(std::strlen(prefix));
      break;
    }
  }
  // The folded path with doubled and trailing backslashes gone.
  std::string fold;
  for (char c : key) {
    if (c == '\\' && (fold.empty() || fold.back() == '\\')) continue;
    fold += (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
  }
  while (!fold.empty() && fold.back() == '\\') fold.pop_back();
  std::string top = kKeyTop;
  if (fold.size() <= top.size() || fold.compare(0, top.size(), top) != 0)
    return Refuse(given + " is not below SOFTWARE\\Tollgrove", why);
  if (!RegKeyExists(key)) return OwnRemoval::kDone;
  if (!RegDeleteKeyTree(key)) {
    why = given + ": " + RegLastErrorText();
    return OwnRemoval::kFailed;
  }
  return OwnRemoval::kDone;
}

}  // namespace

OwnRemoval RunOwnRemoval(const std::string& item, const std::string& installRoot, std::string& why) {
  if (StartsWith(item, kRemoveFile)) return RemovePath(Kind::kFile, Argument(item, kRemoveFile), installRoot, why);
  if (StartsWith(item, kRemoveTree)) return RemovePath(Kind::kTree, Argument(item, kRemoveTree), installRoot, why);
  if (StartsWith(item, kRemoveKey)) return RemoveKey(Argument(item, kRemoveKey), why);
  return OwnRemoval::kNotOwn;
}
