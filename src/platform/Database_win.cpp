#include "OdbcManager.h"

// The manager is the system's odbc32.dll, imported by QtSql's ODBC plugin. Looked up, not
// linked, as on the other systems: a program that reads its catalogs from SQLite never loads the
// manager (under Wine that would also load the host's driver manager), and there is one code path
// for "no ODBC connection was ever opened". A DLL's imports are its own on Windows, so linking
// would not have the symbol clash of the other systems; it is simply not needed.
// GetModuleHandleW takes no reference: the plugin holds the DLL for as long as a connection can
// exist.
void* odbcManagerFunction(const char* name) {
    HMODULE manager = ::GetModuleHandleW(L"odbc32.dll");
    if (!manager)
        return nullptr;
    return reinterpret_cast<void*>(::GetProcAddress(manager, name));
}
