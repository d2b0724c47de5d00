#include <vettor/pyutil.hpp>
namespace py = pybind11;
PYBIND11_MODULE(dependencies, m) { m.attr("placeholder") = 1; }
