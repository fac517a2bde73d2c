// Shared libraries loaded by path at run time (custom mailbox plug-ins): the
// stand-in for loading and freeing a library and looking up its entry points.
// This is the only code that calls dlopen.
#pragma once

#include <string>
#include <utility>

// A loaded library; unloaded (dlclose) when destroyed or reset. Never kept
// resident: every load is matched by exactly one unload.
class LoadedLibrary {
 public:
  LoadedLibrary() = default;
  LoadedLibrary(LoadedLibrary&& o) noexcept : handle_(std::exchange(o.handle_, nullptr)) {}
  LoadedLibrary& operator=(LoadedLibrary&& o) noexcept {
    if (this != &o) {
      reset();
      handle_ = std::exchange(o.handle_, nullptr);
    }
    return *this;
  }
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  ~LoadedLibrary() { reset(); }
  bool loaded() const { return handle_ != nullptr; }
  void reset();

 private:
  friend bool LoadLibraryByPath(const std::string&, LoadedLibrary&, std::string&);
  friend void* FindLibraryEntry(const LoadedLibrary&, const char*);
  void* handle_ = nullptr;
};

// Loads the library at `path` with every symbol bound at once and nothing made
// global (RTLD_NOW | RTLD_LOCAL). Only an absolute path is taken, so the library
// search path is never consulted. False with `why` (the loader's own text).
bool LoadLibraryByPath(const std::string& path, LoadedLibrary& out, std::string& why);

// The address of the exported entry point `name`, or null.
void* FindLibraryEntry(const LoadedLibrary& library, const char* name);
