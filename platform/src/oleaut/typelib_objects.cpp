#include "oleaut/typelib_objects.h"

#include <combaseapi.h>
#include <objbase.h>

#include "binary.h"
#include "oleaut/invoke.h"
#include "text/utf.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace tonwell::platform::oleaut {

namespace tl = tonwell::typelib;

namespace {

using text::DecodeUtf16;
using text::ToUpper;

// Whether the NUL-terminated `given` names `stored`, without regard to case.
bool NameMatches(const OLECHAR* given, const std::u16string& stored)
{
    size_t n = 0;
    while (given[n])
        ++n;
    size_t i = 0, j = 0;
    while (i < n && j < stored.size()) {
        char32_t a, b;
        bool okA, okB;
        i += DecodeUtf16(given + i, n - i, a, okA);
        j += DecodeUtf16(stored.data() + j, stored.size() - j, b, okB);
        if (!okA || !okB || ToUpper(a) != ToUpper(b))
            return false;
    }
    return i == n && j == stored.size();
}

HRESULT NewBstr(const std::u16string& text, BSTR* out)
{
    *out = SysAllocStringLen(text.data(), UINT(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// An optional string: a null BSTR when absent.
HRESULT NewOptionalBstr(const tl::Library& lib, uint32_t index, BSTR* out)
{
    *out = nullptr;
    return index == tl::kNone ? S_OK : NewBstr(lib.strings[index], out);
}

// Base interfaces may live in other libraries, which a damaged or hostile set of files
// can make refer back round in a circle; every walk down to a base counts its depth.
thread_local int t_baseDepth = 0;
constexpr int kMaxBaseDepth = 64;

struct BaseWalk {
    BaseWalk() : ok(++t_baseDepth <= kMaxBaseDepth) {}
    ~BaseWalk() { --t_baseDepth; }
    BaseWalk(const BaseWalk&) = delete;
    BaseWalk& operator=(const BaseWalk&) = delete;
    const bool ok;
};

void SetEmpty(VARIANT* v)
{
    // What VariantInit does; nothing to clear in storage that was never a variant.
    std::memset(v, 0, sizeof *v);
    v->vt = VT_EMPTY;
}

// The checks of every per-item method, in this order: E_INVALIDARG for a null out
// pointer, then TYPE_E_ELEMENTNOTFOUND for an item that does not exist.
HRESULT CheckItem(const void* out, bool exists)
{
    if (!out)
        return E_INVALIDARG;
    return exists ? S_OK : TYPE_E_ELEMENTNOTFOUND;
}

class CTypeLib;

class CTypeInfo final : public ITypeInfo2 {
public:
    CTypeInfo(CTypeLib& lib, UINT index) : m_lib(lib), m_index(index) {}

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // ITypeInfo
    HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** ppTypeAttr) override;
    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** ppTComp) override;
    HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) override;
    HRESULT STDMETHODCALLTYPE GetVarDesc(UINT index, VARDESC** ppVarDesc) override;
    HRESULT STDMETHODCALLTYPE GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) override;
    HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) override;
    HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* pImplTypeFlags) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override;
    HRESULT STDMETHODCALLTYPE Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                                     VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
    HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                               DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override;
    HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID memid, INVOKEKIND invKind, BSTR* pBstrDllName, BSTR* pBstrName,
                                          WORD* pwOrdinal) override;
    HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) override;
    HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID memid, INVOKEKIND invKind, PVOID* ppv) override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, PVOID* ppvObj) override;
    HRESULT STDMETHODCALLTYPE GetMops(MEMBERID memid, BSTR* pBstrMops) override;
    HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override;
    void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR* pTypeAttr) override;
    void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC* pFuncDesc) override;
    void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC* pVarDesc) override;

    // ITypeInfo2
    HRESULT STDMETHODCALLTYPE GetTypeKind(TYPEKIND* pTypeKind) override;
    HRESULT STDMETHODCALLTYPE GetTypeFlags(ULONG* pTypeFlags) override;
    HRESULT STDMETHODCALLTYPE GetFuncIndexOfMemId(MEMBERID memid, INVOKEKIND invKind, UINT* pFuncIndex) override;
    HRESULT STDMETHODCALLTYPE GetVarIndexOfMemId(MEMBERID memid, UINT* pVarIndex) override;
    HRESULT STDMETHODCALLTYPE GetCustData(REFGUID guid, VARIANT* pVarVal) override;
    HRESULT STDMETHODCALLTYPE GetFuncCustData(UINT index, REFGUID guid, VARIANT* pVarVal) override;
    HRESULT STDMETHODCALLTYPE GetParamCustData(UINT indexFunc, UINT indexParam, REFGUID guid,
                                               VARIANT* pVarVal) override;
    HRESULT STDMETHODCALLTYPE GetVarCustData(UINT index, REFGUID guid, VARIANT* pVarVal) override;
    HRESULT STDMETHODCALLTYPE GetImplTypeCustData(UINT index, REFGUID guid, VARIANT* pVarVal) override;
    HRESULT STDMETHODCALLTYPE GetDocumentation2(MEMBERID memid, LCID lcid, BSTR* pbstrHelpString,
                                                DWORD* pdwHelpStringContext, BSTR* pbstrHelpStringDll) override;
    HRESULT STDMETHODCALLTYPE GetAllCustData(CUSTDATA* pCustData) override;
    HRESULT STDMETHODCALLTYPE GetAllFuncCustData(UINT index, CUSTDATA* pCustData) override;
    HRESULT STDMETHODCALLTYPE GetAllParamCustData(UINT indexFunc, UINT indexParam, CUSTDATA* pCustData) override;
    HRESULT STDMETHODCALLTYPE GetAllVarCustData(UINT index, CUSTDATA* pCustData) override;
    HRESULT STDMETHODCALLTYPE GetAllImplTypeCustData(UINT index, CUSTDATA* pCustData) override;

private:
    const tl::Library& Lib() const;
    const tl::Type& Type() const;
    // The index of the own method with that id (and, when kind is not 0, an invoke kind
    // among `kind`'s bits), or -1.
    int FindFunc(MEMBERID memid, WORD kind = 0) const;
    // The base interface's type information (a new reference), or null with the reason.
    HRESULT Base(ITypeInfo** out);
    // A call for a member this type inherits, made on the base's type information:
    // TYPE_E_INVALIDSTATE past the depth limit, `noBase` when there is no base (and, where
    // `anyFailureIsNoBase`, when it cannot be loaded either; otherwise that failure).
    template <typename Call>
    HRESULT CallBase(HRESULT noBase, bool anyFailureIsNoBase, Call&& call)
    {
        BaseWalk walk;
        if (!walk.ok)
            return TYPE_E_INVALIDSTATE;
        ITypeInfo* base = nullptr;
        HRESULT hr = Base(&base);
        if (FAILED(hr))
            return hr == TYPE_E_ELEMENTNOTFOUND || anyFailureIsNoBase ? noBase : hr;
        hr = call(base);
        base->Release();
        return hr;
    }
    // The vtable an imported base describes must have the slots this interface inherits.
    HRESULT CheckLayout();
    FUNCDESC* BuildFuncDesc(const tl::Func& f, size_t index) const;
    bool HasFunc(UINT index) const { return index < Type().funcs.size(); }
    bool HasParam(UINT func, UINT param) const { return HasFunc(func) && param < Type().funcs[func].params.size(); }
    bool HasImpl(UINT index) const { return index < Type().impls.size(); }

    CTypeLib& m_lib;
    UINT m_index;
    std::atomic<bool> m_layoutChecked{false};
};

class CTypeLib final : public ITypeLib {
public:
    CTypeLib(std::shared_ptr<const tl::Library> library, std::u16string folder)
        : m_library(std::move(library)), m_folder(std::move(folder)), m_imports(m_library->imports.size()),
          m_refInfos(m_library->refs.size())
    {
        m_infos.reserve(m_library->types.size());
        for (UINT i = 0; i < m_library->types.size(); ++i)
            m_infos.push_back(std::make_unique<CTypeInfo>(*this, i));
    }

    ~CTypeLib()
    {
        for (ITypeInfo* info : m_refInfos)
            if (info)
                info->Release();
        for (ITypeLib* lib : m_imports)
            if (lib)
                lib->Release();
    }

    const tl::Library& Lib() const { return *m_library; }
    CTypeInfo* Info(UINT index) { return m_infos[index].get(); }
    HRESULT ResolveRef(uint32_t ref, ITypeInfo** out);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ITypeLib) {
            *ppv = static_cast<ITypeLib*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG refs = --m_refs;
        if (refs == 0)
            delete this;
        return refs;
    }

    // ITypeLib
    UINT STDMETHODCALLTYPE GetTypeInfoCount() override { return UINT(m_infos.size()); }

    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** ppTInfo) override
    {
        if (!ppTInfo)
            return E_INVALIDARG;
        *ppTInfo = nullptr;
        if (index >= m_infos.size())
            return TYPE_E_ELEMENTNOTFOUND;
        *ppTInfo = m_infos[index].get();
        AddRef();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* pTKind) override
    {
        if (HRESULT hr = CheckItem(pTKind, index < m_infos.size()); FAILED(hr))
            return hr;
        *pTKind = TYPEKIND(Lib().types[index].kind);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) override
    {
        if (!ppTinfo)
            return E_INVALIDARG;
        *ppTinfo = nullptr;
        for (UINT i = 0; i < m_infos.size(); ++i)
            if (Lib().types[i].guid == guid)
                return GetTypeInfo(i, ppTinfo);
        return TYPE_E_ELEMENTNOTFOUND;
    }

    HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** ppTLibAttr) override
    {
        if (!ppTLibAttr)
            return E_INVALIDARG;
        auto* attr = static_cast<TLIBATTR*>(CoTaskMemAlloc(sizeof(TLIBATTR)));
        *ppTLibAttr = attr;
        if (!attr)
            return E_OUTOFMEMORY;
        std::memset(attr, 0, sizeof *attr);
        attr->guid = Lib().libid;
        attr->lcid = Lib().lcid;
        attr->syskind = SYSKIND(Lib().syskind);
        attr->wMajorVerNum = Lib().major;
        attr->wMinorVerNum = Lib().minor;
        attr->wLibFlags = Lib().flags;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** ppTComp) override
    {
        // Binding by name through ITypeComp is not offered by this platform.
        if (ppTComp)
            *ppTComp = nullptr;
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                               DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override
    {
        if (index == -1)
            return Document(Lib().name, Lib().doc, Lib().helpContext, pBstrName, pBstrDocString, pdwHelpContext,
                            pBstrHelpFile);
        if (index < 0 || size_t(index) >= m_infos.size())
            return TYPE_E_ELEMENTNOTFOUND;
        const tl::Type& t = Lib().types[size_t(index)];
        return Document(t.name, t.doc, t.helpContext, pBstrName, pBstrDocString, pdwHelpContext, pBstrHelpFile);
    }

    // Fills whichever outputs are asked for; on failure none is left allocated.
    HRESULT Document(uint32_t name, uint32_t doc, uint32_t helpContext, BSTR* pName, BSTR* pDoc, DWORD* pContext,
                     BSTR* pFile)
    {
        BSTR n = nullptr, d = nullptr, f = nullptr;
        HRESULT hr = S_OK;
        if (pName && SUCCEEDED(hr))
            hr = NewOptionalBstr(Lib(), name, &n);
        if (pDoc && SUCCEEDED(hr))
            hr = NewOptionalBstr(Lib(), doc, &d);
        if (pFile && SUCCEEDED(hr))
            hr = NewOptionalBstr(Lib(), Lib().helpFile, &f);
        if (FAILED(hr)) {
            SysFreeString(n);
            SysFreeString(d);
            SysFreeString(f);
            return hr;
        }
        if (pName)
            *pName = n;
        if (pDoc)
            *pDoc = d;
        if (pFile)
            *pFile = f;
        if (pContext)
            *pContext = helpContext;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE IsName(LPOLESTR szNameBuf, ULONG, BOOL* pfName) override
    {
        if (!szNameBuf || !pfName)
            return E_INVALIDARG;
        *pfName = FALSE;
        Visit(szNameBuf, [&](UINT, MEMBERID, const std::u16string& stored) {
            CopyCase(szNameBuf, stored);
            *pfName = TRUE;
            return false;
        });
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE FindName(LPOLESTR szNameBuf, ULONG, ITypeInfo** ppTInfo, MEMBERID* rgMemId,
                                       USHORT* pcFound) override
    {
        if (!szNameBuf || !ppTInfo || !rgMemId || !pcFound)
            return E_INVALIDARG;
        USHORT wanted = *pcFound, found = 0;
        Visit(szNameBuf, [&](UINT type, MEMBERID memid, const std::u16string& stored) {
            if (found >= wanted)
                return false;
            if (found == 0)
                CopyCase(szNameBuf, stored);
            ppTInfo[found] = m_infos[type].get();
            AddRef();
            rgMemId[found] = memid;
            ++found;
            return true;
        });
        *pcFound = found;
        return S_OK;
    }

    void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* pTLibAttr) override { CoTaskMemFree(pTLibAttr); }

private:
    // Calls visit(type index, member id, stored name) for each type (MEMBERID_NIL) and
    // method whose name matches, in library order, until it returns false.
    template <typename F>
    void Visit(const OLECHAR* name, F visit)
    {
        for (UINT i = 0; i < m_infos.size(); ++i) {
            const tl::Type& t = Lib().types[i];
            if (NameMatches(name, Lib().strings[t.name]) && !visit(i, MEMBERID_NIL, Lib().strings[t.name]))
                return;
            for (const tl::Func& f : t.funcs)
                if (NameMatches(name, Lib().strings[f.name]) && !visit(i, f.memid, Lib().strings[f.name]))
                    return;
        }
    }

    // The caller's buffer takes the library's spelling when it has the same length.
    static void CopyCase(LPOLESTR buffer, const std::u16string& stored)
    {
        size_t n = 0;
        while (buffer[n])
            ++n;
        if (n == stored.size())
            std::memcpy(buffer, stored.data(), n * sizeof(OLECHAR));
    }

    HRESULT LoadImport(uint32_t index, ITypeLib** out);

    std::atomic<ULONG> m_refs{1};
    std::shared_ptr<const tl::Library> m_library;
    std::u16string m_folder;
    std::vector<std::unique_ptr<CTypeInfo>> m_infos;
    std::mutex m_lock; // guards the two caches below
    std::vector<ITypeLib*> m_imports;
    std::vector<ITypeInfo*> m_refInfos;
};

// --- imports and references -------------------------------------------------------

HRESULT CTypeLib::LoadImport(uint32_t index, ITypeLib** out)
{
    *out = nullptr;
    {
        std::lock_guard guard(m_lock);
        if (m_imports[index]) {
            *out = m_imports[index];
            (*out)->AddRef();
            return S_OK;
        }
    }
    // Loaded without the lock: loading reads files and the registry, and may come back here.
    const tl::Import& im = Lib().imports[index];
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadRegTypeLib(im.libid, im.major, im.minor, im.lcid, &lib);
    if (FAILED(hr)) {
        const std::u16string& file = Lib().strings[im.file];
        bool bare = file.find_first_of(u"\\/") == std::u16string::npos;
        hr = E_FAIL;
        if (bare && !m_folder.empty())
            hr = LoadTypeLibEx((m_folder + u"/" + file).c_str(), REGKIND_NONE, &lib);
        if (FAILED(hr))
            hr = LoadTypeLibEx(file.c_str(), REGKIND_NONE, &lib);
        if (FAILED(hr))
            return TYPE_E_CANTLOADLIBRARY;
    }
    TLIBATTR* attr = nullptr;
    hr = lib->GetLibAttr(&attr);
    bool same = SUCCEEDED(hr) && attr->guid == im.libid;
    if (attr)
        lib->ReleaseTLibAttr(attr);
    if (!same) {
        lib->Release();
        return FAILED(hr) ? hr : TYPE_E_CANTLOADLIBRARY;
    }
    std::lock_guard guard(m_lock);
    if (m_imports[index]) {
        lib->Release(); // another thread was first
    } else {
        m_imports[index] = lib;
    }
    *out = m_imports[index];
    (*out)->AddRef();
    return S_OK;
}

HRESULT CTypeLib::ResolveRef(uint32_t ref, ITypeInfo** out)
{
    *out = nullptr;
    if (ref >= Lib().refs.size())
        return TYPE_E_ELEMENTNOTFOUND;
    const tl::Ref& r = Lib().refs[ref];
    if (!r.IsImported()) {
        *out = m_infos[r.type].get();
        AddRef();
        return S_OK;
    }
    {
        std::lock_guard guard(m_lock);
        if (m_refInfos[ref]) {
            *out = m_refInfos[ref];
            (*out)->AddRef();
            return S_OK;
        }
    }
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadImport(r.import, &lib);
    if (FAILED(hr))
        return hr;
    ITypeInfo* info = nullptr;
    hr = lib->GetTypeInfoOfGuid(r.guid, &info);
    lib->Release();
    if (FAILED(hr))
        return hr;
    // The imported library must still call the type what it was called when compiled.
    BSTR name = nullptr;
    hr = info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    bool same = SUCCEEDED(hr) && name && NameMatches(name, Lib().strings[r.name]);
    SysFreeString(name);
    if (!same) {
        info->Release();
        return TYPE_E_INVALIDSTATE;
    }
    std::lock_guard guard(m_lock);
    if (m_refInfos[ref]) {
        info->Release();
    } else {
        m_refInfos[ref] = info;
    }
    *out = m_refInfos[ref];
    (*out)->AddRef();
    return S_OK;
}

// --- CTypeInfo -----------------------------------------------------------------------

const tl::Library& CTypeInfo::Lib() const { return m_lib.Lib(); }
const tl::Type& CTypeInfo::Type() const { return m_lib.Lib().types[m_index]; }

HRESULT CTypeInfo::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITypeInfo || riid == IID_ITypeInfo2) {
        *ppv = static_cast<ITypeInfo2*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CTypeInfo::AddRef() { return m_lib.AddRef(); }
ULONG CTypeInfo::Release() { return m_lib.Release(); }

int CTypeInfo::FindFunc(MEMBERID memid, WORD kind) const
{
    const std::vector<tl::Func>& funcs = Type().funcs;
    for (size_t i = 0; i < funcs.size(); ++i)
        if (funcs[i].memid == memid && (kind == 0 || (funcs[i].invkind & kind)))
            return int(i);
    return -1;
}

HRESULT CTypeInfo::Base(ITypeInfo** out)
{
    *out = nullptr;
    if (Type().kind != TKIND_INTERFACE || Type().impls.empty())
        return TYPE_E_ELEMENTNOTFOUND;
    return m_lib.ResolveRef(Type().impls[0].ref, out);
}

HRESULT CTypeInfo::CheckLayout()
{
    if (m_layoutChecked.load(std::memory_order_acquire) || Type().impls.empty())
        return S_OK;
    ITypeInfo* base = nullptr;
    HRESULT hr = Base(&base);
    if (FAILED(hr))
        return hr;
    TYPEATTR* attr = nullptr;
    hr = base->GetTypeAttr(&attr);
    if (SUCCEEDED(hr)) {
        if (attr->typekind != TKIND_INTERFACE || attr->cbSizeVft != Type().inheritedSlots * sizeof(void*))
            hr = TYPE_E_INVALIDSTATE;
        base->ReleaseTypeAttr(attr);
    }
    base->Release();
    if (SUCCEEDED(hr))
        m_layoutChecked.store(true, std::memory_order_release);
    return hr;
}

HRESULT CTypeInfo::GetTypeAttr(TYPEATTR** ppTypeAttr)
{
    if (!ppTypeAttr)
        return E_INVALIDARG;
    auto* attr = static_cast<TYPEATTR*>(CoTaskMemAlloc(sizeof(TYPEATTR)));
    *ppTypeAttr = attr;
    if (!attr)
        return E_OUTOFMEMORY;
    std::memset(attr, 0, sizeof *attr);
    const tl::Type& t = Type();
    attr->guid = t.guid;
    attr->lcid = Lib().lcid;
    attr->memidConstructor = MEMBERID_NIL;
    attr->memidDestructor = MEMBERID_NIL;
    attr->cbSizeInstance = sizeof(void*);
    attr->typekind = TYPEKIND(t.kind);
    attr->cFuncs = WORD(t.funcs.size());
    attr->cImplTypes = WORD(t.impls.size());
    attr->cbSizeVft = t.kind == TKIND_INTERFACE ? WORD((t.inheritedSlots + t.funcs.size()) * sizeof(void*)) : 0;
    attr->cbAlignment = alignof(void*);
    attr->wTypeFlags = t.flags;
    attr->wMajorVerNum = t.major;
    attr->wMinorVerNum = t.minor;
    attr->tdescAlias.vt = VT_EMPTY;
    return S_OK;
}

HRESULT CTypeInfo::GetTypeComp(ITypeComp** ppTComp)
{
    if (ppTComp)
        *ppTComp = nullptr;
    return E_NOTIMPL; // binding by name through ITypeComp is not offered by this platform
}

// One block: the FUNCDESC, its parameters' ELEMDESCs, then the TYPEDESCs pointers point at.
FUNCDESC* CTypeInfo::BuildFuncDesc(const tl::Func& f, size_t index) const
{
    size_t nodes = f.result.pointers;
    for (const tl::Param& p : f.params)
        nodes += p.type.pointers;
    size_t size = sizeof(FUNCDESC) + f.params.size() * sizeof(ELEMDESC) + nodes * sizeof(TYPEDESC);
    auto* block = static_cast<unsigned char*>(CoTaskMemAlloc(size));
    if (!block)
        return nullptr;
    std::memset(block, 0, size);
    auto* fd = reinterpret_cast<FUNCDESC*>(block);
    auto* params = reinterpret_cast<ELEMDESC*>(block + sizeof(FUNCDESC));
    auto* node = reinterpret_cast<TYPEDESC*>(block + sizeof(FUNCDESC) + f.params.size() * sizeof(ELEMDESC));
    auto fill = [&](TYPEDESC& top, const tl::TypeDesc& d) {
        TYPEDESC* at = &top;
        for (uint8_t k = 0; k < d.pointers; ++k) {
            at->vt = VT_PTR;
            at->lptdesc = node;
            at = node++;
        }
        at->vt = d.vt;
        if (d.vt == VT_USERDEFINED)
            at->hreftype = d.ref;
    };
    fd->memid = f.memid;
    fd->lprgelemdescParam = f.params.empty() ? nullptr : params;
    fd->funckind = FUNC_PUREVIRTUAL;
    fd->invkind = INVOKEKIND(f.invkind);
    fd->callconv = CALLCONV(f.callconv);
    fd->cParams = SHORT(f.params.size());
    fd->cParamsOpt = 0;
    fd->oVft = SHORT((Type().inheritedSlots + index) * sizeof(void*));
    fd->cScodes = 0;
    fill(fd->elemdescFunc.tdesc, f.result);
    fd->wFuncFlags = f.flags;
    for (size_t i = 0; i < f.params.size(); ++i) {
        fill(params[i].tdesc, f.params[i].type);
        params[i].paramdesc.wParamFlags = f.params[i].flags;
    }
    return fd;
}

HRESULT CTypeInfo::GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc)
{
    if (!ppFuncDesc)
        return E_INVALIDARG;
    *ppFuncDesc = nullptr;
    if (index >= Type().funcs.size())
        return TYPE_E_ELEMENTNOTFOUND;
    *ppFuncDesc = BuildFuncDesc(Type().funcs[index], index);
    return *ppFuncDesc ? S_OK : E_OUTOFMEMORY;
}

HRESULT CTypeInfo::GetVarDesc(UINT, VARDESC** ppVarDesc)
{
    if (!ppVarDesc)
        return E_INVALIDARG;
    *ppVarDesc = nullptr;
    return TYPE_E_ELEMENTNOTFOUND; // interfaces and classes here have no variables
}

HRESULT CTypeInfo::GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames)
{
    if (!rgBstrNames || !pcNames)
        return E_INVALIDARG;
    *pcNames = 0;
    int i = FindFunc(memid);
    if (i < 0)
        return CallBase(TYPE_E_ELEMENTNOTFOUND, true, [&](ITypeInfo* base) {
            return base->GetNames(memid, rgBstrNames, cMaxNames, pcNames);
        });
    const tl::Func& f = Type().funcs[size_t(i)];
    std::vector<const std::u16string*> names{&Lib().strings[f.name]};
    for (const tl::Param& p : f.params)
        names.push_back(&Lib().strings[p.name]);
    UINT count = std::min<UINT>(cMaxNames, UINT(names.size()));
    for (UINT k = 0; k < count; ++k) {
        if (FAILED(NewBstr(*names[k], &rgBstrNames[k]))) {
            while (k > 0)
                SysFreeString(rgBstrNames[--k]), rgBstrNames[k] = nullptr;
            return E_OUTOFMEMORY;
        }
    }
    *pcNames = count;
    return S_OK;
}

HRESULT CTypeInfo::GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType)
{
    if (HRESULT hr = CheckItem(pRefType, HasImpl(index)); FAILED(hr))
        return hr;
    *pRefType = Type().impls[index].ref;
    return S_OK;
}

HRESULT CTypeInfo::GetImplTypeFlags(UINT index, INT* pImplTypeFlags)
{
    if (HRESULT hr = CheckItem(pImplTypeFlags, HasImpl(index)); FAILED(hr))
        return hr;
    *pImplTypeFlags = INT(Type().impls[index].flags);
    return S_OK;
}

HRESULT CTypeInfo::GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId)
{
    if (!rgszNames || !pMemId || cNames == 0)
        return E_INVALIDARG;
    for (UINT k = 0; k < cNames; ++k)
        if (!rgszNames[k])
            return E_INVALIDARG;
    for (UINT k = 0; k < cNames; ++k)
        pMemId[k] = DISPID_UNKNOWN;
    const tl::Func* found = nullptr;
    for (const tl::Func& f : Type().funcs)
        if (NameMatches(rgszNames[0], Lib().strings[f.name])) {
            found = &f;
            break;
        }
    if (!found) // inherited members answer through the base interface's own type information
        return CallBase(DISP_E_UNKNOWNNAME, false,
                        [&](ITypeInfo* base) { return base->GetIDsOfNames(rgszNames, cNames, pMemId); });
    pMemId[0] = found->memid;
    HRESULT hr = S_OK;
    for (UINT k = 1; k < cNames; ++k) {
        for (size_t p = 0; p < found->params.size(); ++p)
            if (NameMatches(rgszNames[k], Lib().strings[found->params[p].name])) {
                pMemId[k] = MEMBERID(p);
                break;
            }
        if (pMemId[k] == DISPID_UNKNOWN)
            hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT CTypeInfo::Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                          VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr)
{
    if (!pvInstance || !pDispParams)
        return E_INVALIDARG;
    if (Type().kind != TKIND_INTERFACE)
        return TYPE_E_WRONGTYPEKIND;
    // DISPATCH_METHOD reaches INVOKE_FUNC, DISPATCH_PROPERTYGET INVOKE_PROPERTYGET, ...: the bits are the same.
    WORD kinds = wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
    if (kinds == 0)
        return DISP_E_MEMBERNOTFOUND;
    int i = FindFunc(memid, kinds);
    if (i < 0)
        return CallBase(DISP_E_MEMBERNOTFOUND, false, [&](ITypeInfo* base) {
            return base->Invoke(pvInstance, memid, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
        });
    HRESULT hr = CheckLayout();
    if (FAILED(hr))
        return hr;
    FUNCDESC* fd = BuildFuncDesc(Type().funcs[size_t(i)], size_t(i));
    if (!fd)
        return E_OUTOFMEMORY;
    hr = InvokeFuncDesc(pvInstance, fd, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
    CoTaskMemFree(fd);
    return hr;
}

HRESULT CTypeInfo::GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                    BSTR* pBstrHelpFile)
{
    if (memid == MEMBERID_NIL) {
        const tl::Type& t = Type();
        return m_lib.Document(t.name, t.doc, t.helpContext, pBstrName, pBstrDocString, pdwHelpContext,
                              pBstrHelpFile);
    }
    int i = FindFunc(memid);
    if (i < 0)
        return CallBase(TYPE_E_ELEMENTNOTFOUND, true, [&](ITypeInfo* base) {
            return base->GetDocumentation(memid, pBstrName, pBstrDocString, pdwHelpContext, pBstrHelpFile);
        });
    const tl::Func& f = Type().funcs[size_t(i)];
    return m_lib.Document(f.name, f.doc, f.helpContext, pBstrName, pBstrDocString, pdwHelpContext, pBstrHelpFile);
}

HRESULT CTypeInfo::GetDllEntry(MEMBERID, INVOKEKIND, BSTR* pBstrDllName, BSTR* pBstrName, WORD* pwOrdinal)
{
    if (pBstrDllName)
        *pBstrDllName = nullptr;
    if (pBstrName)
        *pBstrName = nullptr;
    if (pwOrdinal)
        *pwOrdinal = 0;
    return TYPE_E_BADMODULEKIND; // only module types have entry points
}

HRESULT CTypeInfo::GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo)
{
    if (!ppTInfo)
        return E_INVALIDARG;
    return m_lib.ResolveRef(hRefType, ppTInfo);
}

HRESULT CTypeInfo::AddressOfMember(MEMBERID, INVOKEKIND, PVOID* ppv)
{
    if (ppv)
        *ppv = nullptr;
    return TYPE_E_BADMODULEKIND; // only module types have addresses
}

HRESULT CTypeInfo::CreateInstance(IUnknown* pUnkOuter, REFIID riid, PVOID* ppvObj)
{
    if (!ppvObj)
        return E_INVALIDARG;
    *ppvObj = nullptr;
    if (Type().kind != TKIND_COCLASS)
        return TYPE_E_WRONGTYPEKIND;
    return CoCreateInstance(Type().guid, pUnkOuter, CLSCTX_SERVER, riid, ppvObj);
}

HRESULT CTypeInfo::GetMops(MEMBERID, BSTR* pBstrMops)
{
    if (!pBstrMops)
        return E_INVALIDARG;
    *pBstrMops = nullptr; // no member uses recorded
    return S_OK;
}

HRESULT CTypeInfo::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex)
{
    if (!ppTLib)
        return E_INVALIDARG;
    *ppTLib = &m_lib;
    m_lib.AddRef();
    if (pIndex)
        *pIndex = m_index;
    return S_OK;
}

void CTypeInfo::ReleaseTypeAttr(TYPEATTR* pTypeAttr) { CoTaskMemFree(pTypeAttr); }
void CTypeInfo::ReleaseFuncDesc(FUNCDESC* pFuncDesc) { CoTaskMemFree(pFuncDesc); }
void CTypeInfo::ReleaseVarDesc(VARDESC* pVarDesc) { CoTaskMemFree(pVarDesc); }

HRESULT CTypeInfo::GetTypeKind(TYPEKIND* pTypeKind)
{
    if (!pTypeKind)
        return E_INVALIDARG;
    *pTypeKind = TYPEKIND(Type().kind);
    return S_OK;
}

HRESULT CTypeInfo::GetTypeFlags(ULONG* pTypeFlags)
{
    if (!pTypeFlags)
        return E_INVALIDARG;
    *pTypeFlags = Type().flags;
    return S_OK;
}

HRESULT CTypeInfo::GetFuncIndexOfMemId(MEMBERID memid, INVOKEKIND invKind, UINT* pFuncIndex)
{
    if (!pFuncIndex)
        return E_INVALIDARG;
    const std::vector<tl::Func>& funcs = Type().funcs;
    for (size_t i = 0; i < funcs.size(); ++i)
        if (funcs[i].memid == memid && funcs[i].invkind == invKind) {
            *pFuncIndex = UINT(i);
            return S_OK;
        }
    return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT CTypeInfo::GetVarIndexOfMemId(MEMBERID, UINT* pVarIndex)
{
    if (!pVarIndex)
        return E_INVALIDARG;
    return TYPE_E_ELEMENTNOTFOUND;
}

// Custom data: none is recorded, so every item that exists answers VT_EMPTY.
HRESULT CTypeInfo::GetCustData(REFGUID, VARIANT* pVarVal)
{
    if (!pVarVal)
        return E_INVALIDARG;
    SetEmpty(pVarVal);
    return S_OK;
}

HRESULT CTypeInfo::GetFuncCustData(UINT index, REFGUID guid, VARIANT* pVarVal)
{
    if (HRESULT hr = CheckItem(pVarVal, HasFunc(index)); FAILED(hr))
        return hr;
    return GetCustData(guid, pVarVal);
}

HRESULT CTypeInfo::GetParamCustData(UINT indexFunc, UINT indexParam, REFGUID guid, VARIANT* pVarVal)
{
    if (HRESULT hr = CheckItem(pVarVal, HasParam(indexFunc, indexParam)); FAILED(hr))
        return hr;
    return GetCustData(guid, pVarVal);
}

HRESULT CTypeInfo::GetVarCustData(UINT, REFGUID, VARIANT* pVarVal)
{
    return CheckItem(pVarVal, false); // no variables here
}

HRESULT CTypeInfo::GetImplTypeCustData(UINT index, REFGUID guid, VARIANT* pVarVal)
{
    if (HRESULT hr = CheckItem(pVarVal, HasImpl(index)); FAILED(hr))
        return hr;
    return GetCustData(guid, pVarVal);
}

HRESULT CTypeInfo::GetDocumentation2(MEMBERID memid, LCID, BSTR* pbstrHelpString, DWORD* pdwHelpStringContext,
                                     BSTR* pbstrHelpStringDll)
{
    // The help string is not localised here: every locale gets the one help string.
    HRESULT hr = GetDocumentation(memid, nullptr, pbstrHelpString, nullptr, nullptr);
    if (FAILED(hr))
        return hr;
    if (pdwHelpStringContext)
        *pdwHelpStringContext = 0;
    if (pbstrHelpStringDll)
        *pbstrHelpStringDll = nullptr;
    return S_OK;
}

HRESULT CTypeInfo::GetAllCustData(CUSTDATA* pCustData)
{
    if (!pCustData)
        return E_INVALIDARG;
    pCustData->cCustData = 0;
    pCustData->prgCustData = nullptr;
    return S_OK;
}

HRESULT CTypeInfo::GetAllFuncCustData(UINT index, CUSTDATA* pCustData)
{
    if (HRESULT hr = CheckItem(pCustData, HasFunc(index)); FAILED(hr))
        return hr;
    return GetAllCustData(pCustData);
}

HRESULT CTypeInfo::GetAllParamCustData(UINT indexFunc, UINT indexParam, CUSTDATA* pCustData)
{
    if (HRESULT hr = CheckItem(pCustData, HasParam(indexFunc, indexParam)); FAILED(hr))
        return hr;
    return GetAllCustData(pCustData);
}

HRESULT CTypeInfo::GetAllVarCustData(UINT, CUSTDATA* pCustData)
{
    return CheckItem(pCustData, false); // no variables here
}

HRESULT CTypeInfo::GetAllImplTypeCustData(UINT index, CUSTDATA* pCustData)
{
    if (HRESULT hr = CheckItem(pCustData, HasImpl(index)); FAILED(hr))
        return hr;
    return GetAllCustData(pCustData);
}

} // namespace

HRESULT CreateTypeLib(std::shared_ptr<const tl::Library> library, std::u16string folder, ITypeLib** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    try {
        *out = new CTypeLib(std::move(library), std::move(folder));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

} // namespace tonwell::platform::oleaut
