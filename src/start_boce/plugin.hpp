// The operations of the plug-in class `start_boce`, named for what they do (operations.hpp gives
// each the name the host calls it by: `_send_task` is request_probe, `send_mail` deliver_report,
// `get_state` record_run). Each takes the host services of the module that defined the class and
// the object itself first, as a Python method does, and calls the object's other operations
// through it (operation_name), so that a subclass or an instance attribute that replaces one of
// them is honoured.
#pragma once

#include "host/host.hpp"
#include "host/python.hpp"

namespace start_boce {

using cpython::Handle;
using cpython::Object;
using host::Host;

// Setup: the constructor.
void construct(const Host& host, Handle self);

// Notification settings.
Object get_user_mail(const Host& host, Handle self);
Object get_dingding(const Host& host, Handle self);
Object get_settings(const Host& host, Handle self);

// Server identity.
Object get_mac_address(const Host& host, Handle self);
Object get_cpuname(const Host& host, Handle self);
Object get_hostname(const Host& host, Handle self);
Object create_serverid(const Host& host, Handle self, Handle get);

// Dispatch request.
Object request_probe(const Host& host, Handle self, Handle id);

// Anomaly report and delivery.
Object deliver_report(const Host& host, Handle self, Handle data, Handle num, Handle id,
                      Handle send);

// Probe run.
Object record_run(const Host& host, Handle self, Handle data, Handle id);
Object start(const Host& host, Handle self, Handle id);

// The certificate notice: when the run's records `data` show the site's certificate expiring
// within 14 days, one notice per task `id` per calendar day.
void warn_before_certificate_lapses(const Host& host, Handle self, Handle data, Handle id);

}  // namespace start_boce
