#include "OdbcManager.h"

#include <dlfcn.h>

// Looked up rather than linked: a program linked with the driver manager puts its functions in
// the global scope, where they take the place of the driver's own functions of the same name
// (FreeTDS calls its SQLGetTypeInfo, and got the manager's, which rejected the driver's handle).
// RTLD_NOLOAD: only the manager that the plugin loaded, never a second one.
void* odbcManagerFunction(const char* name) {
    void* manager = ::dlopen("libodbc.so.2", RTLD_LAZY | RTLD_NOLOAD);
    if (!manager)
        return nullptr;
    void* function = ::dlsym(manager, name);
    ::dlclose(manager);
    return function;
}
