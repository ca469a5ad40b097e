#include "ScriptRegistrar.h"

#include <cstring>

namespace {

// Buffers up to this size live on the stack; larger ones come from the heap.
const DWORD kInlineBytes = 1024;

// The longest variable name between percent signs, and the longest "Val" name.
const int kMaxVariableName = 31;
const int kMaxValueName = 259;
// Key names are remembered for deletion up to this length; the store holds no longer
// name, so a longer one is never found and never deleted.
const int kMaxRememberedKeyName = 259;
// Subkey names met while a tree is deleted; the store's names are at most 255 long.
const DWORD kMaxSubkeyName = 256;

const WCHAR kLocalServer32[] = u"LocalServer32";
const WCHAR kModule[] = u"Module";

// The heap buffers of one operation, freed together when it ends, on every path.
class CHeapBuffers {
public:
    CHeapBuffers() = default;
    CHeapBuffers(const CHeapBuffers&) = delete;
    CHeapBuffers& operator=(const CHeapBuffers&) = delete;
    ~CHeapBuffers()
    {
        while (m_pFirst) {
            Node* pNext = m_pFirst->pNext;
            HeapFree(GetProcessHeap(), 0, m_pFirst);
            m_pFirst = pNext;
        }
    }

    // Zero-filled; null when memory runs out.
    void* Alloc(SIZE_T cb)
    {
        Node* pNode = static_cast<Node*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Node) + cb));
        if (!pNode)
            return nullptr;
        pNode->pNext = m_pFirst;
        m_pFirst = pNode;
        return pNode + 1;
    }

private:
    struct alignas(16) Node {
        Node* pNext;
    };
    Node* m_pFirst = nullptr;
};

// A key handle that is closed when it goes out of scope (or when another is put in).
class CKey {
public:
    CKey() = default;
    CKey(const CKey&) = delete;
    CKey& operator=(const CKey&) = delete;
    ~CKey() { Close(); }

    HKEY Get() const { return m_hkey; }
    HKEY* Receive()
    {
        Close();
        return &m_hkey;
    }
    LONG Close()
    {
        LONG lStatus = ERROR_SUCCESS;
        if (m_hkey)
            lStatus = RegCloseKey(m_hkey);
        m_hkey = nullptr;
        return lStatus;
    }

private:
    HKEY m_hkey = nullptr;
};

bool IsBlank(WCHAR ch)
{
    return ch == u'\t' || ch == u'\n' || ch == u'\r' || ch == u' ';
}

int Length(LPCOLESTR psz)
{
    int n = 0;
    while (psz[n])
        ++n;
    return n;
}

bool ContainsBackslash(LPCOLESTR psz)
{
    for (; *psz; ++psz) {
        if (*psz == u'\\')
            return true;
    }
    return false;
}

bool EqualsNoCase(LPCOLESTR a, LPCOLESTR b)
{
    return lstrcmpiW(a, b) == 0;
}

LPOLESTR CopyString(LPCOLESTR psz)
{
    const SIZE_T cb = (static_cast<SIZE_T>(Length(psz)) + 1) * sizeof(WCHAR);
    auto* pszCopy = static_cast<LPOLESTR>(HeapAlloc(GetProcessHeap(), 0, cb));
    if (pszCopy)
        std::memcpy(pszCopy, psz, cb);
    return pszCopy;
}

// The registrar sees only the Windows API, which has no digit-value call, so it
// keeps this small one; a character that is no hex digit counts as 0.
int HexDigit(WCHAR ch)
{
    if (ch >= u'0' && ch <= u'9')
        return ch - u'0';
    if (ch >= u'A' && ch <= u'F')
        return ch - u'A' + 10;
    if (ch >= u'a' && ch <= u'f')
        return ch - u'a' + 10;
    return 0;
}

struct HiveName {
    const WCHAR* pszLong;
    const WCHAR* pszShort;
    HKEY hkey;
};

const HiveName kHives[] = {
    {u"HKEY_CLASSES_ROOT", u"HKCR", HKEY_CLASSES_ROOT},
    {u"HKEY_CURRENT_USER", u"HKCU", HKEY_CURRENT_USER},
    {u"HKEY_LOCAL_MACHINE", u"HKLM", HKEY_LOCAL_MACHINE},
    {u"HKEY_USERS", u"HKU", HKEY_USERS},
    {u"HKEY_PERFORMANCE_DATA", u"HKPD", HKEY_PERFORMANCE_DATA},
    {u"HKEY_CURRENT_CONFIG", u"HKCC", HKEY_CURRENT_CONFIG},
    {u"HKEY_DYN_DATA", u"HKDD", HKEY_DYN_DATA},
};

struct ValueTypeName {
    const WCHAR* pszLetter;
    DWORD dwType;
};

const ValueTypeName kValueTypes[] = {
    {u"S", REG_SZ},
    {u"D", REG_DWORD},
    {u"B", REG_BINARY},
};

const WCHAR* const ProtectedKeyNames[] = {u"CLSID", u"TYPELIB"};

// "Val NAME =": the name into pszValueName (a buffer made from `heap` on first
// use), then the "=" into pszToken. With bRefuseLongName a name longer than a
// value name may be fails before the "=" is read.
HRESULT ReadValueEntry(CScriptParser& parser, CHeapBuffers& heap, LPOLESTR& pszValueName, LPOLESTR pszToken,
                       BOOL bRefuseLongName)
{
    if (!pszValueName) {
        pszValueName = static_cast<LPOLESTR>(heap.Alloc(CScriptParser::kMaxToken * sizeof(WCHAR)));
        if (!pszValueName)
            return E_OUTOFMEMORY;
    }
    HRESULT hr = parser.ReadToken(pszValueName);
    if (FAILED(hr))
        return hr;
    if (bRefuseLongName && Length(pszValueName) > kMaxValueName)
        return DISP_E_EXCEPTION;
    hr = parser.ReadToken(pszToken);
    if (FAILED(hr))
        return hr;
    return pszToken[0] == u'=' ? S_OK : DISP_E_EXCEPTION;
}

} // namespace

// ---------------------------------------------------------------------------------
// CScriptRegistrar

CScriptRegistrar::CScriptRegistrar() : m_Replacements(nullptr), m_pLastReplacement(nullptr) {}

CScriptRegistrar::~CScriptRegistrar()
{
    ClearReplacements();
}

HRESULT CScriptRegistrar::AddReplacement(LPCOLESTR pszName, LPCOLESTR pszValue)
{
    if (!pszName || !pszValue)
        return E_INVALIDARG;
    auto* pEntry = static_cast<Replacement*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Replacement)));
    if (!pEntry)
        return E_OUTOFMEMORY;
    pEntry->pszName = CopyString(pszName);
    pEntry->pszValue = pEntry->pszName ? CopyString(pszValue) : nullptr;
    if (!pEntry->pszValue) {
        if (pEntry->pszName)
            HeapFree(GetProcessHeap(), 0, pEntry->pszName);
        HeapFree(GetProcessHeap(), 0, pEntry);
        return E_OUTOFMEMORY;
    }
    if (m_pLastReplacement)
        m_pLastReplacement->pNext = pEntry;
    else
        m_Replacements = pEntry;
    m_pLastReplacement = pEntry;
    return S_OK;
}

LPCOLESTR CScriptRegistrar::FindReplacement(LPCOLESTR pszName) const
{
    for (const Replacement* pEntry = m_Replacements; pEntry; pEntry = pEntry->pNext) {
        if (EqualsNoCase(pEntry->pszName, pszName))
            return pEntry->pszValue;
    }
    return nullptr;
}

void CScriptRegistrar::ClearReplacements()
{
    while (m_Replacements) {
        Replacement* pNext = m_Replacements->pNext;
        HeapFree(GetProcessHeap(), 0, m_Replacements->pszName);
        HeapFree(GetProcessHeap(), 0, m_Replacements->pszValue);
        HeapFree(GetProcessHeap(), 0, m_Replacements);
        m_Replacements = pNext;
    }
    m_pLastReplacement = nullptr;
}

HRESULT CScriptRegistrar::RunScriptResource(LPCOLESTR pszFileName, WORD wResourceId, LPCOLESTR pszType,
                                            BOOL bRegister)
{
    HMODULE hModule = LoadLibraryExW(pszFileName, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!hModule)
        return HRESULT_FROM_WIN32(GetLastError());

    HRESULT hr;
    HRSRC hResource = FindResourceW(hModule, MAKEINTRESOURCEW(wResourceId), pszType);
    HGLOBAL hData = hResource ? LoadResource(hModule, hResource) : nullptr;
    const void* pData = hData ? LockResource(hData) : nullptr;
    if (!pData) {
        hr = HRESULT_FROM_WIN32(GetLastError());
        if (SUCCEEDED(hr)) // a loader that failed without saying why
            hr = E_FAIL;
    } else {
        hr = RunScriptBytes(static_cast<const char*>(pData), SizeofResource(hModule, hResource), bRegister);
    }
    FreeLibrary(hModule);
    return hr;
}

HRESULT CScriptRegistrar::RunScriptBytes(const char* pBytes, DWORD cbBytes, BOOL bRegister)
{
    if (!pBytes && cbBytes)
        return E_POINTER;
    DWORD cbText = 0;
    while (cbText < cbBytes && pBytes[cbText])
        ++cbText;

    CHeapBuffers heap;
    char szInline[kInlineBytes];
    char* pszText = szInline;
    if (cbText + 1 > sizeof(szInline)) {
        pszText = static_cast<char*>(heap.Alloc(static_cast<SIZE_T>(cbText) + 1));
        if (!pszText)
            return E_OUTOFMEMORY;
    }
    std::memcpy(pszText, pBytes, cbText);
    pszText[cbText] = '\0';

    // The system code page is UTF-8 here, where not every byte sequence is text: a
    // script that does not convert is refused rather than run with replaced characters,
    // which could name keys the script never meant.
    const int cchWide = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszText, static_cast<int>(cbText) + 1,
                                            nullptr, 0);
    if (cchWide <= 0)
        return E_POINTER;
    WCHAR szWideInline[kInlineBytes / sizeof(WCHAR)];
    LPWSTR pszWide = szWideInline;
    if (static_cast<DWORD>(cchWide) * sizeof(WCHAR) > sizeof(szWideInline)) {
        pszWide = static_cast<LPWSTR>(heap.Alloc(static_cast<SIZE_T>(cchWide) * sizeof(WCHAR)));
        if (!pszWide)
            return E_OUTOFMEMORY;
    }
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszText, static_cast<int>(cbText) + 1, pszWide,
                            cchWide) != cchWide)
        return E_POINTER;

    CScriptParser parser(this);
    return parser.RunScript(pszWide, bRegister);
}

// ---------------------------------------------------------------------------------
// CScriptParser

CScriptParser::CScriptParser(CScriptRegistrar* pRegistrar) : m_pszCursor(nullptr), m_pRegistrar(pRegistrar) {}

HRESULT CScriptParser::ExpandVariables(LPCOLESTR pszText, LPOLESTR* ppszExpanded)
{
    if (!pszText || !ppszExpanded)
        return E_POINTER;
    *ppszExpanded = nullptr;

    const HANDLE hHeap = GetProcessHeap();
    SIZE_T cchCapacity = static_cast<SIZE_T>(Length(pszText)) * 2 + 2;
    auto* pszOut = static_cast<LPOLESTR>(HeapAlloc(hHeap, 0, cchCapacity * sizeof(WCHAR)));
    if (!pszOut)
        return E_OUTOFMEMORY;
    SIZE_T cchOut = 0;

    auto append = [&](LPCOLESTR pszFrom, SIZE_T cch) -> bool {
        while (cchOut + cch + 1 > cchCapacity) {
            auto* pszGrown = static_cast<LPOLESTR>(HeapReAlloc(hHeap, 0, pszOut, cchCapacity * 2 * sizeof(WCHAR)));
            if (!pszGrown)
                return false;
            pszOut = pszGrown;
            cchCapacity *= 2;
        }
        std::memcpy(pszOut + cchOut, pszFrom, cch * sizeof(WCHAR));
        cchOut += cch;
        return true;
    };

    HRESULT hr = S_OK;
    m_pszCursor = pszText;
    while (*m_pszCursor) {
        if (*m_pszCursor != u'%') {
            if (!append(m_pszCursor, 1)) {
                hr = E_OUTOFMEMORY;
                break;
            }
            ++m_pszCursor;
            continue;
        }
        if (m_pszCursor[1] == u'%') {
            if (!append(m_pszCursor, 1)) {
                hr = E_OUTOFMEMORY;
                break;
            }
            m_pszCursor += 2;
            continue;
        }
        LPCOLESTR pszName = m_pszCursor + 1;
        LPCOLESTR pszEnd = pszName;
        while (*pszEnd && *pszEnd != u'%')
            ++pszEnd;
        if (!*pszEnd) {
            hr = DISP_E_EXCEPTION;
            break;
        }
        if (pszEnd - pszName > kMaxVariableName) {
            hr = E_FAIL;
            break;
        }
        WCHAR szName[kMaxVariableName + 1];
        std::memcpy(szName, pszName, (pszEnd - pszName) * sizeof(WCHAR));
        szName[pszEnd - pszName] = 0;
        LPCOLESTR pszValue = m_pRegistrar ? m_pRegistrar->FindReplacement(szName) : nullptr;
        if (!pszValue) {
            hr = DISP_E_EXCEPTION;
            break;
        }
        if (!append(pszValue, Length(pszValue))) {
            hr = E_OUTOFMEMORY;
            break;
        }
        m_pszCursor = pszEnd + 1;
    }

    if (SUCCEEDED(hr)) {
        const WCHAR chNul = 0;
        if (!append(&chNul, 1))
            hr = E_OUTOFMEMORY;
    }
    if (FAILED(hr)) {
        HeapFree(hHeap, 0, pszOut);
        return hr;
    }
    *ppszExpanded = pszOut;
    return S_OK;
}

void CScriptParser::SkipBlanks()
{
    while (*m_pszCursor && IsBlank(*m_pszCursor))
        ++m_pszCursor;
}

HRESULT CScriptParser::ReadToken(LPOLESTR pszToken)
{
    SkipBlanks();
    if (!*m_pszCursor)
        return DISP_E_EXCEPTION;

    const int cchMax = kMaxToken - 2;
    int cch = 0;
    if (*m_pszCursor != u'\'') {
        while (*m_pszCursor && !IsBlank(*m_pszCursor)) {
            if (cch >= cchMax)
                return DISP_E_EXCEPTION;
            pszToken[cch++] = *m_pszCursor++;
        }
    } else {
        ++m_pszCursor;
        for (;;) {
            if (!*m_pszCursor)
                return DISP_E_EXCEPTION;
            if (*m_pszCursor == u'\'') {
                if (m_pszCursor[1] != u'\'')
                    break;
                ++m_pszCursor; // a doubled quote stands for one
            }
            if (cch >= cchMax)
                return DISP_E_EXCEPTION;
            pszToken[cch++] = *m_pszCursor++;
        }
        ++m_pszCursor;
    }
    pszToken[cch] = 0;
    return S_OK;
}

HRESULT CScriptParser::SkipAssignment(LPOLESTR pszToken)
{
    if (pszToken[0] != u'=')
        return S_OK;
    HRESULT hr = ReadToken(pszToken); // the type letter
    if (FAILED(hr))
        return hr;
    SkipBlanks();
    hr = ReadToken(pszToken); // the value
    if (FAILED(hr))
        return hr;
    return ReadToken(pszToken);
}

HRESULT CScriptParser::RunScript(LPCOLESTR pszScript, BOOL bRegister)
{
    LPOLESTR pszExpanded = nullptr;
    HRESULT hr = ExpandVariables(pszScript, &pszExpanded);
    if (FAILED(hr))
        return hr;

    CHeapBuffers heap;
    auto* pszToken = static_cast<LPOLESTR>(heap.Alloc(kMaxToken * sizeof(WCHAR)));
    if (!pszToken) {
        HeapFree(GetProcessHeap(), 0, pszExpanded);
        return E_OUTOFMEMORY;
    }

    m_pszCursor = pszExpanded;
    while (*m_pszCursor) {
        hr = ReadToken(pszToken);
        if (FAILED(hr))
            break;
        HKEY hkeyHive = HiveFromName(pszToken);
        if (!hkeyHive) {
            hr = DISP_E_EXCEPTION;
            break;
        }
        hr = ReadToken(pszToken);
        if (FAILED(hr))
            break;
        if (pszToken[0] != u'{') {
            hr = DISP_E_EXCEPTION;
            break;
        }
        if (bRegister) {
            LPCOLESTR pszSection = m_pszCursor;
            hr = ProcessBlock(pszToken, hkeyHive, TRUE, FALSE);
            if (FAILED(hr)) {
                // Undo what the failed section wrote: walk it again in unregister mode.
                m_pszCursor = pszSection;
                ProcessBlock(pszToken, hkeyHive, FALSE, FALSE);
                break;
            }
        } else {
            hr = ProcessBlock(pszToken, hkeyHive, FALSE, FALSE);
            if (FAILED(hr))
                break;
        }
        SkipBlanks();
    }

    HeapFree(GetProcessHeap(), 0, pszExpanded);
    m_pszCursor = nullptr;
    return hr;
}

HRESULT CScriptParser::ProcessBlock(LPOLESTR pszToken, HKEY hkeyParent, BOOL bRegister, BOOL bSkip)
{
    return ProcessBlockAt(pszToken, hkeyParent, bRegister, bSkip, 1);
}

HRESULT CScriptParser::ProcessBlockAt(LPOLESTR pszToken, HKEY hkeyParent, BOOL bRegister, BOOL bSkip, int nDepth)
{
    if (nDepth > kMaxBlockDepth)
        return DISP_E_EXCEPTION;
    return bRegister ? ProcessRegisterBlock(pszToken, hkeyParent, nDepth)
                     : ProcessUnregisterBlock(pszToken, hkeyParent, bSkip, nDepth);
}

HRESULT CScriptParser::ProcessRegisterBlock(LPOLESTR pszToken, HKEY hkeyParent, int nDepth)
{
    HRESULT hr = ReadToken(pszToken);
    if (FAILED(hr))
        return hr;

    CKey current;
    CHeapBuffers heap;
    LPOLESTR pszValueName = nullptr;

    while (pszToken[0] != u'}') {
        // After "Val" and "Delete" the entry is complete: a block cannot follow it,
        // since it would be walked below a key that belongs to an earlier entry.
        bool bKeyEntry = true;
        if (EqualsNoCase(pszToken, u"ForceRemove") || EqualsNoCase(pszToken, u"Delete")) {
            const bool bDelete = EqualsNoCase(pszToken, u"Delete");
            hr = ReadToken(pszToken);
            if (FAILED(hr))
                return hr;
            if (ContainsBackslash(pszToken))
                return DISP_E_EXCEPTION;
            if (!IsProtectedKey(pszToken)) {
                // An absent key is no error; one that stays would be written over
                // instead of replaced, so that fails the run.
                const LONG lStatus = DeleteKeyTree(hkeyParent, pszToken);
                if (lStatus != ERROR_SUCCESS && lStatus != ERROR_FILE_NOT_FOUND)
                    return HRESULT_FROM_WIN32(lStatus);
            }
            if (bDelete) {
                hr = ReadToken(pszToken);
                if (SUCCEEDED(hr))
                    hr = SkipAssignment(pszToken);
                if (FAILED(hr))
                    return hr;
                bKeyEntry = false;
            }
        } else if (EqualsNoCase(pszToken, u"NoRemove")) {
            hr = ReadToken(pszToken);
            if (FAILED(hr))
                return hr;
        } else if (EqualsNoCase(pszToken, u"Val")) {
            // A longer name would have to be cut, naming another value than the script
            // does; it is refused instead.
            hr = ReadValueEntry(*this, heap, pszValueName, pszToken, TRUE);
            if (FAILED(hr))
                return hr;
            hr = WriteValue(hkeyParent, pszValueName, pszToken, FALSE);
            if (FAILED(hr))
                return hr;
            bKeyEntry = false;
        }

        if (bKeyEntry) {
            if (ContainsBackslash(pszToken))
                return DISP_E_EXCEPTION;
            const BOOL bQuoteModule = EqualsNoCase(pszToken, kLocalServer32);
            LONG lStatus = RegOpenKeyExW(hkeyParent, pszToken, 0, KEY_ALL_ACCESS, current.Receive());
            if (lStatus != ERROR_SUCCESS)
                lStatus = RegOpenKeyExW(hkeyParent, pszToken, 0, KEY_READ, current.Receive());
            if (lStatus != ERROR_SUCCESS)
                lStatus = RegCreateKeyExW(hkeyParent, pszToken, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                          KEY_READ | KEY_WRITE, nullptr, current.Receive(), nullptr);
            if (lStatus != ERROR_SUCCESS)
                return DISP_E_EXCEPTION;

            hr = ReadToken(pszToken);
            if (FAILED(hr))
                return hr;
            if (pszToken[0] == u'=') {
                hr = WriteValue(current.Get(), nullptr, pszToken, bQuoteModule);
                if (FAILED(hr))
                    return hr;
            }
            if (pszToken[0] == u'{' && pszToken[1] == 0) {
                hr = ProcessBlockAt(pszToken, current.Get(), TRUE, FALSE, nDepth + 1);
                if (FAILED(hr))
                    return hr;
                hr = ReadToken(pszToken);
                if (FAILED(hr))
                    return hr;
            }
        } else if (pszToken[0] == u'{') {
            return DISP_E_EXCEPTION;
        }
    }
    return S_OK;
}

// The grammar of ProcessRegisterBlock, walked apart because each keyword means something else here.
HRESULT CScriptParser::ProcessUnregisterBlock(LPOLESTR pszToken, HKEY hkeyParent, BOOL bSkipGiven, int nDepth)
{
    HRESULT hr = ReadToken(pszToken);
    if (FAILED(hr))
        return hr;

    CHeapBuffers heap;
    LPOLESTR pszValueName = nullptr;
    bool bKeep = false;

    while (pszToken[0] != u'}') {
        BOOL bSkip = bSkipGiven;
        if (EqualsNoCase(pszToken, u"ForceRemove") || EqualsNoCase(pszToken, u"Delete")) {
            hr = ReadToken(pszToken);
            if (FAILED(hr))
                return hr;
        } else if (EqualsNoCase(pszToken, u"NoRemove")) {
            bKeep = true;
            hr = ReadToken(pszToken);
            if (FAILED(hr))
                return hr;
        } else if (EqualsNoCase(pszToken, u"Val")) {
            hr = ReadValueEntry(*this, heap, pszValueName, pszToken, FALSE);
            if (FAILED(hr))
                return hr;
            // Registering refuses a name longer than the value-name store takes, so no
            // such value was written; cutting the name would delete another value.
            if (!bSkip && Length(pszValueName) <= kMaxValueName) {
                CKey key;
                LONG lStatus = RegOpenKeyExW(hkeyParent, nullptr, 0, KEY_WRITE, key.Receive());
                if (lStatus != ERROR_SUCCESS)
                    return HRESULT_FROM_WIN32(lStatus);
                lStatus = RegDeleteValueW(key.Get(), pszValueName);
                if (lStatus != ERROR_SUCCESS && lStatus != ERROR_FILE_NOT_FOUND)
                    return HRESULT_FROM_WIN32(lStatus);
            }
            hr = SkipAssignment(pszToken);
            if (FAILED(hr))
                return hr;
            // A block has no key to go below after "Val"; registering refuses it, and
            // removing (the fallback of a failed registration among them) reads over it.
            if (pszToken[0] == u'{') {
                hr = SkipBlock(pszToken);
                if (SUCCEEDED(hr))
                    hr = ReadToken(pszToken);
                if (FAILED(hr))
                    return hr;
            }
            continue;
        }

        // A key entry.
        if (ContainsBackslash(pszToken))
            return DISP_E_EXCEPTION;
        CKey key;
        if (!bSkip && RegOpenKeyExW(hkeyParent, pszToken, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS)
            bSkip = TRUE;
        WCHAR szKeyName[kMaxRememberedKeyName + 1];
        lstrcpynW(szKeyName, pszToken, kMaxRememberedKeyName + 1);
        // The "NoRemove" mark belongs to this key alone, not to the later keys of the block.
        const bool bKeepThis = bKeep;
        bKeep = false;

        hr = ReadToken(pszToken);
        if (SUCCEEDED(hr))
            hr = SkipAssignment(pszToken);
        if (FAILED(hr))
            return hr;
        if (pszToken[0] == u'{') {
            // In skip mode nothing is touched, so the block is only read; reading it
            // without recursion keeps a script nested deeper than any key can be
            // from exhausting the stack.
            hr = bSkip ? SkipBlock(pszToken) : ProcessBlockAt(pszToken, key.Get(), FALSE, bSkip, nDepth + 1);
            if (FAILED(hr))
                return hr;
            hr = ReadToken(pszToken);
            if (FAILED(hr))
                return hr;
        }
        if (bSkip)
            continue;
        // A key that still has subkeys the script does not name is shared: it stays, and
        // nothing below it is removed by force.
        if (HasSubkeys(key.Get()))
            continue;
        if (key.Close() != ERROR_SUCCESS)
            return DISP_E_EXCEPTION;
        if (!bKeepThis) {
            const LONG lStatus = RegDeleteKeyW(hkeyParent, szKeyName);
            if (lStatus != ERROR_SUCCESS && lStatus != ERROR_FILE_NOT_FOUND)
                return HRESULT_FROM_WIN32(lStatus);
        }
    }
    return S_OK;
}

HRESULT CScriptParser::SkipBlock(LPOLESTR pszToken)
{
    int nOpen = 1;
    HRESULT hr = ReadToken(pszToken);
    while (SUCCEEDED(hr)) {
        if (pszToken[0] == u'}') {
            if (--nOpen == 0)
                return S_OK;
            hr = ReadToken(pszToken); // the token after a nested block
            continue;
        }
        if (EqualsNoCase(pszToken, u"ForceRemove") || EqualsNoCase(pszToken, u"Delete") ||
            EqualsNoCase(pszToken, u"NoRemove")) {
            hr = ReadToken(pszToken);
            if (FAILED(hr))
                break;
        } else if (EqualsNoCase(pszToken, u"Val")) {
            hr = ReadToken(pszToken); // the value name
            if (SUCCEEDED(hr))
                hr = ReadToken(pszToken);
            if (FAILED(hr))
                break;
            if (pszToken[0] != u'=')
                return DISP_E_EXCEPTION;
            hr = SkipAssignment(pszToken);
            continue;
        }
        if (ContainsBackslash(pszToken))
            return DISP_E_EXCEPTION;
        hr = ReadToken(pszToken);
        if (SUCCEEDED(hr))
            hr = SkipAssignment(pszToken);
        if (SUCCEEDED(hr) && pszToken[0] == u'{') {
            ++nOpen;
            hr = ReadToken(pszToken);
        }
    }
    return hr;
}

HRESULT CScriptParser::WriteValue(HKEY hkey, LPCOLESTR pszValueName, LPOLESTR pszToken, BOOL bQuoteModule)
{
    CHeapBuffers heap;
    auto* pszType = static_cast<LPOLESTR>(heap.Alloc(kMaxToken * sizeof(WCHAR)));
    auto* pszValue = static_cast<LPOLESTR>(heap.Alloc(kMaxToken * sizeof(WCHAR)));
    if (!pszType || !pszValue)
        return E_OUTOFMEMORY;

    HRESULT hr = ReadToken(pszType);
    if (FAILED(hr))
        return hr;
    const DWORD dwType = ValueTypeFromName(pszType);
    if (dwType == REG_NONE)
        return DISP_E_EXCEPTION;
    SkipBlanks();
    hr = ReadToken(pszValue);
    if (FAILED(hr))
        return hr;
    const int cchValue = Length(pszValue);

    LONG lStatus = ERROR_SUCCESS;
    switch (dwType) {
    case REG_SZ: {
        LPCOLESTR pszStored = pszValue;
        int cchStored = cchValue;
        if (bQuoteModule) {
            if (cchValue > kMaxToken - 2)
                return E_FAIL;
            LPCOLESTR pszModule = m_pRegistrar ? m_pRegistrar->FindReplacement(kModule) : nullptr;
            const int cchModule = pszModule ? Length(pszModule) : 0;
            int iFound = -1;
            for (int i = 0; cchModule && i + cchModule <= cchValue; ++i) {
                if (!std::memcmp(pszValue + i, pszModule, cchModule * sizeof(WCHAR))) {
                    iFound = i;
                    break;
                }
            }
            if (iFound >= 0 && (iFound == 0 || pszValue[iFound - 1] != u'"')) {
                cchStored = cchValue + 2;
                auto* pszQuoted = static_cast<LPOLESTR>(heap.Alloc((cchStored + 1) * sizeof(WCHAR)));
                if (!pszQuoted)
                    return E_OUTOFMEMORY;
                LPOLESTR p = pszQuoted;
                std::memcpy(p, pszValue, iFound * sizeof(WCHAR));
                p += iFound;
                *p++ = u'"';
                std::memcpy(p, pszModule, cchModule * sizeof(WCHAR));
                p += cchModule;
                *p++ = u'"';
                std::memcpy(p, pszValue + iFound + cchModule, (cchValue - iFound - cchModule) * sizeof(WCHAR));
                p += cchValue - iFound - cchModule;
                *p = 0;
                pszStored = pszQuoted;
            }
        }
        lStatus = RegSetValueExW(hkey, pszValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszStored),
                                 static_cast<DWORD>(cchStored + 1) * sizeof(WCHAR));
        break;
    }
    case REG_DWORD: {
        ULONG ulValue = 0;
        // A value the conversion refuses would be stored as some undefined number; the
        // script is refused with the conversion's result instead.
        hr = VarUI4FromStr(pszValue, 0, 0, &ulValue);
        if (FAILED(hr))
            return hr;
        DWORD dwValue = ulValue;
        lStatus = RegSetValueExW(hkey, pszValueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue),
                                 sizeof(dwValue));
        break;
    }
    case REG_BINARY: {
        if (cchValue % 2)
            return E_FAIL;
        const DWORD cbData = static_cast<DWORD>(cchValue / 2);
        BYTE abInline[kInlineBytes];
        BYTE* pbData = abInline;
        if (cbData > sizeof(abInline)) {
            pbData = static_cast<BYTE*>(heap.Alloc(cbData));
            if (!pbData)
                return E_FAIL;
        }
        std::memset(pbData, 0, cbData);
        for (int i = 0; i < cchValue; ++i)
            pbData[i / 2] |= static_cast<BYTE>(HexDigit(pszValue[i]) << ((i % 2) ? 0 : 4));
        lStatus = RegSetValueExW(hkey, pszValueName, 0, REG_BINARY, pbData, cbData);
        break;
    }
    default:
        return DISP_E_EXCEPTION;
    }
    // A value that was not stored fails the run, which then removes the section again.
    if (lStatus != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(lStatus);
    return ReadToken(pszToken);
}

HKEY CScriptParser::HiveFromName(LPCOLESTR pszName)
{
    for (const HiveName& hive : kHives) {
        if (EqualsNoCase(pszName, hive.pszLong) || EqualsNoCase(pszName, hive.pszShort))
            return hive.hkey;
    }
    return nullptr;
}

DWORD CScriptParser::ValueTypeFromName(LPCOLESTR pszName)
{
    for (const ValueTypeName& type : kValueTypes) {
        if (EqualsNoCase(pszName, type.pszLetter))
            return type.dwType;
    }
    return REG_NONE;
}

bool CScriptParser::IsProtectedKey(LPCOLESTR pszName)
{
    for (const WCHAR* pszProtected : ProtectedKeyNames) {
        if (EqualsNoCase(pszName, pszProtected))
            return true;
    }
    return false;
}

LONG CScriptParser::DeleteKeyTree(HKEY hkeyParent, LPCOLESTR pszName)
{
    HKEY hkey = nullptr;
    LONG lStatus = RegOpenKeyExW(hkeyParent, pszName, 0, KEY_READ | KEY_WRITE, &hkey);
    if (lStatus != ERROR_SUCCESS)
        return lStatus;
    for (;;) {
        WCHAR szSubkey[kMaxSubkeyName];
        DWORD cchSubkey = kMaxSubkeyName;
        if (RegEnumKeyExW(hkey, 0, szSubkey, &cchSubkey, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        lStatus = DeleteKeyTree(hkey, szSubkey);
        if (lStatus != ERROR_SUCCESS) {
            RegCloseKey(hkey);
            return lStatus;
        }
    }
    RegCloseKey(hkey);
    return RegDeleteKeyW(hkeyParent, pszName);
}

bool CScriptParser::HasSubkeys(HKEY hkey)
{
    DWORD cSubkeys = 0;
    if (RegQueryInfoKeyW(hkey, nullptr, nullptr, nullptr, &cSubkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    return cSubkeys > 0;
}
