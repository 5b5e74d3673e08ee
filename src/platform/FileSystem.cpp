#include "FileSystem.h"

#include <QFile>
#include <filesystem>
#include <system_error>

namespace {
std::filesystem::path nativePath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}
} // namespace

bool FileExists(const QString& path) {
    if (path.isEmpty())
        return false;
    std::error_code ec;
    const auto status = std::filesystem::status(nativePath(path), ec);
    return !ec && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

std::int64_t FileSize(const QString& path) {
    if (path.isEmpty())
        return 0;
    std::error_code ec;
    const auto size = std::filesystem::file_size(nativePath(path), ec);
    return ec ? 0 : static_cast<std::int64_t>(size);
}

bool DeleteFile(const QString& path) {
    if (path.isEmpty())
        return false;
    std::error_code ec;
    const auto p = nativePath(path);
    if (std::filesystem::is_directory(p, ec))
        return false;
    return std::filesystem::remove(p, ec) && !ec;
}

bool MakeExecutableByOwner(const QString& path) {
#ifdef _WIN32
    Q_UNUSED(path);
    return true;
#else
    if (path.isEmpty())
        return false;
    std::error_code ec;
    std::filesystem::permissions(nativePath(path), std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add, ec);
    return !ec;
#endif
}
