#include "FileSystem.h"

// What both halves share: no system call of its own.

bool IsSameFile(const QString& path, const FileIdentity& identity) {
    const std::optional<FileIdentity> there = RegularFileIdentity(path);
    return there && *there == identity;
}

QString ByteLimitText(std::int64_t bytes) {
    constexpr std::int64_t KiB = 1024;
    if (bytes > 0 && bytes % (KiB * KiB) == 0)
        return QStringLiteral("%1 MiB").arg(bytes / (KiB * KiB));
    if (bytes > 0 && bytes % KiB == 0)
        return QStringLiteral("%1 KiB").arg(bytes / KiB);
    return QStringLiteral("%1 bytes").arg(bytes);
}
