#pragma once
// velka.ini beside the executable: the installed version (Pc1) and three values carried along.

// Reads the four values into SetupValue, InstalledVersion, InterfaceValue, LanguageValue and
// writes them to the log, ending with "-LoadIni".
void LoadIni();
// Writes the four values back.
void SaveIni();
