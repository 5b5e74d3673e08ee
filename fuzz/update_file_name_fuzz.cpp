// The update file's name as the database returns it, on its way to a path that the download
// writes and then runs: whatever the name holds, a name that is accepted names a file directly
// in the download folder (no separator, no way up), short enough for the path limit, and the
// same file after the trip through Big5 that the log and the server take.
//
// Input: a flags byte (download folder; name as UTF-8 or as Big5 bytes), then the name.
#include "FuzzCheck.h"
#include "launcher/UpdateDb.h"
#include "platform/Big5.h"
#include "platform/UpdateFileName.h"

#include <QDir>
#include <QFileInfo>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t flags = in.byte();
    const auto rest = in.rest();
    const QByteArray bytes(reinterpret_cast<const char*>(rest.data()),
                           static_cast<qsizetype>(rest.size()));
    const QString raw = (flags & 1) ? fromBig5(bytes) : QString::fromUtf8(bytes);
    static const QString folders[] = {
        QStringLiteral("/opt/pc-velka/"),
        QStringLiteral("/home/user/下載/PC-Velka/"),
        QStringLiteral("/a/very/long/installation/folder/that/leaves/little/room/for/names/"
                       "pc-velka-setup/"),
        QStringLiteral("/"),
    };
    const QString& dir = folders[(flags >> 1) & 3];

    const QString name = TrimUpdateFileName(raw);
    FUZZ_CHECK(raw.contains(name));
    FUZZ_CHECK(name.isEmpty() || (name.front().unicode() > 0x20 && name.back().unicode() > 0x20));

    if (!IsUsableUpdateFileName(dir, name))
        return 0;
    const QString path = dir + name;
    FUZZ_CHECK(!name.isEmpty());
    FUZZ_CHECK(QDir::cleanPath(path) == path);
    FUZZ_CHECK(QFileInfo(path).path() == QDir::cleanPath(dir));
    FUZZ_CHECK(QFileInfo(path).fileName() == name);
    FUZZ_CHECK(path.toUtf8().size() <= kMaxUpdatePathBytes);
    FUZZ_CHECK(fromBig5(toBig5(name)) == name);
    FUZZ_CHECK(name.compare(QStringLiteral("velka.ini"), Qt::CaseInsensitive) != 0);
    for (QChar c : name)
        FUZZ_CHECK(c.unicode() >= 0x20 && c.unicode() != 0x7F);
    return 0;
}
