// The probe run: count the anomalous nodes, alert above two, store the run, return the nodes
// slowest first.
#include <algorithm>
#include <numeric>
#include <optional>
#include <vector>

#include "host/errors.hpp"
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
    if (host::equals(host::get_item(record, names::isp), names::not_responding)) return false;
    return !is_acceptable_code(host::get_item(record, names::http_code));
}

// Report trouble without losing the run: an ordinary error of the alert step is shown to the
// operator, and the run is stored all the same.
void send_report(const py::object& self, py::handle data, long anomaly_count, py::handle id) {
    host::completed_or_shown(
        [&] { self.attr(operation_name::send_mail)(data, anomaly_count, id); });
}

// The probe time of a record when it is a real number; records without one (an empty element,
// a missing field, a value that is no number) sort last. Any other error of the record's own
// methods reaches the caller.
py::object total_time_of(py::handle record) {
    if (!host::is_truthy(record)) return {};
    py::object value;
    try {
        value = host::get_item(record, names::total_time);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_KeyError)) throw;
        return {};
    }
    return host::is_orderable_number(value) ? value : py::object();
}

// A time as an exact double: floats, and ints within 2**53.
std::optional<double> fast_key(py::handle total_time) {
    if (const auto number = host::float_value(total_time)) return number;
    constexpr long long exact_limit = 1LL << 53;
    if (const auto integer = host::small_integer(total_time);
        integer && *integer <= exact_limit && *integer >= -exact_limit) {
        return static_cast<double>(*integer);
    }
    return std::nullopt;
}

// Positions of `times`, largest time first, equal times in their own order.
std::vector<std::size_t> descending_order(const std::vector<py::object>& times) {
    std::vector<std::size_t> order(times.size());
    std::iota(order.begin(), order.end(), 0);
    std::vector<double> keys;
    keys.reserve(times.size());
    for (const auto& time : times) {
        const auto key = fast_key(time);
        if (!key) return host::positions_sorted_descending(times);
        keys.push_back(*key);
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return keys[a] > keys[b]; });
    return order;
}

// Largest total time first; equal times keep the dispatch center's order. Records without a
// usable time follow in their own order.
py::list slowest_first(py::handle data) {
    std::vector<py::object> timed;
    std::vector<py::object> times;
    std::vector<py::object> untimed;
    for (py::handle record : data) {
        py::object total_time = total_time_of(record);
        if (total_time) {
            timed.push_back(py::reinterpret_borrow<py::object>(record));
            times.push_back(std::move(total_time));
        } else {
            untimed.push_back(py::reinterpret_borrow<py::object>(record));
        }
    }
    py::list ordered;
    for (const std::size_t position : descending_order(times)) ordered.append(timed[position]);
    for (const auto& record : untimed) ordered.append(record);
    return ordered;
}

}  // namespace

py::object get_state(const py::object& self, const py::object& data, const py::object& id) {
    long anomaly_count = 0;
    for (py::handle record : data) {
        if (is_anomalous(record)) ++anomaly_count;
    }
    if (anomaly_count > report_threshold) {
        send_report(self, data, anomaly_count, id);
        return py::int_(0);
    }
    return py::int_(1);
}

py::object start(const py::object& self, const py::object& id) {
    py::object response = self.attr(operation_name::send_task)(id);
    if (host::contains(response, names::status)) return response;

    py::dict run_record;
    run_record[names::status] = self.attr(operation_name::get_state)(response, id);
    // Encoded only now, so the stored data shows the report's replacement texts.
    run_record[names::data] = host::json_dumps(response);
    run_record[names::pid] = id;
    run_record[names::addtime] = host::whole_number(host::current_time());
    host::panel::table(run_table).insert(run_record);  // raises the host's error text, if any
    return slowest_first(response);
}

}  // namespace start_boce
