// Review suggestions: findings of a code review become review comments that carry
// suggested-change blocks with the fixed lines, or a disable pragma for the line.
#include "suggest.hpp"

namespace vettor::suggest {

ModuleRef G;

}  // namespace vettor::suggest

PYBIND11_MODULE(suggest, m) {
  using namespace vettor::suggest;
  G.bind(m);
  register_renderer(m);
  register_formatting(m);
  register_python(m);
  register_html(m);
  register_driver(m);
}
