// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/Object.h"

namespace orvo::platform {

// Receives the application's launch notification.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    // Called once, from inside run(), on the main loop, after the event loop
    // has started. The notification's content is not modelled: there is none
    // the application reads.
    virtual void applicationDidFinishLaunching() = 0;
};

// The one application object and its event loop.
//
// Contract:
// - sharedApplication() always returns the same object; it is never destroyed.
// - setDelegate() does not take ownership: the caller keeps the delegate alive
//   for as long as run() may call it.
// - run() starts the event loop, delivers applicationDidFinishLaunching() once
//   and returns only when the application ends (after terminate:).
// - The Object side answers exactly one action, "terminate:", which ends the
//   event loop; run() then returns and the process exits with status 0.
class Application : public Object {
public:
    static Application& sharedApplication();

    // Reads the process's command line before anything else is made. A
    // request for the running instance, help, or a usage error is handled
    // here and ends the process with its exit status; a plain start returns.
    static void handleCommandLine(int argc, char** argv);

    virtual void setDelegate(ApplicationDelegate* delegate) = 0;
    virtual void run() = 0;
    virtual void terminate() = 0;

    bool respondsToSelector(const Selector& selector) const override;
    void performSelector(const Selector& selector, MenuItem* sender) override;

    // The application object once sharedApplication() has made it, else null.
    // Lets the shared menu code reach the application without depending on a
    // platform library.
    static Application* existingApplication();

protected:
    Application();
};

} // namespace orvo::platform
