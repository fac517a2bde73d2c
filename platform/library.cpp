#include "platform/library.h"

#include <dlfcn.h>

#include <utility>

LoadedLibrary::LoadedLibrary(LoadedLibrary&& o) noexcept : handle_(std::exchange(o.handle_, nullptr)) {}

LoadedLibrary& LoadedLibrary::operator=(LoadedLibrary&& o) noexcept {
  if (this != &o) reset(std::exchange(o.handle_, nullptr));
  return *this;
}

LoadedLibrary::~LoadedLibrary() { reset(); }

void LoadedLibrary::reset(void* handle) {
  if (handle_) ::dlclose(handle_);
  handle_ = handle;
}

bool LoadLibraryFile(const std::string& path, LoadedLibrary& out, std::string& why) {
  out.reset();
  if (path.empty()) {
    why = "no library named";
    return false;
  }
  // dlopen searches the library path for a bare name; a name the operator wrote
  // means the file, so it is made a path first.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* h = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char* err = ::dlerror();
    why = err ? err : (path + ": cannot be loaded");
    return false;
  }
  out.reset(h);
  return true;
}

void* FindLibraryFunction(const LoadedLibrary& library, const std::string& name) {
  if (!library.loaded() || name.empty()) return nullptr;
  return ::dlsym(library.handle(), name.c_str());
}
