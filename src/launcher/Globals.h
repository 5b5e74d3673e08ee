#pragma once
// Process-wide values through which the launcher, the database queries and the download window
// exchange the state of one run. Zero or empty at start.
#include <QString>
#include <cstdint>

extern std::int32_t SetupValue;       // velka.ini [VERSION] Setup, carried only
extern std::int32_t InstalledVersion; // velka.ini [VERSION] Pc1
extern std::int32_t InterfaceValue;   // velka.ini [VERSION] Interface, carried only
extern std::int32_t LanguageValue;    // velka.ini [Language] Language, carried only

extern QString ServerDate;          // eight digits, year-month-day
extern std::int32_t NextVersion;    // from the update database
extern QString UpdateFileName;      // trimmed file name of the update
extern std::int32_t UpdateFileSize; // bytes
extern QString DownloadDir;         // executable's directory, ending with its separator

// "fen" for device type 1, "tarn" for 5, empty for any other type: the product line whose rows
// the update database holds and whose updates are signed.
QString ProductCode();

// 0 when the download window is created; 1 = fetched, run and ended; 2 = gave up after three
// failed attempts; 3 = the user left through the exit picture. Only 1 records the version.
extern std::int32_t DownloadResult;
