#include "Globals.h"

#include "interface/SerialLink.h"

std::int32_t SetupValue = 0;
std::int32_t InstalledVersion = 0;
std::int32_t InterfaceValue = 0;
std::int32_t LanguageValue = 0;

QString ServerDate;
std::int32_t NextVersion = 0;
QString UpdateFileName;
std::int32_t UpdateFileSize = 0;
QString DownloadDir;

std::int32_t DownloadResult = 0;

QString ProductCode() {
    switch (DeviceType) {
    case 1:
        return QStringLiteral("fen");
    case 5:
        return QStringLiteral("tarn");
    default:
        return QString();
    }
}
