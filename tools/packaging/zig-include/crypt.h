/* Python.h of CPython 3.7 and 3.8 includes <crypt.h>, which Zig's headers of the glibc 2.17
 * target do not have (libcrypt is a library of its own). The module never calls crypt(). */
#pragma once
