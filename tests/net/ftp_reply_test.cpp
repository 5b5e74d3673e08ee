// Reply parsing of the FTP client without a socket: reply codes, continuation lines, command
// kinds, announced byte counts, PASV ports and the strict integer conversion behind them.
#include "loopback_peer.h"
#include "net/FtpClient.h"

#include <gtest/gtest.h>

namespace {

TEST(FtpReply, ReplyCodeFromLeadingDigits) {
    struct Case {
        const char* line;
        int code;
    } cases[] = {
        {"220 ready\r\n", 220},
        {"150-more\r\n", 150},
        {"226\r\n", 226},
        {"garbage\r\n", 0},
        {"", 0},
        {" 220 leading blank\r\n", 0},
        {"32767 largest\r\n", 32767},
        {"32768 too big for the field\r\n", 0},
        {"99999999999999 huge\r\n", 0}, // only 10 digits are read, and they do not fit
        {"\xd9\xa3\xd9\xa2 arabic digits\r\n", 0},
        {"0220 leading zero\r\n", 220},
        {"00000000001 only the first ten digits count\r\n", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TFtpClient::ParseReplyCode(QString::fromLatin1(c.line)), c.code) << c.line;
}

TEST(FtpReply, ContinuationLines) {
    EXPECT_TRUE(TFtpClient::IsContinuationLine(QStringLiteral("220-first\r\n")));
    EXPECT_TRUE(TFtpClient::IsContinuationLine(QStringLiteral(" indented\r\n")));
    EXPECT_TRUE(TFtpClient::IsContinuationLine(QStringLiteral("ab -x\r\n")));
    EXPECT_FALSE(TFtpClient::IsContinuationLine(QStringLiteral("220 last\r\n")));
    EXPECT_FALSE(TFtpClient::IsContinuationLine(QStringLiteral("22-\r\n")));
    EXPECT_FALSE(TFtpClient::IsContinuationLine(QString()));
}

TEST(FtpReply, CommandKinds) {
    struct Case {
        const char* command;
        TCmdType kind;
    } cases[] = {
        {"CWD /tarn", ctChangeDir}, {"CWD", ctChangeDir},     {"MKD x", ctMakeDir},
        {"DELE a.zip", ctDelete},   {"RMD old", ctRemoveDir}, {"PWD", ctCurrentDir},
        {"PWD x", ctCommand},       {"pwd", ctCommand},       {"cwd /tarn", ctCommand},
        {"CWDX /", ctCommand},      {"NOOP", ctCommand},      {"", ctCommand},
        {" CWD /", ctCommand},      {"PWD ", ctCommand},      {"DELETE a", ctCommand},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TFtpClient::ClassifyCommand(QString::fromLatin1(c.command)), c.kind) << c.command;
}

TEST(FtpReply, ByteCounts) {
    struct Case {
        const char* line;
        qint32 count;
        long long announced; // -1: none
    } cases[] = {
        {"150 Opening BINARY mode data connection for a.zip (1048576 bytes).\r\n", 1048576,
         1048576},
        {"150 Opening data connection (2048 BYTES)\r\n", 2048, 2048},
        {"150 here: 77 Bytes\r\n", 77, 77},
        {"150 File status okay. About to open data connection.\r\n", 0, -1},
        {"150 bytes follow\r\n", 150, 150},          // the nearest digits: here the reply code
        {"bytes follow\r\n", 0, -1},                 // no digit before the word
        {"150 (12 kilobytes) 34 bytes\r\n", 12, 12}, // the first BYTE counts
        {"150 size 5, (bytes)\r\n", 5, 5},           // the nearest digits before it
        {"150 (2147483647 bytes)\r\n", 2147483647, 2147483647LL},
        {"150 (2147483648 bytes)\r\n", 0, 2147483648LL},
        {"150 (4294967296 bytes)\r\n", 0, 4294967296LL},
        {"150 (-5 bytes)\r\n", 5, 5},
        {"150 (0 bytes)\r\n", 0, 0},
        // A "\xdf" (sharp s) is two letters in upper case: the count must still be the one
        // just before the word, and a line full of them must not send the scan past its end.
        {"150 \xdf\xdf\xdf\xdf\xdf\xdf\xdf\xdf\xdf\xdf 12 bytes of 34\r\n", 12, 12},
        {"150 \xdf\xdf\xdf\xdf\xdf\xdf\xdf\xdf\xdf\xdf\xdf\xdf 7 BYTE\r\n", 7, 7},
    };
    for (const Case& c : cases) {
        const QString line = QString::fromLatin1(c.line);
        EXPECT_EQ(TFtpClient::ExtractByteCount(line), c.count) << c.line;
        const auto announced = TFtpClient::AnnouncedByteCount(line);
        if (c.announced < 0) {
            EXPECT_FALSE(announced.has_value()) << c.line;
        } else {
            EXPECT_EQ(announced.value_or(0), static_cast<quint64>(c.announced)) << c.line;
        }
    }
    // A run of digits longer than any 64-bit number is absurd, never a wrapped small one.
    const QString absurd = QStringLiteral("150 (123456789012345678901234567890 bytes)");
    EXPECT_EQ(TFtpClient::ExtractByteCount(absurd), 0);
    EXPECT_GT(TFtpClient::AnnouncedByteCount(absurd).value_or(0), quint64(1) << 62);
}

TEST(FtpReply, StrictIntegerConversion) {
    EXPECT_EQ(TFtpClient::StrToInt(QStringLiteral("137")), 137);
    EXPECT_EQ(TFtpClient::StrToInt(QStringLiteral("  19")), 19);
    EXPECT_EQ(TFtpClient::StrToInt(QStringLiteral("-1")), -1);
    EXPECT_EQ(TFtpClient::StrToInt(QStringLiteral("+2147483647")), 2147483647);
    EXPECT_EQ(TFtpClient::StrToInt(QStringLiteral("-2147483648")), -2147483647 - 1);
    for (const char* bad :
         {"", " ", "1x", "19 ", "2147483648", "99999999999999999999", "-", "0x10", "1.5"}) {
        try {
            TFtpClient::StrToInt(QString::fromLatin1(bad));
            ADD_FAILURE() << "accepted " << bad;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.message(), QStringLiteral("'%1' is not a valid integer value").arg(bad));
        }
    }
}

TEST(FtpReply, PassivePorts) {
    struct Good {
        const char* line;
        quint16 port;
    } good[] = {
        {"227 Entering Passive Mode (192,168,1,10,19,137)\r\n", 5001},
        {"227 Entering passive mode (127,0,0,1,255,255).", 65535},
        // Parentheses are not required, nor closed; blanks may follow a comma.
        {"227 Entering Passive Mode 127,0,0,1,4,5\r\n", 1029},
        {"227 Entering Passive Mode 127,0,0,1,4,5.\r\n", 1029},
        {"227 Entering Passive Mode (127,0,0,1,19,137\r\n", 5001},
        {"227 Entering Passive Mode (127, 0, 0, 1, 4, 5)\r\n", 1029},
        {"227 =127,0,0,1,0,1", 1},
        // Shorter runs and numbers glued to words before it are passed over.
        {"227 Mode 2,3 (127,0,0,1,4,5)", 1029},
        {"227 v1,2,3,4,5,6 x (10,0,0,1,0,80)", 80},
        {"227 1.5 (10,0,0,1,0,80)", 80},
    };
    for (const Good& g : good)
        EXPECT_EQ(TFtpClient::PasvPort(QString::fromLatin1(g.line)), g.port) << g.line;

    // Everything else: FTPException with the line.
    for (const char* b : {
             "227 Entering Passive Mode\r\n",
             "227 (127,0,0,1,19)\r\n",
             "227 (127,0,0,1,x,137)\r\n",
             "227 (127,0,0,1,19,1a7)\r\n",
             "227 (127,0,0,1,19,1.5)\r\n",
             "227 (127,0,0,1,99999999999,1)\r\n",
             "227 (127,0,0,1,0,0)\r\n", // port 0
             "227 (127,0,0,1,256,0)\r\n",
             "227 (127,0,0,1,1,256)\r\n",
             "227 (127,0,0,1,-1,80)\r\n",
             "227 (127,0,0,1,1000,1000)\r\n",
             "227 (127,0,0,1,4,5,6)\r\n", // seven numbers
             "227 (256,0,0,1,4,5) (127,0,0,1,4,5)\r\n",
             "227 =(h,h,h,h, 0, 1)",
         }) {
        const QString line = QString::fromLatin1(b);
        try {
            const quint16 port = TFtpClient::PasvPort(line);
            ADD_FAILURE() << "accepted " << b << " as " << port;
        } catch (const FTPException& e) {
            EXPECT_EQ(e.message(), line);
        }
    }
}

TEST(FtpReply, InitialValues) {
    TestApp();
    TFtpClient c;
    EXPECT_EQ(c.Port(), 21);
    EXPECT_EQ(c.TimeOut(), 0);
    EXPECT_EQ(c.Vendor(), 2411);
    EXPECT_FALSE(c.Passive());
    EXPECT_FALSE(c.ParseList());
    EXPECT_EQ(c.FirewallType(), FTUser);
    EXPECT_FALSE(c.FWAuthenticate());
    EXPECT_TRUE(c.UserID().isEmpty() && c.Password().isEmpty());
    EXPECT_EQ(c.DataConnection(), nullptr);
    EXPECT_EQ(c.ReceivedBytes(), 0);
    EXPECT_EQ(c.TransferSize(), 0);
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(int(FtOpen), 1);
    EXPECT_EQ(int(FtSite), 2);
}

} // namespace
