"""The exact text of pybind11's cast error for the module as built.

pybind11 2.11 and later name the Python type in the plain message and end it
with their standard advice. Older releases name the type only with
PYBIND11_DETAILED_ERROR_MESSAGES, which ends the message with the C++ type
instead; the build defines the macro for those alone. `make test` tells each
leg the pybind11 version its module was built with (QUADLITE_PYBIND11); run
by hand without it, the tests accept either form, but only exactly.
"""
import os

PREFIX = "Unable to cast Python instance of type "
ADVICE = (" to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug "
          "mode for details)")
BOOL = "bool"
UINT64 = "unsigned long"  # std::uint64_t on LP64 Linux


def built_with():
    """(major, minor) of the pybind11 the module was built with, or None."""
    version = os.environ.get("QUADLITE_PYBIND11", "")
    return tuple(int(part) for part in version.split(".")[:2]) if version else None


def messages(value, cpp_type):
    """The message(s) a failed cast of `value` to `cpp_type` may read here."""
    python_type = str(type(value))
    plain = PREFIX + python_type + ADVICE
    detailed = f"{PREFIX}{python_type} to C++ type '{cpp_type}'"
    version = built_with()
    if version is None:
        return {plain, detailed}
    return {detailed} if version < (2, 11) else {plain}
