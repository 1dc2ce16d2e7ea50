// The anomaly report and its title, as texts. The report writes the replacement texts into the
// caller's records as it reads them.
#pragma once

#include "host/host.hpp"
#include "host/python.hpp"

namespace start_boce {

host::Object make_title(host::Handle task_name, host::Handle anomaly_count);
host::Object make_report(const host::Host& host, host::Handle data);

}  // namespace start_boce
