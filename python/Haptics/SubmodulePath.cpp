#include "SubmodulePath.h"

#include <dlfcn.h>

#include <string>

namespace py = pybind11;

namespace Orvex::HardwareAPI::Python {

void add_submodule_path(py::module_& module) {
  // The module's own file is known to the loader only once this body returns; the shared object
  // that holds this function is that file.
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&add_submodule_path), &info) == 0 || !info.dli_fname)
    return;
  const std::string file = info.dli_fname;
  const std::string folder = file.substr(0, file.find_last_of('/') + 1);
  py::list path;
  path.append(folder + module.attr("__name__").cast<std::string>());
  module.attr("__path__") = path;
}

}  // namespace Orvex::HardwareAPI::Python
