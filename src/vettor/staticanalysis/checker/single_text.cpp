// Linting one source text held in memory instead of files on disk: `CodeLinter`, `FileItem`,
// `check_names` and the entry point `check_code`.
#include "checker.hpp"

namespace vettor::checker {

void register_single_text(py::module_& /*m*/) {}

}  // namespace vettor::checker
