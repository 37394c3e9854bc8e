// Compiled, never run, by a 32-bit Windows compiler: the static checks in the header
// hold the 32-bit record sizes there (28 and 5).
#include "device/win32/setupapi_records.h"

static_assert(sizeof(void*) == 4, "compile this file for 32-bit Windows");
