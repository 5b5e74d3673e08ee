#include "Ini.h"

#include "Globals.h"
#include "LogFile.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"

namespace {
QString iniFileName() {
    return ExecutableDir() + QStringLiteral("velka.ini");
}
} // namespace

void LoadIni() {
    {
        const IniFile ini(iniFileName());
        SetupValue = ini.ReadInteger(QStringLiteral("VERSION"), QStringLiteral("Setup"), 0);
        InstalledVersion = ini.ReadInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), 0);
        InterfaceValue = ini.ReadInteger(QStringLiteral("VERSION"), QStringLiteral("Interface"), 0);
        LanguageValue = ini.ReadInteger(QStringLiteral("Language"), QStringLiteral("Language"), 0);
    }
    LogFile::Write(QStringLiteral("Setup="), SetupValue);
    LogFile::Write(QStringLiteral("Pc1="), InstalledVersion);
    LogFile::Write(QStringLiteral("Interface="), InterfaceValue);
    LogFile::Write(QStringLiteral("Language="), LanguageValue);
    LogFile::Write(QStringLiteral("-LoadIni"));
}

bool SaveIni() {
    // Every value is attempted even after one has failed. IniFile never leaves a half-written
    // file behind, so a failed write keeps the previous velka.ini; the caller tells the user,
    // since an unrecorded version would bring the same update again at the next start.
    IniFile ini(iniFileName());
    bool ok = ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Setup"), SetupValue);
    ok = ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Pc1"), InstalledVersion) && ok;
    ok = ini.WriteInteger(QStringLiteral("VERSION"), QStringLiteral("Interface"), InterfaceValue) &&
         ok;
    ok = ini.WriteInteger(QStringLiteral("Language"), QStringLiteral("Language"), LanguageValue) &&
         ok;
    return ok;
}
