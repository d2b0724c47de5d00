#include <vettor/pyutil.hpp>
namespace py = pybind11;
PYBIND11_MODULE(meta, m) { m.attr("placeholder") = 1; }
