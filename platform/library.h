// Dynamic libraries: the stand-ins for LoadLibrary, GetProcAddress and FreeLibrary
// over dlopen. Entry points have C linkage and the names the caller gives.
#pragma once

#include <string>

// One loaded library; unloaded when the handle goes.
class LoadedLibrary {
 public:
  LoadedLibrary() = default;
  LoadedLibrary(LoadedLibrary&& o) noexcept;
  LoadedLibrary& operator=(LoadedLibrary&& o) noexcept;
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  ~LoadedLibrary();
  bool loaded() const { return handle_ != nullptr; }
  void* handle() const { return handle_; }
  void reset(void* handle = nullptr);

 private:
  void* handle_ = nullptr;
};

// Loads the library at `path` (a path, never looked up elsewhere: a name without
// '/' is taken in the current directory). False with `why` (the loader's text).
bool LoadLibraryFile(const std::string& path, LoadedLibrary& out, std::string& why);
// The address of the exported function `name`, or null when there is none.
void* FindLibraryFunction(const LoadedLibrary& library, const std::string& name);
