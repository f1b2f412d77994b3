// A table of functions taken from a shared library at run time, so that a
// program that does not need the library neither maps nor pays for it. The
// functions are named once, in an X-macro list, which makes both the table
// (each entry with the type the library's header declares) and the binding:
//
//   #define SSL_FUNCTIONS(F) F(SSL_new) F(SSL_free)
//   struct SslApi { SSL_FUNCTIONS(DL_TABLE_ENTRY) };
//   bool bind(void* library, SslApi& table) { return true SSL_FUNCTIONS(DL_TABLE_BIND); }
//   DlLoad loaded = dl_load_table("libssl.so.3", [&](void* library) { return bind(library, api); });
#pragma once

#include <dlfcn.h>

#include <string>

#define DL_TABLE_ENTRY(name) decltype(&::name) name = nullptr;
// Needs `library` (the handle) and `table` in scope.
#define DL_TABLE_BIND(name) &&dl_bind(library, #name, table.name)

template <typename Function>
bool dl_bind(void* library, const char* name, Function& slot) {
  slot = reinterpret_cast<Function>(dlsym(library, name));
  return slot != nullptr;
}

enum class DlStatus { loaded, no_library, missing_function };

struct DlLoad {
  DlStatus status = DlStatus::no_library;
  std::string error;  // dlerror's text when the status is not loaded
};

// Opens the library and has bind fill the table. A library that lacks a
// function is closed again; a loaded one stays loaded for the life of the
// process, so that its own exit handlers stay valid.
template <typename Bind>
DlLoad dl_load_table(const char* library_name, Bind bind) {
  void* library = dlopen(library_name, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    return {DlStatus::no_library, why != nullptr ? why : "unknown error"};
  }
  if (bind(library)) return {DlStatus::loaded, ""};
  const char* why = dlerror();
  DlLoad missing{DlStatus::missing_function, why != nullptr ? why : "unknown error"};
  dlclose(library);
  return missing;
}
