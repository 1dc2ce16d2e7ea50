// Delivery of an alert over one channel, to the recipients the settings and the object name.
#pragma once

#include "host/host.hpp"
#include "host/python.hpp"

namespace start_boce {

// Reads the notification settings (get_settings, once) and sends `title` and `message` over
// the channel `send` names ("mail" or "dingding"; any other sends nothing).
void deliver(const host::Host& host, cpython::Handle self, cpython::Handle send,
             cpython::Handle title, cpython::Handle message);

}  // namespace start_boce
