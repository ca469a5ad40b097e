#include <windows.h>

#ifdef TONWELL_PLUG_UNRESOLVED
/* Never defined anywhere: loading this module must fail. */
extern int TonwellTestNoSuchFunction(void);
DECLSPEC_EXPORT int PlugMissing(void) { return TonwellTestNoSuchFunction(); }
#endif

DECLSPEC_EXPORT const char* PlugName(void) { return TONWELL_PLUG_NAME; }

static HMODULE volatile g_lastLoaded;

/* Loads a module by name from inside this module, so its folder is searched
 * first. Not a tail call: the loader finds its caller by return address. */
DECLSPEC_EXPORT HMODULE PlugLoad(LPCWSTR name)
{
    g_lastLoaded = LoadLibraryW(name);
    return g_lastLoaded;
}
