// The probe run: count the anomalous nodes, alert above two, store the run, return the nodes
// slowest first.
#include <algorithm>
#include <vector>

#include "host/panel.hpp"
#include "host/runtime.hpp"
#include "host/values.hpp"
#include "start_boce/names.hpp"
#include "start_boce/plugin.hpp"

namespace start_boce {

namespace {

constexpr long acceptable_codes[] = {200, 301, 302, 403, 401};
constexpr long report_threshold = 2;

bool is_acceptable_code(py::handle code) {
    // The usual kinds compare directly; anything else compares as `==` would.
    if (const auto number = host::small_integer(code)) {
        return std::find(std::begin(acceptable_codes), std::end(acceptable_codes), *number) !=
               std::end(acceptable_codes);
    }
    if (const auto number = host::float_value(code)) {
        return std::find(std::begin(acceptable_codes), std::end(acceptable_codes), *number) !=
               std::end(acceptable_codes);
    }
    for (const long acceptable : acceptable_codes) {
        if (host::equals(py::int_(acceptable), code)) return true;
    }
    return false;
}

bool is_anomalous(py::handle record) {
    if (!host::is_truthy(record)) return false;
    if (host::equals(host::item(record, names::isp), names::not_responding)) {
        return false;
    }
    return !is_acceptable_code(host::item(record, names::http_code));
}

// Report trouble without losing the run: an ordinary error of the alert step is shown to the
// operator, and the run is stored all the same.
void send_report(const py::object& self, py::handle data, long anomaly_count, py::handle id) {
    try {
        self.attr("send_mail")(data, anomaly_count, id);
    } catch (py::error_already_set& error) {
        if (!host::is_ordinary_error(error)) throw;
        host::print_line(host::panel::describe_error(error));
    }
}

// The probe time of a record when it is a real number; records without one sort last.
py::object total_time_of(py::handle record) {
    if (!host::is_truthy(record)) return py::object();
    try {
        py::object total_time = host::item(record, names::total_time);
        if (host::is_orderable_number(total_time)) return total_time;
    } catch (py::error_already_set& error) {
        if (!host::is_ordinary_error(error)) throw;
    }
    return py::object();
}

// NOLINTNEXTLINE(bugprone-exception-escape): moving a py::object only swaps a pointer.
struct TimedRecord {
    py::object record;
    py::object total_time;
    double fast_key;  // exact for floats and for ints within 2**53
};

// Largest total time first; equal times keep the dispatch center's order (stable sort). Records
// without a usable time follow in their own order.
py::list slowest_first(py::handle data) {
    std::vector<TimedRecord> timed;
    std::vector<py::object> untimed;
    bool all_fast = true;
    host::for_each(data, [&](py::object record) {
        py::object total_time = total_time_of(record);
        if (!total_time) {
            untimed.push_back(std::move(record));
            return;
        }
        double key = 0;
        if (const auto number = host::float_value(total_time)) {
            key = *number;
        } else if (const auto integer = host::small_integer(total_time);
                   integer && *integer <= (1LL << 53) && *integer >= -(1LL << 53)) {
            key = static_cast<double>(*integer);
        } else {
            all_fast = false;
        }
        timed.push_back({std::move(record), std::move(total_time), key});
    });
    if (all_fast) {
        std::stable_sort(
            timed.begin(), timed.end(),
            [](const TimedRecord& a, const TimedRecord& b) { return a.fast_key > b.fast_key; });
    } else {
        // Big integers: compare exactly, as the runtime does.
        std::stable_sort(timed.begin(), timed.end(),
                         [](const TimedRecord& a, const TimedRecord& b) {
                             return host::greater_than(a.total_time, b.total_time);
                         });
    }
    py::list ordered(timed.size() + untimed.size());
    std::size_t position = 0;
    for (auto& entry : timed) ordered[position++] = std::move(entry.record);
    for (auto& record : untimed) ordered[position++] = std::move(record);
    return ordered;
}

}  // namespace

py::object get_state(const py::object& self, const py::object& data, const py::object& id) {
    long anomaly_count = 0;
    host::for_each(data, [&](py::handle record) {
        if (is_anomalous(record)) ++anomaly_count;
    });
    if (anomaly_count > report_threshold) {
        send_report(self, data, anomaly_count, id);
        return py::int_(0);
    }
    return py::int_(1);
}

py::object start(const py::object& self, const py::object& id) {
    py::object response = self.attr("_send_task")(id);
    if (host::contains(response, names::status)) return response;

    py::dict run_record;
    run_record["status"] = self.attr("get_state")(response, id);
    // Encoded only now, so the stored data shows the report's replacement texts.
    run_record["data"] = host::json_dumps(response);
    run_record["pid"] = id;
    run_record["addtime"] = host::whole_number(host::current_time());
    host::panel::table("boce_list").insert(run_record);
    return slowest_first(response);
}

}  // namespace start_boce
