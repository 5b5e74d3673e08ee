// The database layer over SQLite catalogs, as the launcher uses it on both platforms: a
// connection opened, statements run on it, closed and opened again on another catalog (each
// opening has a driver thread of its own), and a connection given up by its owner's end.
#include "platform/Database.h"
#include "platform/Settings.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// Writes <dir>/<catalog>.sqlite3 with one row naming the catalog.
bool makeCatalog(const QString& dir, const QString& catalog) {
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), catalog);
        db.setDatabaseName(dir + QLatin1Char('/') + catalog + QStringLiteral(".sqlite3"));
        if (db.open()) {
            QSqlQuery q(db);
            ok = q.exec(QStringLiteral("create table t (name text, n integer)")) &&
                 q.exec(QStringLiteral("insert into t values ('%1', 13)").arg(catalog));
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(catalog);
    return ok;
}

TEST(DatabaseSqlite, ReopenedOnAnotherCatalogAsManyTimesAsAsked) {
    int argc = 1;
    char name[] = "database_sqlite_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const char* catalog : {"alpha", "beta"})
        ASSERT_TRUE(makeCatalog(dir.path(), QString::fromLatin1(catalog)));
    ServerSettings settings = serverSettings();
    settings.dbBackend = QStringLiteral("sqlite");
    settings.dbDirectory = dir.path();
    setServerSettings(settings);

    TADOConnection connection;
    TADOQuery query;
    query.SetConnection(&connection);
    for (int round = 0; round < 6; ++round) {
        const QString catalog = round % 2 ? QStringLiteral("beta") : QStringLiteral("alpha");
        SCOPED_TRACE(catalog.toStdString());
        connection.Close();
        connection.SetConnectionString(QStringLiteral("Initial Catalog='%1'").arg(catalog));
        ASSERT_NO_THROW(connection.Open());
        EXPECT_EQ(connection.Dbms(), DbmsKind::SQLite);
        for (int statement = 0; statement < 2; ++statement) {
            query.SetSql(QStringLiteral("select * from t"));
            ASSERT_NO_THROW(query.Open());
            EXPECT_EQ(query.RecordCount(), 1);
            EXPECT_EQ(query.FieldAsString(QStringLiteral("name")), catalog);
            EXPECT_EQ(query.FieldAsInteger(QStringLiteral("n")), 13);
        }
    }
    // A catalog that is not there is an unreachable server, and the connection stays closed.
    connection.Close();
    connection.SetConnectionString(QStringLiteral("Initial Catalog='gamma'"));
    EXPECT_THROW(connection.Open(), EDatabaseError);
    EXPECT_FALSE(connection.Connected());
}

} // namespace
