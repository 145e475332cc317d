#pragma once

#include <string>

// Loading a shared library at run time (a DLL on Windows) and finding a
// function it exports.

namespace platform {

// The address of `function`, or null with `error` saying why: the system's
// text when the file cannot be loaded, or that the library lacks the function
// (libraryLoaded; it is then unloaded again). A file given with a folder is loaded with its
// own dependencies looked for beside it; a bare file name is looked for along
// the system's search path. A library found stays loaded for the process's
// life. Never raises.
struct LibraryFunction {
  void* address = nullptr;
  bool libraryLoaded = false;  // the file loaded, but lacks the function
  std::string error;
};
LibraryFunction LoadLibraryFunction(const std::string& file, const std::string& function);

}  // namespace platform
