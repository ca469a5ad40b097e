#pragma once

#include <windef.h>

namespace tonwell::platform::kernel {

// The calling thread's kernel id, cached per thread (and reset in a fork child).
DWORD CurrentThreadId();

} // namespace tonwell::platform::kernel
