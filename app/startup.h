#pragma once

#include <functional>
#include <memory>
#include <new>
#include <utility>

#include "app/frame.h"
#include "platform/ui/guard.h"

// Builds a window through the frame. `reference` is the window's global
// reference: the window sets it as its construction begins, and it is reset
// when construction fails. A failure of the window's create handler is
// reported on the spot and the window is kept; any other failure leaves.
// `arguments` go to the window's constructor.
template <class Form, class... Arguments>
Form* CreateForm(AppFrameClass& frame, Form*& reference, Arguments&&... arguments)
{
    std::unique_ptr<Form> form;
    try {
        form = std::make_unique<Form>(std::forward<Arguments>(arguments)...);
    } catch (...) {
        reference = nullptr;
        throw;
    }
    reference = form.get();
    if constexpr (requires { form->FormCreate(); })
        platform::Guard([&] { form->FormCreate(); });
    Form* created = form.get();
    frame.AdoptWindow(std::move(form));
    return created;
}

// The whole program: frame, windows, loop. Returns the exit code.
int RunVellumark(int argc, char* argv[]);

// Creates the windows and runs the loop: 0 after a normal end; 1 after a
// failure that escaped the window creation, shown in the last-chance box.
int RunFrame(AppFrameClass& frame, const std::function<void()>& createWindows);
