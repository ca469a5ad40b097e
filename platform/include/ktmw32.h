/* Transactions of the registry (keys opened with RegCreateKeyTransactedW and
 * RegOpenKeyTransactedW). A transaction handle is closed with CloseHandle;
 * closing it before CommitTransaction rolls the transaction back. */
#ifndef TONWELL_KTMW32_H
#define TONWELL_KTMW32_H

#include "windef.h"

#define TRANSACTION_DO_NOT_PROMOTE 0x00000001u

EXTERN_C_START

/* lpTransactionAttributes may give no descriptor and no inheritance here; UOW
 * must be null; IsolationLevel and IsolationFlags must be 0; Timeout is not
 * enforced (0: none). INVALID_HANDLE_VALUE with GetLastError on failure. */
WINBASEAPI HANDLE WINAPI CreateTransaction(LPSECURITY_ATTRIBUTES lpTransactionAttributes, LPGUID UOW,
                                           DWORD CreateOptions, DWORD IsolationLevel, DWORD IsolationFlags,
                                           DWORD Timeout, LPWSTR Description);
/* FALSE with ERROR_TRANSACTION_ALREADY_COMMITTED / _ALREADY_ABORTED when the
 * transaction has ended, or with the store's failure (the transaction is then
 * rolled back). */
WINBASEAPI BOOL WINAPI CommitTransaction(HANDLE TransactionHandle);
WINBASEAPI BOOL WINAPI RollbackTransaction(HANDLE TransactionHandle);

EXTERN_C_END

#endif
