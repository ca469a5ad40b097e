// The registration script interpreter: runs a script of nested key blocks against the
// registry, creating keys and values (register mode) or removing what the script names
// while sparing shared keys (unregister mode).
//
// CScriptRegistrar holds the replacements (%NAME% variables) and runs scripts:
//   AddReplacement(name, value)   copies both; duplicates are kept, the first one found
//                                 wins. S_OK, or E_OUTOFMEMORY with the list unchanged.
//   FindReplacement(name)         the value of the first pair whose name matches without
//                                 regard to case, or null.
//   RunScriptResource(file, id, type, register)
//                                 reads resource (type, id) of the module file without
//                                 running it and runs its bytes as RunScriptBytes does.
//                                 HRESULT_FROM_WIN32 of the last error when the file or
//                                 resource cannot be read.
//   RunScriptBytes(bytes, cb, register)
//                                 the script is the bytes up to the first zero byte or cb,
//                                 in the system ANSI code page; text that does not convert
//                                 gives E_POINTER (the script counts as missing).
//
// CScriptParser runs one script for one registrar: RunScript(text, register). Results:
//   S_OK for a script whose every hive section succeeded (an empty text too);
//   DISP_E_EXCEPTION for a syntax error, an unknown variable, hive or type, a key that
//   cannot be created while registering, or nesting deeper than kMaxBlockDepth;
//   E_FAIL for a variable name over 31 characters, a "B" value of odd length, or a
//   "LocalServer32" string over 4094 characters; E_OUTOFMEMORY; the conversion's
//   result for a "D" value that is not an unsigned 32-bit number; HRESULT_FROM_WIN32
//   of a status when a value cannot be deleted while unregistering.
//   A failure while registering walks the failed hive section again in unregister
//   mode, so its keys left without subkeys are removed; earlier sections stay. A
//   failure while unregistering ends the run; what was deleted stays deleted.
//
// Threading: no locks. A registrar and its parsers belong to the calling thread for
// the duration of one call.
#pragma once

#include <windows.h>

class CScriptParser;

class CScriptRegistrar {
public:
    CScriptRegistrar();
    ~CScriptRegistrar();
    CScriptRegistrar(const CScriptRegistrar&) = delete;
    CScriptRegistrar& operator=(const CScriptRegistrar&) = delete;

    HRESULT AddReplacement(LPCOLESTR pszName, LPCOLESTR pszValue);
    LPCOLESTR FindReplacement(LPCOLESTR pszName) const;
    void ClearReplacements();

    HRESULT RunScriptResource(LPCOLESTR pszFileName, WORD wResourceId, LPCOLESTR pszType, BOOL bRegister);
    HRESULT RunScriptBytes(const char* pBytes, DWORD cbBytes, BOOL bRegister);

private:
    struct Replacement {
        LPOLESTR pszName;
        LPOLESTR pszValue;
        Replacement* pNext;
    };
    // Ordered as added: m_Replacements is the first pair, m_pLastReplacement the last.
    Replacement* m_Replacements;
    Replacement* m_pLastReplacement;
};

class CScriptParser {
public:
    explicit CScriptParser(CScriptRegistrar* pRegistrar);

    HRESULT RunScript(LPCOLESTR pszScript, BOOL bRegister);

    // The steps of a run; public so that each can be exercised on its own.
    HRESULT ExpandVariables(LPCOLESTR pszText, LPOLESTR* ppszExpanded);
    void SkipBlanks();
    HRESULT ReadToken(LPOLESTR pszToken);
    HRESULT SkipAssignment(LPOLESTR pszToken);
    HRESULT ProcessBlock(LPOLESTR pszToken, HKEY hkeyParent, BOOL bRegister, BOOL bSkip);
    HRESULT WriteValue(HKEY hkey, LPCOLESTR pszValueName, LPOLESTR pszToken, BOOL bQuoteModule);

    static HKEY HiveFromName(LPCOLESTR pszName);
    // REG_SZ, REG_DWORD or REG_BINARY; REG_NONE for a letter the language does not know.
    static DWORD ValueTypeFromName(LPCOLESTR pszName);
    static bool IsProtectedKey(LPCOLESTR pszName);
    static LONG DeleteKeyTree(HKEY hkeyParent, LPCOLESTR pszName);
    static bool HasSubkeys(HKEY hkey);

    // Token buffers hold this many code units: a token is at most kMaxToken - 2 long.
    static const int kMaxToken = 4096;
    // Blocks are walked recursively at most this deep; a deeper script fails with
    // DISP_E_EXCEPTION. The registry holds keys at most TONWELL_REG_MAX_DEPTH deep, so
    // registering fails at a key that cannot be created before this bound is reached,
    // and removing reads over blocks below a key that does not exist (skip mode)
    // without recursion: the bound only keeps the stack safe.
    static const int kMaxBlockDepth = TONWELL_REG_MAX_DEPTH + 8;

    LPCOLESTR m_pszCursor;
    CScriptRegistrar* m_pRegistrar;

private:
    HRESULT ProcessRegisterBlock(LPOLESTR pszToken, HKEY hkeyParent, int nDepth);
    HRESULT ProcessUnregisterBlock(LPOLESTR pszToken, HKEY hkeyParent, BOOL bSkip, int nDepth);
    // Reads over a block whose opening token is in pszToken, as skip mode walks it,
    // leaving its closing token there. Iterative, so nesting depth costs no stack.
    HRESULT SkipBlock(LPOLESTR pszToken);
    HRESULT ProcessBlockAt(LPOLESTR pszToken, HKEY hkeyParent, BOOL bRegister, BOOL bSkip, int nDepth);
};
