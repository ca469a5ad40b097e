#ifndef TONWELL_WINREG_H
#define TONWELL_WINREG_H

#include "windef.h"
#include "winerror.h"

#endif
