// The connection string as the launcher builds it, how the database layer reads it back, and
// what it hands to the ODBC driver manager and to SQLite.
#include "interface/SerialLink.h"
#include "launcher/Globals.h"
#include "launcher/UpdateDb.h"
#include "platform/Database.h"
#include "platform/Numbers.h"
#include "platform/Paths.h"
#include "platform/Settings.h"

#include <gtest/gtest.h>

namespace {

class SettingsScope {
public:
    explicit SettingsScope(const ServerSettings& s) : saved_(serverSettings()) {
        setServerSettings(s);
    }
    ~SettingsScope() { setServerSettings(saved_); }

private:
    ServerSettings saved_;
};

ServerSettings productionLike() {
    ServerSettings s = defaultServerSettings();
    s.host = QStringLiteral("update.example.com");
    s.dbUser = QStringLiteral("abcdefg");
    s.dbPassword = QStringLiteral("hijklmno");
    return s;
}

} // namespace

TEST(DbConnectionString, IsTheElevenPiecesInOrder) {
    SettingsScope scope(productionLike());
    EXPECT_EQ(ConnectionString(QStringLiteral("會員資料")),
              QStringLiteral("Provider=SQLOLEDB.1;Password='hijklmno';User ID='abcdefg';"
                             "persist security catalog=experiment;Initial Catalog='會員資料';"
                             "Data Source='update.example.com'"));
    const ConnectionKeys keys = parseConnectionString(ConnectionString(QStringLiteral("軟體版本")));
    EXPECT_EQ(keys.password, QStringLiteral("hijklmno"));
    EXPECT_EQ(keys.userId, QStringLiteral("abcdefg"));
    EXPECT_EQ(keys.initialCatalog, QStringLiteral("軟體版本"));
    EXPECT_EQ(keys.dataSource, QStringLiteral("update.example.com"));
}

// Values from server.ini that try to end their piece early and add a key of their own come back
// whole, and the keys they imitate keep their real values.
TEST(DbConnectionString, HostileValuesCannotInjectKeys) {
    struct Case {
        const char* password;
        const char* user;
        const char* host;
    };
    const Case cases[] = {
        {"x';Data Source='evil.example", "abcdefg", "update.example.com"},
        {"pa;ss=word", "u';Password='y", "h"},
        {"''", "'", "host';Initial Catalog='other"},
        {"\"quoted\"", "a\"b", "h;x=y"},
        {" spaced ", "abcdefg", "h"},
    };
    for (const Case& c : cases) {
        ServerSettings s = productionLike();
        s.dbPassword = QString::fromUtf8(c.password);
        s.dbUser = QString::fromUtf8(c.user);
        s.host = QString::fromUtf8(c.host);
        SettingsScope scope(s);
        SCOPED_TRACE(c.password);
        const ConnectionKeys keys =
            parseConnectionString(ConnectionString(QStringLiteral("軟體版本")));
        EXPECT_EQ(keys.password, s.dbPassword);
        EXPECT_EQ(keys.userId, s.dbUser);
        EXPECT_EQ(keys.initialCatalog, QStringLiteral("軟體版本"));
        EXPECT_EQ(keys.dataSource, s.host);
    }
}

TEST(DbConnectionString, ParserTable) {
    struct Case {
        const char* text;
        bool valid;
        const char* password;
        const char* catalog;
    };
    const Case cases[] = {
        {"Password=abc;Initial Catalog=db", true, "abc", "db"},
        {"  password = 'a b' ; INITIAL CATALOG = \"x;y\" ;", true, "a b", "x;y"},
        {"Password='it''s';Initial Catalog='c'", true, "it's", "c"},
        {"Password=\"say \"\"hi\"\"\";Initial Catalog=c", true, "say \"hi\"", "c"},
        {"Provider=SQLOLEDB.1;;;Password=p", true, "p", ""},
        {"Password='unterminated;Initial Catalog=c", false, "", ""},
        {"Password='a'b;Initial Catalog=c", false, "", ""},
        {"Password=a;Password=b", false, "", ""},
        {"Initial Catalog=a;initial catalog='b'", false, "", ""},
        {"Password", false, "", ""},
        {"Password;Initial Catalog=c", false, "", ""},
        {"", true, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        if (!c.valid) {
            EXPECT_THROW(parseConnectionString(QString::fromUtf8(c.text)), EDatabaseError);
            continue;
        }
        const ConnectionKeys keys = parseConnectionString(QString::fromUtf8(c.text));
        EXPECT_EQ(keys.password, QString::fromUtf8(c.password));
        EXPECT_EQ(keys.initialCatalog, QString::fromUtf8(c.catalog));
    }
}

TEST(DbOdbcString, CarriesCatalogHostPortLoginAndTimeout) {
    ServerSettings s = productionLike();
    s.dbPort = QStringLiteral("1433");
    const ConnectionKeys keys = {QStringLiteral("hijklmno"), QStringLiteral("abcdefg"),
                                 QStringLiteral("會員資料"), QStringLiteral("update.example.com")};

    s.dbDriver = QStringLiteral("FreeTDS");
    EXPECT_EQ(odbcConnectionString(keys, s),
              QStringLiteral("DRIVER={FreeTDS};SERVER=update.example.com;PORT=1433;"
                             "DATABASE=會員資料;UID=abcdefg;PWD={hijklmno};"
                             "TDS_Version=7.4;ClientCharset=UTF-8;Timeout=30;"));
    s.dbQueryTimeout = 2;
    EXPECT_TRUE(odbcConnectionString(keys, s).endsWith(QStringLiteral(";Timeout=2;")));

    s.dbDriver = QStringLiteral("ODBC Driver 18 for SQL Server");
    EXPECT_EQ(odbcConnectionString(keys, s),
              QStringLiteral("DRIVER={ODBC Driver 18 for SQL Server};"
                             "SERVER=update.example.com,1433;DATABASE=會員資料;UID=abcdefg;"
                             "PWD={hijklmno};"));

    s.dbDriver = QStringLiteral("PostgreSQL Unicode");
    s.dbPort.clear();
    EXPECT_EQ(odbcConnectionString(keys, s),
              QStringLiteral("DRIVER={PostgreSQL Unicode};SERVER=update.example.com;"
                             "DATABASE=會員資料;UID=abcdefg;PWD={hijklmno};"));

    EXPECT_EQ(odbcConnectOptions(kConnectionTimeoutSeconds),
              QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=5"));
}

// Encrypt=yes appends each driver's own key and changes nothing else; a driver without a known
// key is refused rather than connected in clear text.
TEST(DbOdbcString, EncryptAddsTheDriversOwnKey) {
    const ConnectionKeys keys = {QStringLiteral("hijklmno"), QStringLiteral("abcdefg"),
                                 QStringLiteral("會員資料"), QStringLiteral("update.example.com")};
    const std::pair<const char*, const char*> drivers[] = {
        {"FreeTDS", "Encryption=require;"},
        {"/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so", "Encryption=require;"},
        {"ODBC Driver 18 for SQL Server", "Encrypt=yes;"},
        {"SQL Server", "Encrypt=yes;"},
        {"PostgreSQL Unicode", "SSLMode=require;"},
        {"psqlodbcw.so", "SSLMode=require;"},
        {"SQLite3", nullptr},
        {"Some Other Driver", nullptr},
    };
    for (const auto& [driver, piece] : drivers) {
        SCOPED_TRACE(driver);
        ServerSettings s = productionLike();
        s.dbDriver = QString::fromUtf8(driver);
        const QString plain = odbcConnectionString(keys, s);
        EXPECT_FALSE(plain.contains(QStringLiteral("ncrypt"), Qt::CaseInsensitive));
        EXPECT_FALSE(plain.contains(QStringLiteral("SSL"), Qt::CaseInsensitive));
        s.dbEncrypt = true;
        if (piece)
            EXPECT_EQ(odbcConnectionString(keys, s), plain + QString::fromLatin1(piece));
        else
            EXPECT_THROW(odbcConnectionString(keys, s), EDatabaseError);
    }
}

// The password travels in braces (a closing brace doubled); everything else must not need them.
TEST(DbOdbcString, RefusesWhatOdbcSyntaxCannotCarry) {
    ServerSettings s = productionLike();
    s.dbDriver = QStringLiteral("PostgreSQL Unicode");
    const ConnectionKeys good = {QStringLiteral("p;a}s'{="), QStringLiteral("abcdefg"),
                                 QStringLiteral("會員資料"), QStringLiteral("127.0.0.1")};
    EXPECT_TRUE(odbcConnectionString(good, s).contains(QStringLiteral("PWD={p;a}}s'{=};")));

    struct Case {
        const char* field;
        const char* value;
    };
    const Case bad[] = {
        {"host", "h;DATABASE=x"}, {"host", "h}"},      {"host", " h"},      {"catalog", "a;b"},
        {"catalog", "{a}"},       {"catalog", "a\nb"}, {"user", "u;PWD=x"}, {"user", "u=v"},
        {"port", "1433;x=1"},     {"port", "0"},       {"port", "65536"},   {"port", "+12"},
        {"driver", "Free}TDS"},   {"driver", ""},
    };
    for (const Case& c : bad) {
        SCOPED_TRACE(std::string(c.field) + ": " + c.value);
        ConnectionKeys keys = good;
        ServerSettings t = s;
        const QString v = QString::fromUtf8(c.value);
        const std::string f = c.field;
        if (f == "host")
            keys.dataSource = v;
        else if (f == "catalog")
            keys.initialCatalog = v;
        else if (f == "user")
            keys.userId = v;
        else if (f == "port")
            t.dbPort = v;
        else
            t.dbDriver = v;
        EXPECT_THROW(odbcConnectionString(keys, t), EDatabaseError);
    }
}

TEST(DbSqlitePath, OneFilePerCatalogInsideTheDirectory) {
    ServerSettings s = defaultServerSettings();
    setExecutableDirForTesting(QStringLiteral("/opt/velka"));
    s.dbDirectory = QStringLiteral("db");
    EXPECT_EQ(sqliteCatalogPath(QStringLiteral("軟體版本"), s),
              QStringLiteral("/opt/velka/db/軟體版本.sqlite3"));
    s.dbDirectory = QStringLiteral("/var/lib/velka/");
    EXPECT_EQ(sqliteCatalogPath(QStringLiteral("會員資料"), s),
              QStringLiteral("/var/lib/velka/會員資料.sqlite3"));
    for (const char* catalog : {"", ".", "..", "../x", "a/b", "a\\b", "a\tb"})
        EXPECT_THROW(sqliteCatalogPath(QString::fromUtf8(catalog), s), EDatabaseError) << catalog;
    setExecutableDirForTesting(QString());
}

// Fields take blanks on both sides (fixed-width columns come padded); the FTP layer's StrToInt
// only spaces before. Either way a refusal names the text exactly as it came.
TEST(DbFieldConversion, StrictIntegerTable) {
    struct Case {
        const char* text;
        bool around;  // valid with Blanks::Around
        bool leading; // valid with Blanks::Leading
        std::int32_t value;
    };
    const Case cases[] = {
        {"0", true, true, 0},
        {"13", true, true, 13},
        {" 42 ", true, false, 42},
        {"  42", true, true, 42},
        {"\t42\r\n", true, false, 42},
        {"-7", true, true, -7},
        {"+8", true, true, 8},
        {"2147483647", true, true, 2147483647},
        {"-2147483648", true, true, -2147483647 - 1},
        {"2147483648", false, false, 0},
        {"-2147483649", false, false, 0},
        {"99999999999999999999999", false, false, 0},
        {"", false, false, 0},
        {"   ", false, false, 0},
        {"-", false, false, 0},
        {"- 1", false, false, 0},
        {"abc", false, false, 0},
        {"12a", false, false, 0},
        {"1 2", false, false, 0},
        {"1.5", false, false, 0},
        {"0x10", false, false, 0},
        {"ï¼", false, false, 0}, // a full-width digit is no decimal digit here
    };
    for (const Case& c : cases) {
        const QString text = QString::fromUtf8(c.text);
        for (const Blanks blanks : {Blanks::Around, Blanks::Leading}) {
            SCOPED_TRACE(std::string(c.text) + (blanks == Blanks::Around ? " around" : " leading"));
            if (blanks == Blanks::Around ? c.around : c.leading) {
                EXPECT_EQ(StrToInt32(text, blanks), c.value);
                continue;
            }
            try {
                StrToInt32(text, blanks);
                ADD_FAILURE() << "accepted";
            } catch (const EConvertError& e) {
                EXPECT_EQ(e.message(),
                          QStringLiteral("'%1' is not a valid integer value").arg(text));
            }
        }
    }
}

TEST(DbProductCode, FollowsTheDeviceType) {
    const std::uint8_t saved = DeviceType;
    const std::pair<int, const char*> table[] = {{1, "fen"}, {5, "tarn"}, {0, ""}, {2, ""}};
    for (const auto& [type, code] : table) {
        DeviceType = static_cast<std::uint8_t>(type);
        EXPECT_EQ(ProductCode(), QString::fromLatin1(code)) << type;
    }
    DeviceType = saved;
}
