#pragma once
#include <QString>

// The directory of the running executable, ending with its separator ("/").
QString ExecutableDir();
