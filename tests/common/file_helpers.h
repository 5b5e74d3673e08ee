// Whole-file reads and writes for tests that prepare folders and compare what a run left there.
#pragma once

#include <QFile>
#include <QString>
#include <gtest/gtest.h>

namespace {

// A missing file reads as "<missing>", which no expected content equals.
inline QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Fails the calling test (wrap the call in ASSERT_NO_FATAL_FAILURE to stop it there).
inline void writeAll(const QString& path, const QByteArray& bytes, bool executable = false) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << qPrintable(path);
    ASSERT_EQ(f.write(bytes), bytes.size());
    f.close();
    if (executable)
        f.setPermissions(f.permissions() | QFile::ExeOwner);
}

} // namespace
