#pragma once

#include <windows.h>

#include <string>

#include "RuntimeError.h"

namespace tidewell {

// The entry points the programs declare are bound by name when first called, as the product
// always did: a missing library or entry point is then a run-time error of that call, not a
// program that refuses to start.

// The module `libraryName`, loaded on first use. Raises the missing-library error when it
// cannot be loaded.
inline HMODULE LoadLibraryOrRaise(const char* libraryName) {
  const HMODULE module = LoadLibraryA(libraryName);
  if (module == nullptr) {
    throw RuntimeError(kErrMissingLibrary, std::string("Error in loading DLL: ") + libraryName);
  }
  return module;
}

// The entry point `name` of `module` as a pointer of the declared type `Function`. Raises the
// missing-library error when the library has no such entry point.
template <class Function>
Function EntryPointOrRaise(HMODULE module, const char* libraryName, const char* name) {
  const FARPROC address = GetProcAddress(module, name);
  if (address == nullptr) {
    throw RuntimeError(kErrMissingLibrary,
                       std::string("Can't find DLL entry point ") + name + " in " + libraryName);
  }
  // void (*)() converts to and from every function pointer type without a cast-function-type
  // warning; FARPROC's own signature is meaningless.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// An entry point of a library that may be missing on older systems; null when it is.
template <class Function>
Function OptionalEntryPoint(const wchar_t* moduleName, const char* name) {
  const HMODULE module = GetModuleHandleW(moduleName);
  if (module == nullptr) return nullptr;
  const FARPROC address = GetProcAddress(module, name);
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

}  // namespace tidewell
