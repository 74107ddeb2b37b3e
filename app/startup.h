#pragma once

#include <memory>
#include <new>

#include "app/frame.h"
#include "platform/guard.h"

// Builds a window through the frame. `reference` is the window's global
// reference: the window sets it as its construction begins, and it is reset
// when construction fails. A failure of the window's create handler is
// reported on the spot and the window is kept; any other failure leaves.
template <class Form>
Form* CreateForm(AppFrameClass& frame, Form*& reference)
{
    std::unique_ptr<Form> form;
    try {
        form = std::make_unique<Form>();
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
