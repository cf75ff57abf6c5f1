// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Application.h"
#include "src/AppDelegate.h"

#include <cstdio>
#include <cstdlib>

namespace orvo {
// Set once at start and never changed. The delegate owns every other object of
// the application and is deliberately never destroyed: nothing runs at exit.
platform::Application* app = nullptr;
AppDelegate* delegate = nullptr;
} // namespace orvo

int main(int argc, char** argv)
{
    using namespace orvo;
    platform::Application::handleCommandLine(argc, argv);
    app = &platform::Application::sharedApplication();
    delegate = new AppDelegate();
    app->setDelegate(delegate);
    app->run();
    // Quit ends the process as it stands: streams, key grabs and bus names go
    // with it, and the settings were written when they changed.
    std::fflush(nullptr);
    std::_Exit(0);
}
