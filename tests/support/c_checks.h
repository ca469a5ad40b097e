/* Checks for the test programs written in plain C: each check prints one line
 * ("ok  : what" or "FAIL: what") to standard output and failures are counted;
 * CheckSummary prints the count and gives the exit status (0 when all passed).
 * Single-threaded: the count is a plain static of the including program.
 * Include it after a header that declares HRESULT (TonwellObj.h does). */
#ifndef TONWELL_TEST_C_CHECKS_H
#define TONWELL_TEST_C_CHECKS_H

#include <stdio.h>

static int g_failures;

static inline void Check(int ok, const char* what)
{
    printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok)
        ++g_failures;
}

static inline void CheckHr(HRESULT hr, HRESULT expected, const char* what)
{
    char line[256];
    snprintf(line, sizeof line, "%s (0x%08X, expected 0x%08X)", what, (unsigned)hr, (unsigned)expected);
    Check(hr == expected, line);
}

static inline int CheckSummary(void)
{
    printf("%d check(s) failed\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}

#endif
