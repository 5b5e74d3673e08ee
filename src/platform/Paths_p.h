#pragma once
// What the two halves of Paths provide to the shared part (Paths.cpp).
#include <QString>

// The folder that holds the running executable, with '/' between its parts; without a
// trailing separator except for a root ("/", "C:/").
QString RunningExecutableFolder();
