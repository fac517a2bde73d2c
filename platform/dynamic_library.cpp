#include "platform/dynamic_library.h"

#include <dlfcn.h>

void LoadedLibrary::reset() {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

bool LoadLibraryByPath(const std::string& path, LoadedLibrary& out, std::string& why) {
  out.reset();
  if (path.empty() || path[0] != '/') {
    why = "not an absolute path: " + path;
    return false;
  }
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* e = dlerror();
    why = e ? e : "unable to load " + path;
    return false;
  }
  out.handle_ = handle;
  return true;
}

void* FindLibraryEntry(const LoadedLibrary& library, const char* name) {
  if (!library.handle_) return nullptr;
  return dlsym(library.handle_, name);
}
