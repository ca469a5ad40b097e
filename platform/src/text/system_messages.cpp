#include "text/system_messages.h"

#include <winerror.h>

#include <algorithm>
#include <iterator>

namespace tonwell::platform::text {

namespace {

struct Message {
    DWORD id;
    const char* text;
};

// Sorted by id. Texts are the platform's own wording; several contain an
// insert (%1) that callers normally pass through with FORMAT_MESSAGE_IGNORE_INSERTS.
constexpr Message kMessages[] = {
    // Win32 error codes.
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {18, "There are no more files.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {33, "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {111, "The file name is too long.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {170, "The requested resource is in use.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {193, "%1 is not a valid Win32 application.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {234, "More data is available.\r\n"},
    {258, "The wait operation timed out.\r\n"},
    {259, "No more data is available.\r\n"},
    {288, "Attempt to release mutex not owned by caller.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {735, "ERROR_ABANDONED_WAIT_0\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1004, "Invalid flags.\r\n"},
    {1008, "An attempt was made to reference a token that does not exist.\r\n"},
    {1009, "The configuration registry database is corrupt.\r\n"},
    {1010, "The configuration registry key is invalid.\r\n"},
    {1011, "The configuration registry key could not be opened.\r\n"},
    {1012, "The configuration registry key could not be read.\r\n"},
    {1013, "The configuration registry key could not be written.\r\n"},
    {1015, "The registry is corrupted. The structure of one of the files containing registry data is corrupted, "
           "or the system's memory image of the file is corrupted, or the file could not be recovered because the "
           "alternate copy or log was absent or corrupted.\r\n"},
    {1016, "An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or "
           "write out, or flush, one of the files that contain the system's image of the registry.\r\n"},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1021, "Cannot create a stable subkey under a volatile parent key.\r\n"},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1114, "A dynamic link library (DLL) initialization routine failed.\r\n"},
    {1168, "Element not found.\r\n"},
    {1305, "The revision level is unknown.\r\n"},
    {1314, "A required privilege is not held by the client.\r\n"},
    {1332, "No mapping between account names and security IDs was done.\r\n"},
    {1336, "The access control list (ACL) structure is invalid.\r\n"},
    {1337, "The security ID structure is invalid.\r\n"},
    {1338, "The security descriptor structure is invalid.\r\n"},
    {1359, "An internal error occurred.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1812, "The specified image file did not contain a resource section.\r\n"},
    {1813, "The specified resource type cannot be found in the image file.\r\n"},
    {1814, "The specified resource name cannot be found in the image file.\r\n"},
    {1815, "The specified resource language ID cannot be found in the image file.\r\n"},
    {15100, "The resource loader failed to find MUI file.\r\n"},

    // HRESULTs of other facilities than FACILITY_WIN32.
    {0x00040200, "An event was able to invoke some but not all of the subscribers\r\n"},
    {0x80004001, "Not implemented\r\n"},
    {0x80004002, "No such interface supported\r\n"},
    {0x80004003, "Invalid pointer\r\n"},
    {0x80004004, "Operation aborted\r\n"},
    {0x80004005, "Unspecified error\r\n"},
    {0x8000FFFF, "Catastrophic failure\r\n"},
    {0x80010106, "Cannot change thread mode after it is set.\r\n"},
    {0x80020001, "Unknown interface.\r\n"},
    {0x80020003, "Member not found.\r\n"},
    {0x80020004, "Parameter not found.\r\n"},
    {0x80020005, "Type mismatch.\r\n"},
    {0x80020006, "Unknown name.\r\n"},
    {0x80020007, "No named arguments.\r\n"},
    {0x80020008, "Bad variable type.\r\n"},
    {0x80020009, "Exception occurred.\r\n"},
    {0x8002000A, "Out of present range.\r\n"},
    {0x8002000B, "Invalid index.\r\n"},
    {0x8002000C, "Unknown language.\r\n"},
    {0x8002000D, "Memory is locked.\r\n"},
    {0x8002000E, "Invalid number of parameters.\r\n"},
    {0x8002000F, "Parameter not optional.\r\n"},
    {0x80020010, "Invalid callee.\r\n"},
    {0x80020011, "Does not support a collection.\r\n"},
    {0x80020012, "Division by zero.\r\n"},
    {0x80028016, "Buffer too small.\r\n"},
    {0x80028017, "Field name not defined in the record.\r\n"},
    {0x80028018, "Old format or invalid type library.\r\n"},
    {0x80028019, "Old format or invalid type library.\r\n"},
    {0x8002801C, "Error accessing the OLE registry.\r\n"},
    {0x8002801D, "Library not registered.\r\n"},
    {0x80028027, "Wrong module kind for the operation.\r\n"},
    {0x80028029, "Invalid forward reference, or reference to uncompiled type.\r\n"},
    {0x8002802B, "Element not found.\r\n"},
    {0x8002802C, "Ambiguous name.\r\n"},
    {0x8002802D, "Name already exists in the library.\r\n"},
    {0x8002802E, "Unknown LCID.\r\n"},
    {0x8002802F, "Function not defined in specified DLL.\r\n"},
    {0x80028CA0, "Type mismatch.\r\n"},
    {0x80028CA1, "Invalid number of arguments.\r\n"},
    {0x80028CA2, "I/O Error.\r\n"},
    {0x80028CA3, "Error creating unique tmp file.\r\n"},
    {0x80029C4A, "Error loading type library/DLL.\r\n"},
    {0x80029C83, "Inconsistent property functions.\r\n"},
    {0x80029C84, "Circular dependency between types/modules.\r\n"},
    {0x80040110, "Class does not support aggregation (or class object is remote)\r\n"},
    {0x80040111, "ClassFactory cannot supply requested class\r\n"},
    {0x80040150, "Could not read key from registry\r\n"},
    {0x80040151, "Could not write key to registry\r\n"},
    {0x80040152, "Could not find the key in the registry\r\n"},
    {0x80040153, "Invalid value for registry\r\n"},
    {0x80040154, "Class not registered\r\n"},
    {0x80040155, "Interface not registered\r\n"},
    {0x800401F0, "CoInitialize has not been called.\r\n"},
    {0x800401F3, "Invalid class string\r\n"},
    {0x800401F4, "Invalid interface string\r\n"},
    {0x800401F5, "Application not found\r\n"},
    {0x800401F8, "DLL for class not found\r\n"},
    {0x800401F9, "Error in the DLL\r\n"},
    // The interface-specific SELFREG_E_CLASS shares its number with this
    // system event code, so the system reports this text for it.
    {0x80040201, "An event was unable to invoke any of the subscribers\r\n"},
};

constexpr bool IsSorted()
{
    for (size_t i = 1; i < std::size(kMessages); ++i)
        if (kMessages[i - 1].id >= kMessages[i].id)
            return false;
    return true;
}
static_assert(IsSorted(), "the message table is searched by bisection");

const char* Lookup(DWORD id)
{
    auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), id,
                               [](const Message& m, DWORD key) { return m.id < key; });
    return (it != std::end(kMessages) && it->id == id) ? it->text : nullptr;
}

} // namespace

const char* FindSystemMessage(DWORD dwMessageId)
{
    if (const char* text = Lookup(dwMessageId))
        return text;
    // An error HRESULT wrapping a Win32 code reads as that code.
    if ((dwMessageId & 0xFFFF0000u) == 0x80070000u)
        return Lookup(dwMessageId & 0xFFFFu);
    return nullptr;
}

} // namespace tonwell::platform::text
