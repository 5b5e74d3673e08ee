#pragma once
// The ODBC driver manager as the database layer reaches it: private to Database.cpp and its
// platform halves (Database_unix.cpp, Database_win.cpp), never included by the floors above, which
// is why the Windows headers may come in here.
#ifdef _WIN32
#include <windows.h> // the Windows ODBC headers are written on its types (HWND, GUID, …)
#endif
#include <sql.h>
#include <sqlext.h>

// A function of the driver manager that QtSql's ODBC plugin loaded, looked up by name; null
// while no ODBC connection was ever opened (the manager is then not in the process) or when the
// manager lacks it. The plugin keeps the manager loaded for as long as a connection can exist,
// so the address stays good while there is a handle to pass to it.
void* odbcManagerFunction(const char* name);
