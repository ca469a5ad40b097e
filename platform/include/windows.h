/* The platform's API as one include, as its callers expect. */
#ifndef TONWELL_WINDOWS_H
#define TONWELL_WINDOWS_H

#include "windef.h"
#include "winerror.h"
#include "winnt.h"
#include "winbase.h"
#include "libloaderapi.h"
#include "winnls.h"
#include "winreg.h"
#include "sddl.h"
#include "unknwn.h"
#include "oaidl.h"
#include "oleauto.h"
#include "objbase.h"
#include "winver.h"

#endif
