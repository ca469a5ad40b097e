// Registry transactions: the kernel object behind CreateTransaction and the
// transacted key functions.
#include "kernel/handles.h"
#include "registry/registry_core.h"
#include "registry/store.h"

#include <errhandlingapi.h>
#include <ktmw32.h>
#include <tonwell_posix_registry.h>

namespace tonwell::platform::registry {
namespace {

class TransactionObject : public kernel::KernelObject {
public:
    static constexpr kernel::ObjectKind kKind = kernel::ObjectKind::Transaction;
    kernel::ObjectKind Kind() const override { return kKind; }
    // The last handle closed before CommitTransaction rolls back.
    ~TransactionObject() override { transaction->Rollback(); }
    std::shared_ptr<PlatformTransaction> transaction = std::make_shared<PlatformTransaction>();
};

// The transaction behind a handle; null with ERROR_INVALID_HANDLE.
std::shared_ptr<PlatformTransaction> TransactionOf(HANDLE handle)
{
    std::shared_ptr<TransactionObject> object = kernel::LookupHandleAs<TransactionObject>(handle);
    return object ? object->transaction : nullptr;
}

std::optional<std::u16string> Text(LPCWSTR s) { return s ? std::optional<std::u16string>(s) : std::nullopt; }

} // namespace
} // namespace tonwell::platform::registry

using namespace tonwell::platform::registry;

HANDLE WINAPI CreateTransaction(LPSECURITY_ATTRIBUTES lpTransactionAttributes, LPGUID UOW, DWORD CreateOptions,
                                DWORD IsolationLevel, DWORD IsolationFlags, DWORD, LPWSTR)
{
    if (UOW || IsolationLevel || IsolationFlags || (CreateOptions & ~TRANSACTION_DO_NOT_PROMOTE) ||
        (lpTransactionAttributes &&
         (lpTransactionAttributes->lpSecurityDescriptor || lpTransactionAttributes->bInheritHandle))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    try {
        HANDLE handle = tonwell::platform::kernel::InsertHandle(std::make_shared<TransactionObject>());
        return handle ? handle : INVALID_HANDLE_VALUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

namespace {

BOOL End(HANDLE handle, bool commit)
{
    std::shared_ptr<PlatformTransaction> transaction = TransactionOf(handle);
    if (!transaction)
        return FALSE;
    LONG status = commit ? transaction->Commit() : transaction->Rollback();
    if (status != ERROR_SUCCESS)
        SetLastError(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}

} // namespace

BOOL WINAPI CommitTransaction(HANDLE TransactionHandle) { return End(TransactionHandle, true); }

BOOL WINAPI RollbackTransaction(HANDLE TransactionHandle) { return End(TransactionHandle, false); }

LONG WINAPI RegCreateKeyTransactedW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR lpClass, DWORD dwOptions,
                                    REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes,
                                    PHKEY phkResult, LPDWORD lpdwDisposition, HANDLE hTransaction, PVOID)
{
    try {
        std::shared_ptr<PlatformTransaction> transaction = TransactionOf(hTransaction);
        if (!transaction)
            return ERROR_INVALID_HANDLE;
        auto sub = Text(lpSubKey);
        auto cls = Text(lpClass);
        return CreateKey(hKey, sub ? &*sub : nullptr, cls ? &*cls : nullptr, dwOptions, samDesired,
                         lpSecurityAttributes, phkResult, lpdwDisposition, std::move(transaction));
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegOpenKeyTransactedW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult,
                                  HANDLE hTransaction, PVOID)
{
    try {
        std::shared_ptr<PlatformTransaction> transaction = TransactionOf(hTransaction);
        if (!transaction)
            return ERROR_INVALID_HANDLE;
        auto sub = Text(lpSubKey);
        return OpenKey(hKey, sub ? &*sub : nullptr, ulOptions, samDesired, phkResult, std::move(transaction));
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegDeleteKeyTransactedW(HKEY hKey, LPCWSTR lpSubKey, REGSAM, DWORD, HANDLE hTransaction, PVOID)
{
    try {
        std::shared_ptr<PlatformTransaction> transaction = TransactionOf(hTransaction);
        if (!transaction)
            return ERROR_INVALID_HANDLE;
        auto sub = Text(lpSubKey);
        return DeleteKey(hKey, sub ? &*sub : nullptr, std::move(transaction));
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

const char* WINAPI TonwellRegLastFailure(void) { return LastFailure().c_str(); }
