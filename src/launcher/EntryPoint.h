#pragma once
// The entry point's protected block: initialise the application object, create the main form
// (whose construction is the whole launcher), run the message loop. An error of the framework's
// class that escapes is shown with its message; any other error is shown with an empty one.
// Either way the loop is not (or no longer) run. Always returns 0.
#include <functional>

class QApplication;

int RunEntryPoint(int& argc, char** argv, const std::function<void()>& createMainForm);
