#pragma once
#include <QString>

// The directory of the running executable, ending with its separator ("/").
QString ExecutableDir();

// Tests that run library code outside the installed program point ExecutableDir() at a folder
// of their own (empty: back to the real one). Returns the previous one.
QString setExecutableDirForTesting(const QString& dir);
