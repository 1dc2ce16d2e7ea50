// The operations of the class `start_boce`, each declared once: its name, its parameters as
// Python states them, what it does, and the function that does it. The binding makes of this
// table the class's methods, the binding of their arguments and their signatures
// (`__text_signature__`, which `inspect.signature` and `help()` read); an operation that calls
// another through the object takes its name from here.
#pragma once

#include <array>
#include <cstddef>
#include <tuple>

#include "host/python.hpp"
#include "start_boce/names.hpp"
#include "start_boce/plugin.hpp"

namespace start_boce {

inline constexpr std::size_t max_parameters = 5;

// `self` first, then the operation's own; only the last may have a default, a text.
struct Parameters {
    std::array<const char*, max_parameters> names;
    const char* last_default = nullptr;

    constexpr std::size_t count() const {
        std::size_t count = 0;
        while (count < names.size() && names[count] != nullptr) ++count;
        return count;
    }
};

template <auto function_>
struct Operation {
    static constexpr auto function = function_;
    const char* name;
    Parameters parameters;
    const char* summary;  // what `help()` shows beneath the signature
    // Past a wrong call, only a request to stop (KeyboardInterrupt, SystemExit) leaves it: an
    // ordinary error ends it silently.
    bool never_fails = false;
};

// In the order the class declares them.
inline constexpr std::tuple operations{
    Operation<construct>{"__init__",
                         {{"self"}},
                         "Makes the sender object and loads, creates or repairs the recipient "
                         "list; never fails.",
                         true},
    Operation<get_user_mail>{"get_user_mail", {{"self"}}, "False, or the decoded mail settings."},
    Operation<get_dingding>{"get_dingding", {{"self"}}, "False, or the decoded DingTalk settings."},
    Operation<get_settings>{"get_settings",
                            {{"self"}},
                            "The notification settings: {'user_mail': {'user_name', 'mail_list', "
                            "'info'}, 'dingding': {'dingding', 'info'}}."},
    Operation<get_mac_address>{"get_mac_address",
                               {{"self"}},
                               "The MAC address text: six pairs of hex digits joined by ':'."},
    Operation<get_cpuname>{
        "get_cpuname", {{"self"}}, "The processor's model name, as /proc/cpuinfo gives it."},
    Operation<get_hostname>{"get_hostname", {{"self"}}, "The machine's fully qualified host name."},
    Operation<create_serverid>{"create_serverid",
                               {{"self", "get"}},
                               "The account record with `serverid`, made and stored the first "
                               "time; a status record when no user is logged in."},
    Operation<request_probe>{"_send_task",
                             {{"self", "id"}},
                             "Asks the dispatch center to probe the task's URL: the decoded "
                             "answer, or a status record."},
    Operation<deliver_report>{"send_mail",
                              {{"self", "data", "num", "id", "send"}, names::mail_channel_text},
                              "Builds the anomaly report of a run and sends it by mail (to the "
                              "recipient list, or the mailbox of the mail settings) or DingTalk."},
    Operation<record_run>{"get_state",
                          {{"self", "data", "id"}},
                          "Counts the anomalous nodes; above two, runs the report step and "
                          "answers 0, else 1."},
    Operation<start>{"start",
                     {{"self", "id"}},
                     "One probe run of a task: probed, counted, reported on, stored; the nodes "
                     "slowest first, or the status record that ended the run."},
};

// The name under which the class holds `function`. An operation calls another through the object
// by this name, so that a subclass or an instance attribute that replaces it is honoured.
template <auto function>
inline constinit cpython::Name operation_name{std::get<Operation<function>>(operations).name};

}  // namespace start_boce
