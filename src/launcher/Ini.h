#pragma once
// velka.ini beside the executable: the installed version (Pc1) and three values carried along.

// Reads the four values into SetupValue, InstalledVersion, InterfaceValue, LanguageValue and
// writes them to the log, ending with "-LoadIni".
void LoadIni();
// Writes the four values back. False when any of them could not be written (a read-only file
// or folder, a full disk): the file then still holds what it held before that write.
bool SaveIni();
