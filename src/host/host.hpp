// The host's services as one operation reaches them: through the plug-in module that defined the
// operation's class. The binding makes one for each call and passes it down; nothing keeps it
// where another call, on this thread or another, could see it.
#pragma once

#include "host/panel.hpp"
#include "host/python.hpp"
#include "host/runtime.hpp"

namespace host {

class Host {
  public:
    explicit Host(cpython::Handle module)
        : module_(cpython::Object::borrow(module)), runtime(module_), panel(module_, runtime) {}
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

  private:
    cpython::Object
        module_;  // held for the whole call, whatever the call does to the module's holders

  public:
    const Runtime runtime;
    const Panel panel;
};

}  // namespace host
