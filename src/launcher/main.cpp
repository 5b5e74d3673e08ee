// Entry point of the launcher. The start-up sequence is being built; for now the program only
// initialises the application object.
#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    return 0;
}
