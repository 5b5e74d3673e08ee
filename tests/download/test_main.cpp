// Entry point of the download tests: a QApplication (offscreen) around GoogleTest.
//
// "--construct-window" turns the binary into a child that only builds the download window and
// reports how that went; the missing-picture test runs a copy of this binary from a folder
// that lacks a picture, since the pictures are looked up beside the executable.
#include "download/Download.h"
#include "platform/Exception.h"

#include <QApplication>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen")
                                                                    : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--construct-window") == 0) {
        try {
            TForm2 form(&app);
            std::puts("constructed");
            return 0;
        } catch (const EFOpenError& e) {
            std::printf("EFOpenError: %s\n", e.message().toUtf8().constData());
            return 3;
        } catch (const std::exception& e) {
            std::printf("other: %s\n", e.what());
            return 4;
        }
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
